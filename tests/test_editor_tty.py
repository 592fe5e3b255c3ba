"""An edit driven as a person would: the machine's vi in a real terminal."""
import os
import re
import shutil
import unittest

from harness import DIR, SUID, USERS, Case, put, read, run, temps, updates
import harness as h

SOCKET = "crontab-tty"  # a private tmux server, killed after every test
OUT = "/tmp/.t/tty"
ENV = {"PATH": "/usr/bin:/bin", "TERM": "xterm", "HOME": "/root"}
HOME = USERS["alice"].home
MISSING = [p for p in ("tmux", "vi") if shutil.which(p, path=ENV["PATH"]) is None]
OLD, TYPED = b"0 1 * * * old\n", b"0 1 * * * old\n0 5 * * * echo hi\n"


def tmux(*args):
    return run(["-L", SOCKET, *args], None, env=ENV, binary="tmux", timeout=10)


@unittest.skipIf(MISSING, f"needs {' and '.join(MISSING)} to drive an editor in a terminal")
class RealEditor(Case):
    def setUp(self):
        super().setUp()
        shutil.rmtree(OUT, ignore_errors=True)
        os.makedirs(OUT)
        h.clear_temps()
        self.addCleanup(tmux, "kill-server")

    def edit(self, leave, meanwhile=None):
        """As alice, types a line into vi and leaves it with leave; the status and stderr."""
        put("alice", OLD)
        # From her home, with no editor named so that vi is used.
        command = (f"cd {HOME} && setpriv --reuid=2001 --regid=2001 --groups=3001,3002 "
                   f"env -u EDITOR -u VISUAL {SUID} -e 2>{OUT}/err; echo $? >{OUT}/status")
        status, _, err = tmux("new-session", "-d", "-x", "80", "-y", "24", command)
        self.assertEqual(status, 0, err)
        self.wait_for(lambda: "0 1 * * * old" in self.screen(), "vi showing the crontab")
        tmux("send-keys", "G", "o")
        tmux("send-keys", "-l", "0 5 * * * echo hi")
        self.wait_for(lambda: "echo hi" in self.screen(), "the typed line")
        tmux("send-keys", "Escape")
        self.wait_for(lambda: "-- INSERT --" not in self.screen(), "normal mode")
        if meanwhile:  # another install, before vi is left
            self.assertEqual(run(["-"], stdin=meanwhile), (0, b"", b""))
        tmux("send-keys", leave, "Enter")
        self.wait_for(lambda: os.path.getsize(OUT + "/status"), "the command to end")
        self.assertEqual(len(temps()), 2 * bool(meanwhile), "temporary files left")
        return int(read(OUT + "/status")), read(OUT + "/err")

    def screen(self):
        return tmux("capture-pane", "-p")[1].decode()

    def wait_for(self, ready, what):
        h.wait_for(ready, 20, lambda: f"{what}; screen:\n{self.screen()}", 0.1)

    def test_saved_edit_is_installed(self):
        self.assertEqual(self.edit(":wq"), (0, b""))
        self.assertEqual((read("alice"), updates()), (TYPED, ["alice"]))

    def test_abandoned_edit_changes_nothing(self):
        self.assertEqual(self.edit(":cq"), (1, h.editor_failed()))
        self.assertEqual((read("alice"), updates()), (OLD, []))

    def test_edit_of_a_crontab_replaced_meanwhile_is_kept(self):
        status, err = self.edit(":wq", meanwhile=b"0 2 * * * other\n")
        kept = re.fullmatch(h.kept(b"%s/alice changed during the edit; not installed\n"
                                   % DIR.encode()), err)
        self.assertEqual((status, bool(kept)), (1, True), err)
        self.assertEqual((read(kept[1].decode()), read("alice")), (TYPED, b"0 2 * * * other\n"))
