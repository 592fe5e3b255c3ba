"""The command line: options, operands, privileged options, start-up."""
import fcntl
import os
import signal

from harness import (LONG251, LONG252, LONG255, LONG256, NOBODY_UID, PLAIN, SLASHED, TABBED,
                     USAGE, Case, put, read, run, superuser_only, unread, updates, user_file, write)
import harness as h

class Usage(Case):
    def test_usage_errors_but_not_an_empty_operand(self):
        twice = "{1} cannot be given with {0}"  # the second of two operations
        for line, why in (("", "no operation given"), ("-l -e", twice), ("-l -l", twice),
                          ("-d -l", twice), ("-r -l", twice), ("-e -r", twice),
                          ("-dr", "-r cannot be given with -d"), ("-rr", "-r cannot be given with -r"),
                          ("-x", "unknown option -x"), ("-l -x", "unknown option -x"),
                          ("-l -u", "option -u needs an argument"), ("a b", "extra operand b"),
                          ("-l file", "-l takes no operand: file"), ("-d -", "-d takes no operand: -"),
                          ("-l -- -", "-l takes no operand: -"),
                          ("-- -x", "operand -x is no file name: write ./-x for a file so named"),
                          ("-l -e -u bob", twice)):  # found before the -u that would be refused
            args = line.split()
            with self.subTest(args=args):
                self.check(run(args, stdin=b"0 * * * * date\n"), 2, USAGE,
                           why.format(*args).encode() + b"\n")
        self.check(run([""]), 1, err=unread("", "No such file or directory"), alice=None,
                   updates=[])  # no arguments must not have read standard input

    def test_unknown_option_cancels_only_earlier_modes(self):
        self.check(run(["-x", "-l"]), 1, err=h.no_crontab())
        put("alice", b"old\n")
        self.check(run(["-l", "-x", "-e"], env={"EDITOR": "true"}), 0, err=h.UNCHANGED)
        self.assertEqual((read("alice"), updates()), (b"old\n", []))


class Privileged(Case):
    def test_refused_to_ordinary_users_and_for_empty_arguments(self):
        for args, user in ((["-u", "bob", "-l"], "alice"), (["-c", "/tmp", "-l"], "alice"),
                           (["-u", "", "-l"], None), (["-c", "", "-l"], None),
                           (["-l", "-u", "carol"], "alice"), (["-l", "-u", "nosuch"], "alice"),
                           (["-u", "bob", "-l", "-e"], "alice")):  # refused before the usage error
            with self.subTest(args=args, user=user):
                opt = "-u" if "-u" in args else "-c"
                self.check(run(args, user=user), 1, err=superuser_only(opt))

    def test_options_after_the_operand_and_without_privilege(self):
        src = write(h.ROOT + "/src", b"new\n", 0o600)  # root's own to read
        other, own = h.ROOT + "/after", h.ROOT + "/own"  # root's directory, alice's
        h.sh("mkdir", "-p", other, own)
        os.chown(own, 2001, 2001)
        self.check(run(["-c", own, "-l"], binary=PLAIN), 1, err=h.no_crontab())
        # Installing from a file needs supplementary groups, which only root may set.
        self.check(run(["-c", own, "/etc/hostname"], binary=PLAIN), 1,
                   err=f"initgroups failed: alice Operation not permitted{h.NOT_ROOT}\n".encode() +
                   unread("/etc/hostname"))
        for env in ({}, {"POSIXLY_CORRECT": "1"}):
            # Naming the caller's own user id, -u needs no privilege; -c by alice, the plain copy.
            for user, args, made in ((None, [src, "-u", "bob"], "bob"),
                                     (None, [src, "-u", "alice"], "alice"),
                                     (None, ["-", "-u", "alice"], "alice"),
                                     (None, [src, "-c", other], other + "/root"),
                                     ("alice", ["-u", "alice", "-"], "alice"),
                                     ("carol", ["-u", "carol2", "-"], "carol"),
                                     ("alice", ["-c", own, "-", "-u", "alice"], own + "/alice")):
                with self.row(env=env, user=user, args=args):
                    binary = PLAIN if user and "-c" in args else h.SUID
                    h.sh("rm", "-f", other + "/root", own + "/alice")
                    self.check(run(args, user, stdin=b"new\n", env=env, binary=binary), 0)
                    self.assertEqual(read(made), b"new\n")
                    self.check(run([a for a in args if a not in (src, "-")] + ["-l"], user,
                                   env=env, binary=binary), 0, b"new\n")

    def test_root_names_another_user(self):
        self.check(run(["-u", "nosuch", "-l"], user=None), 1, err=b"user 'nosuch' unknown\n")
        self.check(run(["-u", "bob"], user=None), 2, USAGE, b"no operation given\n")
        self.check(run(["-u", "nosuch"], user=None), 1, err=b"user 'nosuch' unknown\n")
        put("bob", b"bob's\n")
        # No cap on -u and -c: each of 200 is checked where it stands, and the last wins.
        self.check(run(["-u", "nosuch"] + ["-u", "bob"] * 200 + ["-l"], user=None), 1,
                   err=b"user 'nosuch' unknown\n")
        self.check(run(["-u", "alice"] * 199 + ["-c", h.DIR, "-u", "bob", "-l"], user=None), 0,
                   b"bob's\n")
        self.check(run(["-d", "-u", "bob"], user=None), 0)
        # Two names share one id: the crontab is the one the id maps to.
        self.check(run(["-", "-u", "carol2"], user=None, stdin=b"x\n"), 0)
        self.assertEqual((read("bob"), read("carol"), updates()), (None, b"x\n", ["bob", "carol"]))

    def test_last_directory_wins(self):
        os.makedirs("/tmp/.t/other", exist_ok=True)
        write("/tmp/.t/other/root", b"other\n")
        self.check(run(["-c", "/nonexistent", "-c", "/tmp/.t/other", "-l"], user=None),
                   0, b"other\n")
        self.check(run(["-c", "/nonexistent", "-l"], user=None), 1,
                   err=b"cannot change dir to /nonexistent: No such file or directory\n")


class StartUp(Case):
    def test_invoking_user_names(self):
        self.check(run(["-l"], user=LONG251), 1, err=h.no_crontab(LONG251))
        bad_char = "it contains '/' or a control character"
        reserved = "it names no file of its own in the crontab directory"
        # Neither as the invoker nor through -u may a name lead out of the
        # directory, onto the update file or onto another user's staging file.
        for name, shown, why in ((SLASHED, SLASHED, bad_char), (TABBED, "tab\\011user", bad_char),
                                 (h.DEL_NAMED, "del\\177user", bad_char),
                                 ("cron.update", "cron.update", reserved), ("..", "..", reserved),
                                 ("bob.new", "bob.new", 'it ends in ".new", as staging files do'),
                                 (LONG252, LONG252, "longer than 251 bytes"),
                                 (LONG255, LONG255, "longer than 251 bytes"),
                                 (LONG256, None, None)):
            err = (f"login name '{shown}' cannot name a crontab: {why}\n" if shown else
                   f"username '{LONG256[:255]}' too long\n").encode()
            h.reset()
            put("cron.update", b"bob\n")
            put("bob.new", b"bob's staging\n")
            before = {n: read(n) for n in os.listdir(h.DIR)}
            for args, user in ((["-"], name), (["-d"], name), (["-u", name, "-"], None),
                               (["-u", name, "-d"], None)):
                with self.subTest(name=name[:20], op=args[-1], by="-u" if user is None else "self"):
                    self.check(run(args, user=user, stdin=b"0 * * * * planted\n"), 1, err=err)
                    self.assertEqual({n: read(n) for n in os.listdir(h.DIR)}, before)
                    self.assertEqual([n for n in os.listdir("/tmp") if "evil" in n], [])

    def test_name_that_the_lookup_by_name_does_not_find(self):
        # The user database cannot be read for the last lookup, the check of the name.
        last = h.call_number(["-u", "dave", "-l"], "open,openat", '"/etc/passwd"', nth=-1)
        self.check(h.traced(["-u", "dave", "-l"], ["-e", f"inject=open,openat:error=ENOENT:when={last}"]),
                   1, err=b"login name 'dave' of user id 3000000013 is not found by name\n")

    def test_relocated_data_is_read_only_page_by_page(self):
        maps = h.ROOT + "/maps"  # the editor's parent's: the command's own
        self.check(run(["-e"], None, env={"EDITOR": f"cp /proc/$PPID/maps {maps}; true"}), 0,
                   err=h.UNCHANGED)
        spans = [(*(int(a, 16) for a in s[0].split("-")), s[1], s[2], s[-1])
                 for s in map(str.split, read(maps).decode().splitlines())]
        base = next(lo for lo, _, _, at, name in spans if name == h.SUID and at == "0" * 8)
        relro, size = next((a, n) for kind, a, n in h.segments(read(h.SUID)) if kind == 0x6474e552)
        pages = range(base + relro & ~4095, base + relro + size & ~4095, 4096)  # GNU_RELRO's
        sealed = [p for p in pages for lo, hi, perms, _, _ in spans if lo <= p < hi and perms[1] == "-"]
        self.assertEqual((len(pages) > 0, sealed), (True, list(pages)))

    def test_real_user_without_record(self):
        # The lookup finds nothing without setting an error number: no "getpwuid: Success".
        self.check(run(["-l"], user=NOBODY_UID), 1,
                   err=f"no user database entry for user id {NOBODY_UID}\n".encode())

    @h.native("the kernel hands the emulator the program on the lowest free descriptor")
    def test_closed_standard_descriptors_stay_closed(self):
        # Whatever the C library, or for root the command, puts in their place, using one fails
        # as it would closed, and nothing the command or its editor opens takes its number.
        seen = h.HOME + "/stderr"
        editor = {"EDITOR": f"f() {{ readlink /proc/$$/fd/2 >{seen}; }}; f"}
        for user, name in (("alice", "alice"), (None, "root")):
            with self.row(user=user):
                put(name, b"old\n")
                for fd, args, result in (
                        (0, ["-"], (1, b"", h.cannot_install("Bad file descriptor", name))),
                        (1, ["-l"], (1, b"", h.unable("list", name, "Bad file descriptor"))),
                        (2, ["-l"], (0, b"old\n", b"")), (2, ["-e"], (0, b"", b""))):
                    self.assertEqual(run(args, user, env=editor, preexec_fn=lambda: os.close(fd)),
                                     result, fd)
                self.assertEqual((read(name), updates(), read(seen)), (b"old\n", [], b"/dev/null\n"))

    def test_children_are_waited_for_even_when_the_caller_ignores_them(self):
        src = user_file("alice", "new", b"from file\n")
        ignore = lambda: signal.signal(signal.SIGCHLD, signal.SIG_IGN)  # noqa: E731
        for args, env, err in (([src], {}, b""), (["-e"], {"EDITOR": "true"}, h.UNCHANGED)):
            self.assertEqual(run(args, env=env, preexec_fn=ignore), (0, b"", err), args)
        self.assertEqual(read("alice"), b"from file\n")

    def test_long_names_get_their_own_staging_file(self):
        for n in range(2):
            self.check(run(["-"], user=LONG251, stdin=b"take %d\n" % n), 0)
        self.check(run(["-l"], user=LONG251), 0, b"take 1\n", entries=["cron.update", LONG251])
        # The staging name is the whole name and ".new", uncut: a held one stops the install.
        with open(h.path(LONG251 + ".new"), "wb") as held:
            fcntl.flock(held, fcntl.LOCK_EX)
            self.check(run(["-"], user=LONG251, stdin=b"take 2\n"), 1,
                       err=h.staging_exists(LONG251), **{LONG251: b"take 1\n"})
