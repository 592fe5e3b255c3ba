"""Acting for the invoker: the file operand, the editor's identity and choice, what edits do."""
import errno
import fcntl
import glob
import os
import re
import signal
import termios

from harness import (HOME, PLAIN, SUID, TEMP, USERS, Case, editor_failed, path, put, read, run,
                     temps, unread, updates, user_file, write)
import harness as h

T = "/tmp/.t/as_user"
REC = T + "/rec"  # where the editors record what they saw, writable by all
RECORDER = T + "/record"
SECRET = T + "/secret"  # readable by root only
NOT_OWN = "not a regular file owned by alice"
FIELDS = ("uid", "gid", "groups", "cwd", "USER", "LOGNAME", "HOME", "SHELL", "owner", "path")

# "record TAG FILE" notes who runs it, where, and what FILE held; then appends TAG as an edit.
RECORDER_SCRIPT = f"""#!/bin/sh
tag=$1; shift
{{ id -u; id -g; id -G; pwd; echo "$USER"; echo "$LOGNAME"; echo "$HOME"; echo "$SHELL"
   stat -c %U "$1"; echo "$1"; }} > {REC}/$tag
cat "$1" > {REC}/$tag.seen
echo "#$tag" >> "$1"
"""


# Lines a crontab may hold, and lines no scheduler can read with what is said of them.
GOOD = (b"", b" \t", b"# a comment", b"  #indented", b"PATH=/bin:/usr/bin", b"_x1 = a b",
        *[b"@%s cmd" % w for w in (b"reboot", b"YEARLY", b"annually", b"monthly", b"Weekly",
                                   b"daily", b"midnight", b"hourly")],
        b"*/5 0-23/2 1,15,31 jan-DEC,6 Mon-fri date", b" \t0 0 * * 7 x", b"0 0 * * 0-7/1 x",
        b"59 23 31 12 sat\tcmd \\%", b"00 1 1-31/31 * sun x", b"# ends in a return\r",
        b"0 0 * * * sync", b"0 0 * * * /bin/echo root")  # a login name that is also a program
CR = "ends in a carriage return (the scheduler would take it as part of the line)"
PCT = ("unescaped % in the command (the scheduler ends the command there and feeds the rest to "
       "its standard input; write \\% for a %)")
USER = ("the command starts with a login name, as lines of the system crontab do (a user's "
        "crontab has no user column)")
MIN, FEW = "bad minute (0-59)", "too few fields (five times and a command)"
AT = "unknown @ schedule (@reboot, @yearly, @annually, @monthly, @weekly, @daily, @midnight or " \
    "@hourly)"
NEITHER = "neither a job, a setting nor a comment"
BAD = ((b"60 * * * * date", MIN), (b"* 24 * * * x", "bad hour (0-23)"),
       (b"* * 0 * * x", "bad day of month (1-31)"), (b"* * * 13 * x", "bad month (1-12 or jan-dec)"),
       (b"* * * june * x", "bad month (1-12 or jan-dec)"),
       (b"* * * * 8 x", "bad day of week (0-7 or sun-sat)"), (b"* * * * date", FEW),
       (b"0 0 * * *", FEW), (b"5-1 * * * * x", "minute range starts past its end"),
       (b"* * * * sat-sun x", "day of week range starts past its end"),
       (b"*/0 * * * * x", "minute step of 0"), (b"1-/2 * * * * x", MIN), (b"*/ * * * * x", MIN),
       (b"1x * * * * x", MIN), (b"*/5x * * * * x", MIN), (b"4294967296 * * * * x", MIN),
       (b"@often x", AT), (b"@d x", AT), (b"@re x", AT),
       (b"@daily \t", "no command"), (b"hello world", NEITHER),
       # What a scheduler runs otherwise than it reads.
       (b"0 3 * * * /bin/true\r", CR), (b"\r", CR), (b"A=b\r", CR), (b"61 * * * * x\r", MIN),
       (b"59 23 31 12 sat\tcmd %", PCT), (b"@daily date +%F", PCT),
       (b"0 0 * * * root /bin/echo x", USER), (b"@hourly\talice x", USER),
       # A long line is shown in part, never an escape cut: its last one ends the room exactly.
       (b"x" * 1019 + b"\x01\x02", NEITHER, b"x" * 1019 + b"\\001"),
       (b"x" * 1020 + b"\x01", NEITHER, b"x" * 1020),
       (b"\t61\t* * * * a\\\x7f", MIN),
       (b"0 0 * * * no newline", "no newline at the end (many schedulers ignore a last line "
        "without one)"))  # the last line, unended


def recorded(tag):
    """What the editor tagged tag saw, or None when it did not run."""
    seen = read(f"{REC}/{tag}.seen")  # written last
    if seen is not None:
        return dict(zip(FIELDS, read(f"{REC}/{tag}").decode().split("\n")), text=seen)


def editor(tag, length=0):
    """An editor command for the recorder, padded with slashes to length."""
    return "/" * (length - len(f"{RECORDER} {tag}")) + f"{RECORDER} {tag}"


def unread_temp(reason):
    """A pattern for h.unread of the edit's temporary file."""
    return re.escape(unread("TEMP", reason)).replace(b"TEMP", TEMP)


def shell_editor(body):
    """An editor given as shell text; the temporary path arrives as $1."""
    return f"f() {{ {body}; }}; f"


class AsUser(Case):
    @classmethod
    def setUpClass(cls):
        # Not module set-up, which a group loaded by the harness does not run.
        os.makedirs(REC, exist_ok=True)
        os.chmod(T, 0o755)
        os.chmod(REC, 0o777)
        write(RECORDER, RECORDER_SCRIPT, 0o755)
        write(T + "/vi", f"#!/bin/sh\nexec {RECORDER} vi \"$@\"\n", 0o755)
        write(SECRET, "secret\n", 0o600)
        write(T + "/shared", "0 * * * * planted\n", 0o666)  # root's, which alice may link to
        # A stand-in over /usr/bin/vi shows when it is chosen; mounted in this namespace only.
        target = os.path.realpath("/usr/bin/vi")
        mnt = run(["-n", "-o", "PROPAGATION", "-T", target], None, binary="findmnt")
        assert mnt[:2] == (0, b"private\n"), f"mount propagation at {target} is {mnt}"
        h.sh("mount", "--bind", T + "/vi", target)
        cls.addClassCleanup(h.sh, "umount", target)

    def setUp(self):
        super().setUp()
        # Each test answers only for the temporary files it leaves itself.
        h.sh("rm", "-f", *glob.glob(REC + "/*"))
        h.clear_temps()

    def edit(self, env, user="alice", args=("-e",), **kw):
        result = run(list(args), user=user, env=env, **kw)
        self.assertEqual(temps(), [], "temporary file left behind")
        return result


class FileOperand(AsUser):
    def test_relative_path_is_found_from_the_starting_directory(self):
        for user in ("alice", "dave"):  # dave's user id does not fit an int
            user_file(user, "mine", b"relative\n")
            self.check(run(["mine"], user, cwd=USERS[user].home), 0, **{user: b"relative\n"})

    def test_file_that_opens_but_cannot_be_read_changes_nothing(self):
        put("alice", b"old\n")
        self.check(run([HOME]), 1, err=unread(HOME, "Is a directory", "read"), alice=b"old\n")
        self.assertEqual([e for e in h.entries() if e.endswith(".new")], [])

    def test_reader_killed_midway_installs_nothing(self):
        put("alice", b"old\n")
        fifo = HOME + "/fifo"
        os.mkfifo(fifo)
        os.chown(fifo, 2001, 2001)
        p = h.start([fifo], **h.PIPES)
        # Blocked opening it, the reader holds every id of alice's, none of root's.
        child = h.tracee(p)
        h.wait_for(lambda: re.search(r"^Uid:\t\d+\t[1-9]", h.proc(child, "status"), re.M))
        ids = re.findall(r"^[UG]id:\t(.*)", h.proc(child, "status"), re.M)
        self.assertEqual(ids, ["2001\t2001\t2001\t2001"] * 2)
        fd = h.open_fifo(fifo)
        os.write(fd, b"0 * * * * partial\n")
        h.wait_for(lambda: not any(fcntl.ioctl(fd, termios.FIONREAD, bytes(4))), 20, "the read")
        os.kill(int(child), signal.SIGKILL)
        os.close(fd)
        # Read whole before anything is staged, it began no install.
        self.check(h.finished(p), 1, err=unread(fifo), alice=b"old\n", entries=["alice"])


class EditorIdentity(AsUser):
    def test_editor_runs_as_the_invoking_user(self):
        alien = {"USER": "root", "LOGNAME": "root", "HOME": "/root", "SHELL": "/bin/bash"}
        # (invoking user, arguments, ids, groups, working directory, stderr)
        for user, args, ids, groups, cwd, err in (
                ("alice", [], "2001", {"2001", "3001", "3002"}, HOME, b""),
                ("bob", [], "2002", {"2002", "3001"}, USERS["bob"].home, b""),
                ("nohome", [], "2003", {"2003"}, "/tmp",
                 b"chdir failed: nohome /nonexistent/nohome\n"),
                (None, ["-u", "bob"], "0", {"0"}, "/root", b"")):
            with self.row(user=user):
                name = user or "root"
                self.check(self.edit(dict(alien, EDITOR=editor(name)), user, ["-e", *args]),
                           0, err=err + h.installed(user or "bob"))
                seen = recorded(name)
                seen["groups"] = set(seen["groups"].split())
                self.assertRegex(seen.pop("path").encode(), b"^" + TEMP + b"$")
                home = USERS[user].home if user else "/root"
                self.assertEqual(seen, dict(zip(FIELDS, [ids, ids, groups, cwd, name, name, home,
                                                         "/bin/sh", name]), text=b""))

    def test_caller_groups_give_way_to_the_users(self):
        # After newgrp, or with groups the user database does not give alice.
        for gid, extra in ((3002, [3001, 3002, 0, 4000]), (4000, [])):
            caller = h.User(2001, gid, extra, None, None)
            with self.row(gid=gid, extra=extra):
                self.check(run(["-e"], caller, env={"EDITOR": editor("e")}), 0, err=h.installed())
                seen = recorded("e")
                self.assertEqual((seen["gid"], set(seen["groups"].split())),
                                 ("2001", {"2001", "3001", "3002"}))
                for group, ok in ((3002, True), (4000, False), (0, False)):
                    src = write(f"{T}/group{group}", b"group %d\n" % group, 0o640)
                    os.chown(src, 0, group)
                    err = b"" if ok else unread(src, "Permission denied")
                    self.check(run([src], caller), 0 if ok else 1, err=err, alice=b"group 3002\n")

    def test_failed_identity_switch_runs_no_editor_and_changes_nothing(self):
        # The plain copy run by a user may not set supplementary groups.
        mine = "/tmp/.t/mine-edit"
        os.makedirs(mine, exist_ok=True)
        os.chown(mine, 2001, 2001)
        write(mine + "/alice", b"old\n")
        self.check(self.edit({"EDITOR": editor("e")}, args=["-c", mine, "-e"], binary=PLAIN), 1,
                   err=f"initgroups failed: alice Operation not permitted{h.NOT_ROOT}\n".encode() +
                   editor_failed())
        self.assertEqual((recorded("e"), sorted(os.listdir(mine))), (None, ["alice"]))


class EditorChoice(AsUser):
    def test_choice_and_length_limits(self):
        ed, vis = editor("e"), editor("v")
        # (environment, the editor that must run)
        for env, chosen in (({"EDITOR": ed, "VISUAL": vis}, "e"), ({"VISUAL": vis}, "v"),
                            ({}, "vi"), ({"EDITOR": editor("e", 256), "VISUAL": vis}, "v"),
                            ({"VISUAL": editor("v", 256)}, "vi"),
                            ({"EDITOR": editor("e", 256), "VISUAL": editor("v", 256)}, "vi"),
                            ({"EDITOR": editor("e", 220)}, "e")):  # command of 255
            with self.row(env={k: len(v) for k, v in env.items()}):
                self.check(self.edit(env), 0, err=h.installed(), alice=b"#%s\n" % chosen.encode())


class EditOutcome(AsUser):
    def test_edit_installs_what_changed_and_points_out_bad_lines(self):
        good = b"".join(line + b"\n" for line in GOOD)
        lines = write(T + "/lines", good + b"\n".join(line for line, *_ in BAD))
        said = b"".join(b"line %d: %s: %s\n" % (n, why.encode(), shown[0] if shown else line
                                                 .replace(b"\\", b"\\\\").replace(b"\t", b"\\011")
                                                 .replace(b"\x7f", b"\\177")
                                                 .replace(b"\r", b"\\015"))
                        for n, (line, why, *shown) in enumerate(BAD, len(GOOD) + 1))
        e = editor("e")
        # (invoker, whose crontab, its text at start, editor, the crontab after, stderr)
        for user, owner, old, ed, new, err in (
                ("alice", "alice", None, e, b"#e\n", h.installed()),
                ("alice", "alice", b"0 * * * * old\n", e, b"0 * * * * old\n#e\n", h.installed()),
                (None, "bob", b"#bob's\n", e, b"#bob's\n#e\n", h.installed("bob")),
                # Quit without a change, or the same bytes written back: nothing is a change.
                ("alice", "alice", None, "true", None, h.UNCHANGED),
                ("alice", "alice", b"old\n", shell_editor('echo old > "$1"'), b"old\n", h.UNCHANGED),
                (None, "bob", good, f"cp {lines}", read(lines), said + h.installed("bob")),
                ("alice", "alice", None, f"cp -f {T}/good", good, h.installed())):
            with self.row(user=user, old=old and old[:20], editor=ed[-20:]):
                write(T + "/good", good)
                if old is not None:
                    put(owner, old)
                args = ["-e"] if user else ["-e", "-u", owner]
                self.check(self.edit({"EDITOR": ed}, user, args), 0, err=err, **{owner: new})
                if ed == e:
                    self.assertEqual(recorded("e")["text"], old or b"")
                if err == h.UNCHANGED:
                    self.assertEqual(h.entries(), [owner] * (old is not None))
                    continue
                st = os.stat(path(owner))
                self.assertEqual((st.st_mode & 0o7777, st.st_uid, h.entries(), updates()),
                                 (0o600, 0, sorted([owner, "cron.update"]), [owner]))
        # Installs from a file or standard input are never checked, and say nothing.
        for args, stdin in (([lines], b""), (["-"], read(lines))):
            self.check(run(args, stdin=stdin), 0, alice=read(lines))

    def test_failed_edits_change_nothing(self):
        def too_long(length):  # what exec is given: the command cut to 255 bytes
            cut = (editor("e", length) + " /tmp/crontab.XXXXXX/crontab.XXXXXX")[:255]
            return (b"couldn't exec " + re.escape(cut.encode()).replace(b"X", b"[A-Za-z0-9]") +
                    re.escape(editor_failed()))
        # (EDITOR, VISUAL being set too, and the stderr it must cause)
        for ed, err in (
                *[(editor("e", length), too_long(length)) for length in (221, 240, 255)],
                # Empty counts as set: the shell is asked to run the temporary file itself.
                ("", b"(?s).*" + re.escape(editor_failed("exited with status 126"))),
                (shell_editor('echo junk >> "$1"; exit 3'),
                 re.escape(editor_failed("exited with status 3"))),
                # What a killed editor leaves may be what was typed: it is kept.
                (shell_editor('echo junk >> "$1"; kill -9 $$'),
                 h.kept_note(editor_failed("killed by signal 9"))),
                # The read-back must use the user's rights, not the command's.
                *[(shell_editor(f'rm "$1"; ln -s {t} "$1"'), unread_temp(h.strerror(errno.ELOOP)))
                  for t in (SECRET, "/etc/shadow")],
                ("rm", unread_temp("No such file or directory")),
                (shell_editor('rm "$1"; mkfifo "$1"'), unread_temp(NOT_OWN)),
                (shell_editor(f'rm "$1"; ln {T}/shared "$1"'), unread_temp(NOT_OWN))):
            with self.row(editor=ed[-60:], length=len(ed)):
                put("alice", b"old\n")
                self.matched(run(["-e"], env={"EDITOR": ed, "VISUAL": editor("v")}), 1, err,
                             alice=b"old\n", updates=[])
                self.assertEqual([recorded(t) for t in ("e", "v", "vi")], [None] * 3)
                self.assertEqual([read(f) for f in temps()[1:]], [b"old\njunk\n"] * (b"kept" in err))

    def test_edit_that_is_not_installed_is_kept(self):
        too_large, busy, a = h.cannot_install("File too large"), h.staging_exists(), path("alice")
        changed = h.changed_meanwhile()
        # (invoker, crontab at start, what the editor does first, what is said, the crontab after)
        for user, old, meanwhile, err, after in (
                ("alice", b"#old\n", f'head -c {h.MAX_SIZE} /dev/zero >> "$1"', too_large, b"#old\n"),
                ("alice", b"#old\n", ":", busy, b"#old\n"),
                ("alice", b"#old\n", f"echo other | {SUID} -", changed, b"other\n"),
                ("alice", b"#old\n", f"{SUID} -d", changed, None),
                ("alice", None, f"echo other | {SUID} -", changed, b"other\n"),
                # In place, same size: only the time of the change tells.
                (None, b"#old\n", f"sleep 0.05; echo '#olx' > {a}", changed, b"#olx\n"),
                # Only the inode, the size or the nanoseconds of the time tell.
                (None, b"#old\n", f"echo '#olx' > {a}.x; touch -r {a} {a}.x; mv {a}.x {a}", changed,
                 b"#olx\n"),
                (None, b"#old\n", f"touch -r {a} {T}/t; echo >> {a}; touch -r {T}/t {a}", changed,
                 b"#old\n\n"),
                (None, b"#old\n", f"t=$(stat -c %.9Y {a}); echo '#olx' > {a}; "
                 f"touch -d @${{t%?}}$((${{t#${{t%?}}}} ^ 1)) {a}", changed, b"#olx\n"),
                # Root names the directory too: the hint does.
                ("-c", b"#old\n", ":", busy.replace(b"/alice", b"/./alice"), b"#old\n")):
            with self.row(user=user, meanwhile=meanwhile[:20], old=old):
                if old is not None:
                    put("alice", old)
                who = None if user == "-c" else user
                hint = ["-c", h.DIR + "/."] * (who != user) + ["-u", "alice"] * (who is None)
                # Busy: a running install holds its staging file; else /dev/null is held.
                with open(path("alice.new") if b"File exists" in err else os.devnull, "wb") as lock:
                    fcntl.flock(lock, fcntl.LOCK_EX)
                    result = run(["-e", *hint], who, env={
                        "EDITOR": shell_editor(f'{meanwhile}; echo "#e" >> "$1"')})
                note = self.matched(result, 1, h.kept_note(err, " ".join(hint + [""]).encode()),
                                    alice=after)
                # The command it names installs the edit for the user whose it is.
                edited = (old or b"") + b"\0" * h.MAX_SIZE * (err == too_large) + b"#e\n"
                self.assertEqual((os.stat(note[1]).st_uid, read(note[1].decode())),
                                 (2001 if who else 0, edited))
                fits = len(edited) <= h.MAX_SIZE
                self.assertEqual(run([*hint, note[1].decode()], who)[0], 0 if fits else 1)
                self.assertEqual(read("alice"), edited if fits else after)

    def test_name_the_editor_frees_is_nobody_elses(self):
        put("alice", b"old\n")
        seen, go = HOME + "/seen", HOME + "/go"
        p = h.start(["-e"], env={"EDITOR": shell_editor(
            f'mv "$1" "$1.orig"; echo "$1" > {seen}; timeout 20 sh -c "until [ -e {go} ]; do '
            'sleep 0.01; done"; { cat "$1.orig"; echo new; } > "$1"')})
        name = h.wait_for(lambda: open(seen).read().strip(), 20, "the editor")
        st = os.stat(os.path.dirname(name))
        self.assertEqual((run(["-c", f"echo evil > {name}"], "bob", binary="/bin/sh")[0],
                          st.st_mode & 0o7777, st.st_uid), (2, 0o700, 2001))
        user_file("alice", "go", b"")
        self.assertEqual((p.wait(timeout=20), read("alice"), temps()), (0, b"old\nnew\n", []))

    def test_hint_is_quoted_for_the_shell(self):
        d = "/tmp/.t/a$(id)b'c" + "/''" * 300  # quoted, longer than a message may be
        os.makedirs(d, exist_ok=True)
        with open(d + "/alice.new", "wb") as lock:  # as a running install holds it
            fcntl.flock(lock, fcntl.LOCK_EX)
            status, _, err = run(["-c", d, "-u", "alice", "-e"], None,
                                 env={"EDITOR": shell_editor('echo "#e" >> "$1"')})
        busy = f"unable to create {d}/alice.new: File exists\n".encode()
        hint = b"-c '%s' -u alice " % d.replace("'", "'\\''").encode()
        self.assertEqual((status, bool(re.fullmatch(h.kept_note(busy, hint), err))), (1, True), err)
        self.check(run(["-c", err.decode().split(": ")[-1]], None, binary="/bin/sh",
                       env={"PATH": h.ROOT + "/bin"}), 0)  # the hint itself, pasted
        self.assertEqual(read(d + "/alice"), b"#e\n")

    def test_editor_that_renames_a_new_file_into_place(self):
        put("alice", b"0 * * * * old\n")
        self.check(self.edit({"EDITOR": "sed -i s/old/new/"}), 0, err=h.installed())
        self.assertEqual((read("alice"), updates()), (b"0 * * * * new\n", ["alice"]))

    def test_current_crontab_that_cannot_be_read_is_not_edited(self):
        for make, why in ((os.mkdir, "Is a directory"), (lambda p: os.symlink(SECRET, p),
                                                          h.strerror(errno.ELOOP))):
            with self.row(why=why):
                make(path("alice"))
                self.check(self.edit({"EDITOR": editor("e")}), 1, err=h.unable("read", "alice", why))
                self.assertEqual((recorded("e"), updates()), (None, []))

    def test_edit_files_are_removed_as_their_owner(self):
        # Not removable as their owner: the edit stands, is heard of, and the files are named.
        env = {"EDITOR": shell_editor('echo "#e" >> "$1"')}
        as_owner = h.call_number(["-e"], "setfsuid", r"setfsuid\(-1\)", nth=3, env=env)
        h.reset()
        self.matched(h.traced(["-e"], ["-e", f"inject=setfsuid:retval=1:when={as_owner}"],
                              env=env), 0, re.escape(h.installed("root")) +
                     rb"unable to remove %s as its owner\n" % TEMP, root=b"#e\n", updates=["root"])
        h.clear_temps()
        # With a link to root's directory swapped in for the private one, root's file there stays.
        os.mkfifo(fifo := T + "/go")
        p = h.start(["-e"], env={"EDITOR": shell_editor(f"read x < {fifo}")}, **h.PIPES)
        d, f = h.wait_for(lambda: len(temps()) == 2 and temps())
        os.rename(d, d + ".moved")
        os.makedirs(T + "/root")
        root_file = write(f"{T}/root/{os.path.basename(f)}", b"root's\n")
        os.symlink(T + "/root", d)
        self.addCleanup(os.unlink, d)
        os.close(h.open_fifo(fifo))
        self.assertEqual((p.communicate(timeout=20)[1], p.returncode), (editor_failed() + (
            f"unable to remove {f}: Permission denied\n"
            f"unable to remove {d}: Operation not permitted\n").encode(), 1))
        self.assertEqual(read(root_file), b"root's\n")
