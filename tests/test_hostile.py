"""Hostile input from ordinary users of the set-user-id binary."""
import os
import random
import signal

from harness import (HOME, ROOT, USAGE, Case, put, read, run, superuser_only, unread,
                     updates, user_file, write)
import harness as h

OLD = b"0 * * * * old\n"
SECRET = b"root-only secret\n"
# token: weight, tuned so that every operation runs often enough
TOKENS = {"-l": 3, "-e": 3, "-d": 2, "-r": 2, "-x": 4, "--": 3, "-": 2, "file": 2,
          HOME + "/real": 2, "-u": 1, "alice": 1, "bob": 1, "": 1, "-c": 1, "/tmp": 1, "-le": 1,
          "-lx": 1, "-ubob": 1, "-dc": 1}
LENGTHS = (0, 1, 1, 2, 2, 2, 3, 3, 4, 5)


def model(argv):
    """argv by the option rules, for a user: ("usage", why), ("refused", letter) or (mode,
    operand)."""
    mode, chosen_by, refused, operands, i = None, None, None, [], 0
    while i < len(argv):
        arg = argv[i]
        if arg == "--":
            operands += argv[i + 1:]
            break
        if not arg.startswith("-") or arg == "-":
            operands.append(arg)  # permuted behind the options
            i += 1
            continue
        for j, letter in enumerate(arg[1:], 1):
            if letter in "ledr":
                if mode:
                    return ("usage", f"-{letter} cannot be given with -{chosen_by}")
                mode, chosen_by = letter.replace("r", "d"), letter
            elif letter in "uc":
                if j + 1 < len(arg) or i + 1 < len(argv):
                    # Naming oneself needs no privilege; the argument is used up.
                    if letter == "u" and (arg[j + 1:] or argv[i + 1]) == "alice":
                        i += j + 1 == len(arg)
                        break
                    return ("refused", letter)  # real and effective ids differ
                mode, refused = None, f"option -{letter} needs an argument"
                break
            else:
                mode, refused = None, f"unknown option -{letter}"
        i += 1
    if mode is None and len(operands) == 1 and (operands[0] == "-" or
                                                not operands[0].startswith("-")):
        return ("replace", operands.pop())
    if mode is None:
        return ("usage", refused or (f"extra operand {operands[1]}" if operands[1:] else
                                     f"operand {operands[0]} is no file name: write ./"
                                     f"{operands[0]} for a file so named" if operands else
                                     "no operation given"))
    if operands:
        return ("usage", f"-{chosen_by} takes no operand: {operands[0]}")
    return (mode, None)


def expect(outcome):
    """(status, stdout, stderr, crontab afterwards, update lines) for an outcome."""
    kind, what = outcome[0], outcome[-1]
    fixed = {"usage": (2, USAGE, f"{what}\n".encode(), OLD, []), "l": (0, OLD, b"", OLD, []),
             "refused": (1, b"", superuser_only(f"-{what}"), OLD, []),
             "e": (0, b"", h.UNCHANGED, OLD, []), "d": (0, b"", b"", None, ["alice"])}
    made = {"-": b"from stdin\n", "file": b"from file\n", HOME + "/real": b"from real\n"}
    if kind in fixed or what in made:
        return fixed.get(kind) or (0, b"", b"", made[what], ["alice"])
    if what == "/tmp":  # opens, then cannot be read
        return 1, b"", unread("/tmp", "Is a directory", "read"), OLD, []
    return 1, b"", unread(what, "No such file or directory"), OLD, []


def cut(text):  # a diagnostic as the 2048-byte log buffer lets it out
    return text.encode()[:2047]


class OptionModel(Case):
    def test_random_argument_vectors(self):
        seed = int(os.environ.get("CRONTAB_TEST_SEED", random.randrange(1 << 32)))
        rng = random.Random(seed)
        user_file("alice", "file", b"from file\n")
        user_file("alice", "real", b"from real\n")
        seen = set()
        for n in range(500):
            argv = rng.choices(list(TOKENS), list(TOKENS.values()), k=rng.choice(LENGTHS))
            h.reset()
            put("alice", OLD)
            status, out, err = run(argv, stdin=b"from stdin\n", env={"EDITOR": "true"}, cwd=HOME)
            got = (status, out, err, read("alice"), updates())
            seen.add(model(argv)[0])
            self.assertEqual(got, expect(model(argv)),
                             f"vector {n} {argv!r}, seed {seed} (set CRONTAB_TEST_SEED to repeat)")
            self.assertLessEqual(set(os.listdir(h.DIR)), {"alice", "cron.update"})
        self.assertEqual(seen, {"usage", "refused", "l", "e", "d", "replace"}, seed)


class OddInput(Case):
    def test_long_and_odd_arguments(self):
        deep = "a/" * 2100 + "x"
        long_dir = "/%n%s" + "d" * 5000
        # (user, arguments, stderr), each refused with status 1
        for user, args, err in (
                ("alice", [deep], cut(f"unable to open {deep}: File name too long") +
                 unread(deep)[:2047] + b"\n"),
                ("alice", ["%n%s%s\n%x"], unread("%n%s%s\n%x", "No such file or directory")),
                ("alice", ["-u", "%n" * 3000, "-l"], superuser_only("-u")),
                (None, ["-u", "%n%s", "-l"], b"user '%n%s' unknown\n"),
                (None, ["-u", "a\nb%s", "-l"], b"user 'a\nb%s' unknown\n"),
                (None, ["-u", "%s" * 3000, "-l"], cut("user '" + "%s" * 3000 + "' unknown") + b"\n"),
                (None, ["-c", long_dir, "-l"],
                 cut(f"cannot change dir to {long_dir}: File name too long") + b"\n")):
            with self.subTest(user=user, args=[a[:20] for a in args]):
                self.check(run(args, user=user), 1, err=err, alice=None, updates=[])

    def test_editor_runs_only_as_the_invoking_user(self):
        who = HOME + "/who"
        for editor, after in ((f"true; id -u > {who}; true", OLD), (f"`id -u > {who}` true", OLD),
                              (f"$(id -u > {who}) true", OLD), (f"id -u > {who} #", OLD),
                              (f"id -u > {who}; echo '#x' >>", OLD + b"#x\n")):
            with self.subTest(editor=editor):
                put("alice", OLD)
                err = h.UNCHANGED if after == OLD else h.installed()
                self.check(run(["-e"], env={"EDITOR": editor}), 0, err=err, alice=after)
                self.assertEqual((os.stat(who).st_uid, read(who)), (2001, b"2001\n"))
                os.unlink(who)
        # An editor command that does not fit is reported, formatting and all, as it is.
        editor = ("%n%s%n" + "x" * 255)[:255]
        self.check(run(["-e"], env={"EDITOR": editor}), 1,
                   err=b"couldn't exec " + editor.encode() + h.editor_failed(), updates=["alice"])

    def test_file_size_limits_of_the_caller(self):
        # Where root may raise a hard limit, none holds. Else an update file the limit would
        # cut, or already at it, gets no fragment and causes no death by SIGXFSZ. A line that
        # fits exactly is written.
        for capped, room in ((False, 3), (True, 3), (True, 0), (True, 6)):
            with self.row(capped=capped, room=room):
                pad, fits = b"y" * 4095 + b"\n", h.lifts(capped) or room == 6
                put("cron.update", pad)
                put("alice", OLD)
                self.check(h.limited(4096 + room, ["-d"], capped=capped), 0,
                           err=b"" if fits else h.append_failed(), alice=None)
                self.check(run(["-"], user="bob", stdin=b"bob's\n"), 0)
                self.assertEqual(read("cron.update"), pad + b"alice\n" * fits + b"bob\n")
        for capped in (False, True):
            with self.row(capped=capped):
                put("alice", OLD)
                lifted = h.lifts(capped)
                self.check(h.limited(8192, ["-"], capped=capped, stdin=b"#" * 8193), 1 - lifted,
                           err=h.cannot_install("File too large") * (1 - lifted),
                           alice=b"#" * 8193 if lifted else OLD, entries=["alice", "cron.update"])
        # A soft limit below the hard: writes may go up to the hard, or past the soft when the
        # hard is unlimited; a listing to a file stops at the soft; the reader and editor get both.
        for fsize in ("4096:65536", "4096:unlimited"):
            self.check(h.limited(fsize, ["-"], stdin=b"#" * 8192), 0)
            with open(ROOT + "/listed", "wb") as listed:
                self.assertEqual(h.limited(fsize, ["-l"], stdout=listed)[0], -signal.SIGXFSZ)
            self.assertEqual((read("alice"), os.path.getsize(ROOT + "/listed")), (b"#" * 8192, 4096))
        for args, env, err in ((["/proc/self/limits"], None, b""),
                               (["-e"], {"EDITOR": "cp /proc/self/limits"}, h.UNCHANGED)):
            self.check(h.limited("4096:65536", args, env=env), 0, err=err)
            self.assertRegex(read("alice"), rb"\nMax file size +4096 +65536 +bytes +\n")


class OthersFiles(Case):
    def setUp(self):
        super().setUp()
        put("alice", OLD)
        put("bob", SECRET)
        write(ROOT + "/secret", SECRET, 0o600)
        os.makedirs(ROOT + "/closed", mode=0o700, exist_ok=True)
        write(ROOT + "/closed/open", SECRET)

    def test_files_the_user_cannot_read_are_refused(self):
        private = user_file("bob", "private", SECRET, mode=0o600)
        for args, cwd, err in (
                (["/etc/shadow"], "/", None), ([ROOT + "/secret"], "/", None),
                ([private], "/", None), (["../../etc/shadow"], ROOT, None),
                ([ROOT + "/closed/open"], "/", None),
                (["-c", h.DIR, "-l"], "/", superuser_only("-c")),
                (["-l", "-u", "bob"], "/", superuser_only("-u"))):
            with self.subTest(args=args):
                # Exactly the refusal: no signal, nothing of the secret on either output.
                self.check(run(args, cwd=cwd), 1, err=err or unread(args[0], "Permission denied"),
                           alice=OLD, updates=[])

    def test_links_at_the_staging_name_are_not_followed(self):
        # Nor is anything that is not a file of the command's taken over.
        staging = h.path("alice.new")
        for target in (ROOT + "/secret", ROOT + "/created", os.mkfifo, os.mkdir):  # no "created"
            with self.subTest(target=target):
                (target if callable(target) else lambda p: os.symlink(target, p))(staging)
                st = os.lstat(staging)
                self.check(run(["-"], stdin=b"0 * * * * planted\n"), 1, err=h.staging_exists())
                self.assertEqual(os.lstat(staging)[:2], st[:2])  # the same link
                (os.rmdir if target == os.mkdir else os.unlink)(staging)
                self.assertEqual(read("alice"), OLD)
        self.assertEqual((read(ROOT + "/secret"), os.path.lexists(ROOT + "/created"), updates()),
                         (SECRET, False, ["alice"] * 4))

    def test_shadowed_root_gets_nothing(self):
        ran = ROOT + "/editor-ran"
        put("root", SECRET)
        for args in (["-l"], ["-e"], [ROOT + "/secret"], ["/etc/shadow"], ["-"], ["-d"]):
            with self.subTest(args=args):
                self.check(run(args, user=4300, stdin=b"* * * * * planted\n",
                               env={"EDITOR": f"touch {ran};"}), 1,
                           err=b"login name 'root' of user id 4300 names user id 0 too; "
                           b"refusing it\n", entries=["alice", "bob", "root"], root=SECRET)
                self.assertFalse(os.path.exists(ran))
