"""An edit driven as a person would: the machine's vi in a real terminal."""
import errno
import os
import re
import shutil
import unittest

from harness import HOME, SUID, Case, put, read, run, temps, updates
import harness as h

SOCKET = "crontab-tty"  # private tmux servers, one a row, killed after it
OUT = "/tmp/.t/tty"
ENV = {"PATH": "/usr/bin:/bin", "TERM": "xterm", "HOME": "/root"}
MISSING = [p for p in ("tmux", "vi") if shutil.which(p, path=ENV["PATH"]) is None]
OLD, TYPED = b"0 1 * * * old\n", b"0 1 * * * old\n0 5 * * * echo hi\n"
ASKED = "(e)dit again, (i)nstall as it is, or (q)uit without installing? "
BAD = "0 25 * * * echo hi"
POINTED = "line 2: bad hour (0-23): 0 25 * * * echo hi\n" + ASKED


@unittest.skipIf(MISSING, f"needs {' and '.join(MISSING)} to drive an editor in a terminal")
class RealEditor(Case):
    def setUp(self):
        super().setUp()
        shutil.rmtree(OUT, ignore_errors=True)
        os.makedirs(OUT)
        h.clear_temps()
        # A server of its own for each row: a killed one may still be going when the next starts.
        self.socket = f"{SOCKET}{len(os.listdir(OUT + '/..'))}{id(self)}"
        self.addCleanup(self.tmux, "kill-server")

    def tmux(self, *args):
        return run(["-L", self.socket, *args], None, env=ENV, binary="tmux", timeout=10)

    def edit(self, leave, meanwhile=None, line="0 5 * * * echo hi", then=()):
        """As alice, types line into vi and leaves it with leave, then, for each (n, keys) of
        then, types keys once she is asked for the n-th time (0: once vi is back); the status,
        and stderr or, with a then, the screen (stderr is the terminal then, so she is asked)."""
        put("alice", OLD)
        # From her home, with no editor named so that vi is used.
        command = (f"cd {HOME} && setpriv --reuid=2001 --regid=2001 --groups=3001,3002 "
                   f"env -u EDITOR -u VISUAL {SUID} -e{'' if then else f' 2>{OUT}/err'}; "
                   f"echo $? >{OUT}/status{'; sleep 600' if then else ''}")
        status, _, err = self.tmux("new-session", "-d", "-x", "80", "-y", "24", command)
        self.assertEqual(status, 0, err)
        self.wait_for(lambda: "0 1 * * * old" in self.screen(), "vi showing the crontab")
        self.tmux("send-keys", "G", "o")
        self.tmux("send-keys", "-l", line)
        self.wait_for(lambda: line in self.screen(), "the typed line")
        self.tmux("send-keys", "Escape")
        self.wait_for(lambda: "-- INSERT --" not in self.screen(), "normal mode")
        if meanwhile:  # another install, before vi is left
            self.assertEqual(run(["-"], stdin=meanwhile), (0, b"", b""))
        self.tmux("send-keys", leave, "Enter")
        for n, keys in then:
            self.wait_for(lambda: self.screen().count(ASKED) == n, f"question {n}")
            self.tmux("send-keys", *keys)
        self.wait_for(lambda: os.path.getsize(OUT + "/status"), "the command to end")
        return int(read(OUT + "/status")), self.screen().encode() if then else read(OUT + "/err")

    def typed(self, command, *keys, user="alice"):
        """Runs the shell command (crontab stands for the set-user-id copy) as user at the
        terminal, types each of keys (a tmux key list) once the command has said how to end its
        input; the status and the screen."""
        who = "" if user is None else f"setpriv --reuid={h.USERS[user].uid} --regid=2001 --clear-groups "
        line = re.sub(r"^crontab\b", SUID, command)
        h.write(OUT + "/status", b"")
        status, _, err = self.tmux("new-session", "-d", "-x", "200", "-y", "24",
                                   f"cd /tmp && {who}{line}; echo $? >{OUT}/status; sleep 600")
        self.assertEqual(status, 0, err)
        for key in keys:
            self.wait_for(lambda: "abandon it with Ctrl-C" in self.screen(), "the command")
            self.tmux("send-keys", *key)
        self.wait_for(lambda: os.path.getsize(OUT + "/status"), "the command to end")
        return int(read(OUT + "/status")), self.screen()

    def test_a_change_at_the_terminal_keeps_what_it_took_away(self):
        told = ("reading the new crontab from the terminal: end it with Ctrl-D at the start of a "
                "line, or abandon it with Ctrl-C\n")
        # (command, keys typed once asked, what is said, the crontab after)
        for command, keys, said, after in (
                ("crontab -r", (), "deleted", None), ("crontab -d -u alice", (), "deleted", None),
                ("crontab -", (("C-d",),), told + "crontab of alice replaced", b""),
                ("crontab -", (("-l", "0 2 * * * new"), ("Enter", "C-d")),
                 told + "0 2 * * * new\ncrontab of alice replaced", b"0 2 * * * new\n"),
                (f"crontab {HOME}/new", (), "replaced", b"from a file\n"),
                # Abandoned, off a terminal, or with nothing to keep: nothing kept, nothing said.
                ("crontab -", (("C-c",),), told + "^Cinstall interrupted, crontab unchanged\n", OLD),
                ("crontab -r 2>/dev/null", (), "", None), ("crontab -r </dev/null", (), "", None)):
            with self.row(command=command, keys=keys):
                put("alice", OLD)
                h.user_file("alice", "new", b"from a file\n")
                status, screen = self.typed(command, *keys)
                self.assertEqual((status, read("alice")), (0 if "C-c" not in str(keys) else 1, after))
                kept = re.search(r"; the old one is kept in (\S+): put it back with crontab (\S+)\n",
                                 screen)
                self.assertEqual(bool(kept), said.endswith(("deleted", "replaced")), screen)
                self.assertIn(said + (f"; the old one is kept in {kept[1]}" if kept else ""), screen)
                if not kept:
                    self.assertEqual(temps(), [])
                    continue
                # The named command puts it back, byte for byte.
                self.assertEqual((kept[1], os.stat(kept[1]).st_uid, run([kept[2]]), read("alice")),
                                 (kept[2], 2001, (0, b"", b""), OLD))
        # A copy that cannot be made never stops the change; the line says so. The copy of a
        # change made, though the sync after it failed, is kept.
        traced = " ".join(f"{k}={v}" for k, v in h.TRACED.items())
        for inject, arg, status, after, said in (
                ("mkdir,mkdirat:error=ENOSPC", "-r", 0, None, r"unable to create /tmp/crontab\.\w{6}: "
                 r"No space left on device\ncrontab of root deleted; no copy of the old one was kept\n"),
                ("fsync:error=EIO:when=2", HOME + "/new", 1, b"from a file\n", re.escape(h.unsynced(
                 h.strerror(errno.EIO), "root").decode()) + "crontab of root replaced; the old one is kept in")):
            with self.row(inject=inject):
                put("root", OLD)
                h.user_file("alice", "new", b"from a file\n")
                got, screen = self.typed(f"env {traced} strace -f -qq -o /dev/null -e inject={inject} "
                                         f"{h.PLAIN} {arg}", user=None)
                self.assertEqual((got, read("root"), [read(f) for f in temps()[1:]]),
                                 (status, after, [OLD] * (status == 1)))
                self.assertRegex(screen, "(?m)^" + said)

    def screen(self):  # wrapped lines joined
        return self.tmux("capture-pane", "-p", "-J")[1].decode()

    def wait_for(self, ready, what):
        h.wait_for(ready, 20, lambda: f"{what}; screen:\n{self.screen()}", 0.1)

    def test_saved_edit_is_installed(self):
        self.assertEqual(self.edit(":wq"), (0, h.installed()))
        self.assertEqual((read("alice"), updates(), temps()), (TYPED, ["alice"], []))

    def test_abandoned_edit_changes_nothing(self):
        self.assertEqual(self.edit(":cq"), (1, h.editor_failed()))
        self.assertEqual((read("alice"), updates(), temps()), (OLD, [], []))

    def test_edit_of_a_crontab_replaced_meanwhile_is_kept(self):
        status, err = self.edit(":wq", meanwhile=b"0 2 * * * other\n")
        note = re.fullmatch(h.kept_note(h.changed_meanwhile()), err)
        self.assertEqual((status, bool(note)), (1, True), err)
        self.assertEqual((read(note[1].decode()), read("alice")), (TYPED, b"0 2 * * * other\n"))

    def test_bad_line_is_pointed_out_and_the_person_decides(self):
        # Asked only where the person can see the question.
        self.assertEqual(self.edit(":wq", line=BAD), (0, POINTED.replace(ASKED, "").encode() +
                                                       h.installed()))
        self.assertEqual(read("alice"), OLD + BAD.encode() + b"\n")
        fix = (0, (":2s/25/5/", "Enter", ":wq", "Enter"))  # once vi is back
        # (answers, status, crontab after, what the screen ends with)
        for then, status, after, end in (
                ([(1, ("x", "Enter")), (2, ("e", "Enter")), fix], 0, TYPED,
                 ASKED + "x\n" + ASKED + "e\n" + "crontab of alice installed\n"),
                ([(1, ("i", "Enter"))], 0, OLD + BAD.encode() + b"\n",
                 ASKED + "i\ncrontab of alice installed\n"),
                ([(1, (" Q ", "Enter"))], 1, OLD, ASKED + " Q \nthe edited crontab is kept in "),
                ([(1, ("C-d",))], 1, OLD, ASKED + "\nthe edited crontab is kept in "),
                ([(1, ("C-c",))], 1, OLD, ASKED + "^C\nedit interrupted; the edited crontab is kept in "),
                # One letter alone on its line, or the question again.
                ([(1, ("install", "Enter")), (2, ("e x", "Enter")), (3, ("i", "C-@", "q", "Enter")),
                  (4, ("i" + " " * 70 + "q", "Enter")), (5, ("q", "Enter"))], 1, OLD,
                 ASKED + "q\nthe edited crontab is kept in ")):
            with self.row(then=then[0]):
                got, screen = self.edit(":wq", line=BAD, then=then)
                self.assertEqual((got, read("alice"), updates()),
                                 (status, after, ["alice"] * (1 - status)))
                self.assertIn(POINTED, screen.decode())
                self.assertIn(end, screen.decode())
                # A kept edit: its directory and the file, which holds the edited text.
                self.assertEqual([read(f) for f in temps()[1:]],
                                 [OLD + BAD.encode() + b"\n"] * status)
