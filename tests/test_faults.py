"""Interruption, full file systems and failing writes."""
import contextlib
import fcntl
import os
import random
import signal
import subprocess
import termios
import time

from harness import (HOME, INTERRUPTED, PIPES, ROOT, Case, cannot_install, entries, put, read,
                     run, start, temps, updates, wait_for)
import harness as h

QUIET = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}


def crontab_text(tag, size):
    line = b"%s * * * * /usr/bin/true %s\n" % (tag, b"x" * 40)
    return (line * (size // len(line) + 1))[:size]


def runs(count, seconds):  # the numbers of up to count runs, while seconds last
    deadline = time.monotonic() + seconds
    return (n for n in range(count) if time.monotonic() <= deadline)


class Interruption(Case):
    def test_sigkill_during_install_leaves_old_or_new(self):
        old, new = crontab_text(b"1", 300 << 10), crontab_text(b"2", min(600 << 10, h.MAX_SIZE))
        # Killed by strace as it reads its input, locks or syncs the staging file, renames it,
        # syncs the directory. Left behind, unlocked, a staging file is taken over by the next.
        for calls, pattern, nth, after, debris in (
                ("read", r"read\(0<", 1, old, False), ("flock", "", 1, old, True),
                ("fsync", "", 1, old, True), ("rename,renameat,renameat2", "", 1, old, True),
                ("fsync", "", 2, new, False)):
            with self.row(calls=calls, nth=nth):
                when = h.call_number(["-"], calls, pattern, nth=nth, stdin=new)
                h.reset()
                put("root", old)
                self.assertEqual(h.traced(["-"], ["-e", f"inject={calls}:signal=SIGKILL:when={when}"],
                                          stdin=new)[0], -signal.SIGKILL)
                self.assertEqual((read("root"), read("root.new") is not None), (after, debris))
                if debris:
                    self.check(run(["-"], None, stdin=b"next\n"), 0, root=b"next\n",
                               entries=["cron.update", "root"])

    def test_signals_while_the_staging_file_is_held(self):
        # While the input is read, nothing is staged yet; once it is, the staging file is held.
        for sig, staged in ((signal.SIGTERM, False), *((s, True) for s in (
                signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT, signal.SIGALRM,
                signal.SIGKILL))):
            with self.row(sig=sig.name, staged=staged):
                put("alice", b"old\n")
                if staged:
                    p, pid = h.under_way(b"0 * * * * new")
                    self.assertEqual(os.stat(h.path("alice.new"))[4:6], (0, 0))  # not alice's group
                else:
                    p = start(["-"], **PIPES)
                    pid = p.pid
                    p.stdin.write(b"0 * * * * new\n")
                    p.stdin.flush()
                    wait_for(lambda: not any(fcntl.ioctl(p.stdin, termios.FIONREAD, bytes(4))), 20,
                             "the input to be read")
                    self.assertEqual(entries(), ["alice"])
                os.kill(pid, sig)
                if staged and sig != signal.SIGKILL:
                    os.kill(pid, signal.SIGCONT)
                got = h.finished(p, 20) + (entries(), read("alice"))
                self.assertEqual(got, (-sig, b"", b"", ["alice", "alice.new"], b"old\n")
                                 if sig == signal.SIGKILL else
                                 (1, b"", INTERRUPTED, ["alice"], b"old\n"))
                self.check(run(["-"], stdin=b"next\n", timeout=5), 0)
                self.assertEqual((read("alice"), entries()), (b"next\n", ["alice", "cron.update"]))

    def test_only_its_own_staging_file_is_put_in_place(self):
        put("alice", b"old\n")
        p, pid = h.under_way(b"0 * * * * new")
        put("planted", b"planted\n")
        os.rename(h.path("planted"), h.path("alice.new"))
        os.kill(pid, signal.SIGCONT)
        self.assertEqual(h.finished(p, 20), (1, b"", cannot_install("File exists")))
        self.assertEqual((read("alice"), read("alice.new")), (b"old\n", b"planted\n"))

    def test_interrupted_install_of_an_edit_keeps_it(self):
        # Its sync held up, the install is interrupted while it holds the staging file. With
        # the staging file busy, a signal at the failed lock adds nothing to what is said.
        editor = {"EDITOR": 'f() { echo "#edited" >"$1"; }; f'}
        for delay, busy, said in (("fsync:delay_enter", False, INTERRUPTED),
                                  ("flock:delay_exit", True, h.staging_exists("root"))):
            with self.row(busy=busy), open(h.path("root.new"), "wb") as held:
                fcntl.flock(held, fcntl.LOCK_EX)
                busy or os.unlink(h.path("root.new"))
                put("root", b"old\n")
                p = h.traced(["-e"], ["-e", f"inject={delay}=2000000:when=1"], started=True,
                             env=editor, **PIPES)
                pid = h.tracee(p)
                fd = f"/proc/{pid}/fd/"
                # Filled, so held: the name alone may be seen before the lock is taken. Busy,
                # open to be taken over: the lock is tried next.
                wait_for((lambda: h.path("root.new") in [os.readlink(fd + n) for n in
                                                         os.listdir(fd)]) if busy else
                         lambda: os.path.getsize(h.path("root.new")) == 8, 20, "the staging file")
                os.kill(pid, signal.SIGTERM)
                note = self.matched(h.finished(p, 20), 1, h.kept_note(said), root=b"old\n",
                                    entries=["cron.update", "root", "root.new"] if busy else ["root"])
                self.assertEqual(read(note[1].decode()), b"#edited\n")

    def test_edit_files_are_never_roots(self):
        # Each of its opens held up, the command is slow enough to be watched throughout.
        owner, seen = HOME + "/owner", set()
        p = h.traced(["-e"], ["-u", "alice", "-e", "inject=open,openat:delay_exit=50000"], None,
                     {"EDITOR": f"stat -c %u:%g >{owner}"}, h.SUID, True)

        def ended():
            for name in temps():
                h.attempt(lambda: seen.add(os.stat(name).st_uid))
            return p.poll() is not None
        wait_for(ended, 60, "the traced edit to end")
        self.assertEqual((p.returncode, seen, read(owner)), (0, {2001}, b"2001:2001\n"))
        # Killed at any moment once it has made its temporary file, it leaves only alice's there.
        rng = random.Random(os.environ.get("CRONTAB_TEST_SEED", "temp"))
        left = 0
        for n in runs(200, 10):
            p = start(["-e"], env={"EDITOR": "true"}, **QUIET)
            wait_for(lambda: temps() or p.poll() is not None, 20, "a temporary file", 0)
            time.sleep(rng.uniform(0, 0.003))
            p.kill()
            p.wait(timeout=20)
            for name in temps():
                self.assertEqual(os.stat(name)[4:6], (2001, 2001), f"run {n}")  # uid, gid
                left += 1
            h.clear_temps()
        self.assertGreater(left, 0)

    def test_interrupt_during_the_edit_keeps_it(self):
        ready = HOME + "/ready"
        editor = h.write(f"{ROOT}/interrupted-editor", f'#!/bin/sh\necho "0 0 * * * edited" > '
                         f'"$1"\ntouch {ready}\nexec sleep 10\n', 0o755)
        # A terminal's ^C signals the whole group: the editor dies of it, and the command says
        # so. A signal for the command alone ends it at once; the editor is left to the user.
        for sig, whole_group in ((signal.SIGINT, True), (signal.SIGQUIT, True),
                                 (signal.SIGTERM, False), (signal.SIGHUP, False)):
            said = h.editor_failed(f"killed by signal {sig:d}") if whole_group else b"edit interrupted; "
            with self.row(sig=sig, whole_group=whole_group):
                put("alice", b"#kept\n")
                h.sh("rm", "-f", ready)
                p = start(["-e"], env={"EDITOR": editor}, process_group=0, **PIPES)
                wait_for(lambda: os.path.exists(ready), 20, "the editor")
                (os.killpg if whole_group else os.kill)(p.pid, sig)
                p.wait(timeout=20)
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(p.pid, signal.SIGKILL)  # the editor, when it outlived the command
                note = self.matched(h.finished(p), 1, h.kept_note(said), alice=b"#kept\n", updates=[])
                self.assertEqual(read(note[1].decode()), b"0 0 * * * edited\n")
                h.clear_temps()
        # Ctrl-C while the editor runs is the editor's: one that lives on is installed.
        self.check(run(["-e"], env={"EDITOR": 'f() { kill -INT $PPID; echo "#e" >> "$1"; }; f'}), 0,
                   err=h.installed(), alice=b"#kept\n#e\n")
        # Once the edit's end is said, held up right after, an interrupt adds nothing to it.
        failed = {"EDITOR": "false"}
        when = h.call_number(["-e"], "write", "editor exited", env=failed)
        p = h.traced(["-e"], ["-e", f"inject=write:delay_exit=2000000:when={when}"], env=failed,
                     started=True, **PIPES)
        self.assertEqual(os.read(p.stderr.fileno(), 100), h.editor_failed())
        os.kill(h.tracee(p), signal.SIGTERM)
        self.assertEqual((h.finished(p), h.temps()), ((1, b"", b""), []))


class FullDisk(Case):
    def small_directory(self, free, update=None):
        """Puts a 64 KiB file system over the crontab directory with `free` bytes left."""
        h.sh("mount", "-t", "tmpfs", "-o", "size=64k,mode=0755", "tmpfs", h.DIR)
        self.addCleanup(h.sh, "umount", h.DIR)
        put("alice", b"0 * * * * old\n")
        if update is not None:
            put("cron.update", update)
        with open(h.path("filler"), "wb", buffering=0) as f, contextlib.suppress(OSError):
            while f.write(b"f" * 4096):
                pass
        os.truncate(h.path("filler"), max(0, os.path.getsize(h.path("filler")) - free))

    def test_install_on_a_full_file_system(self):
        failed = cannot_install("No space left on device")
        # With no room even the notification fails; with a little, the removed staging file's
        # space takes it. A crontab just larger than the room is written in part first.
        for free, size, err, names in ((0, 32 << 10, failed + h.append_failed(), []),
                                       (8192, 32 << 10, failed, ["alice"]),
                                       (8192, 8192 + 500, failed, None)):
            with self.subTest(free=free, size=size):
                self.small_directory(free)
                self.assertEqual(run(["-"], stdin=crontab_text(b"3", size)) + (read("alice"),),
                                 (1, b"", err, b"0 * * * * old\n"))
                self.assertNotIn("alice.new", entries())
                if names is not None:
                    self.assertEqual(updates(), names)
                self.doCleanups()

    def test_cut_line_never_takes_the_next_name(self):
        # Two bytes left in the update file's page: bob's line is cut there, and blanked out.
        # A cut line that its command, stopped, has not yet blanked out takes the next name as
        # its tail: the name is written again, on a line of its own.
        pad = b"y\n" * 2047
        self.small_directory(0, pad)
        self.check(run(["-d"], user="bob"), 0, err=h.append_failed())
        os.unlink(h.path("filler"))
        put("cron.update", read("cron.update") + b"car")
        self.check(run(["-d"]), 0, **{"cron.update": pad + b"\n\ncaralice\nalice\n"})
        # Also at the very start of the file.
        put("cron.update", b"c")
        self.check(run(["-d"]), 0, **{"cron.update": b"calice\nalice\n"})

    def test_edit_with_a_full_tmp(self):
        # A tiny /tmp for this command alone; what of ours is under it stays reachable by fd.
        keep = [ROOT] + [h.DIR] * h.DIR.startswith("/tmp/")
        script = "".join(f"exec {3 + i}<{d}\n" for i, d in enumerate(keep))
        script += "mount -t tmpfs -o size=64k,mode=1777 tmpfs /tmp || exit 99\n"
        script += "".join(f"mkdir -p {d} && mount --no-canonicalize --bind /proc/self/fd/{3 + i} "
                          f"{d} || exit 99\n" for i, d in enumerate(keep))
        script += (f"setpriv --reuid=2001 --regid=2001 --groups=3001,3002 "
                   f"{h.SUID} -e; s=$?; ls -A /tmp > {ROOT}/left; exit $s\n")
        big = crontab_text(b"4", 900 << 10)
        put("alice", big)
        self.matched(run(["--mount", "--propagation", "private", "--", "sh", "-c", script], None,
                         binary="unshare", env={"EDITOR": f"touch {HOME}/ran;"}), 1, updates=[],
                     alice=big, err=rb"unable to write %s: No space left on device\n" % h.TEMP)
        self.assertFalse(os.path.exists(f"{HOME}/ran"), "the editor ran on a truncated copy")
        self.assertNotIn(b"crontab.", read(f"{ROOT}/left"), "the temporary file was left behind")


class DirectorySync(Case):
    def test_rename_is_made_durable(self):
        trace = ROOT + "/trace"
        self.check(h.traced(["-"], ["-o", trace, "-e", "trace=open,openat,rename,renameat,"
                                    "renameat2,fsync,exit_group"], stdin=b"new\n"), 0)
        self.assertRegex(read(trace).decode(), r'\d+ +rename(?:at2?)?\((?:AT_FDCWD, )?"root\.new", '
                         r'(?:AT_FDCWD, )?"root"[^\n]*\) += 0\n(?:.*\n)*?\d+ +open(?:at)?\('
                         r'(?:AT_FDCWD, )?"\.", [^\n]*\) = (\d+)\n(?:.*\n)*?'
                         r'\d+ +fsync\(\1\) += 0\n(?:.*\n)*?\d+ +exit_group\(0\)')
