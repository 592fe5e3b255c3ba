"""Interruption, full file systems and failing writes."""
import contextlib
import glob
import os
import random
import signal
import stat
import subprocess
import threading
import time

from harness import PLAIN, ROOT, SUID, USERS, Case, put, read, run, updates
import harness as h

ALICE = USERS["alice"]


def as_alice(args, **kw):
    """Starts the command as alice without waiting for it."""
    return h.start(args, **kw)


def wait_for(ready, seconds=10):
    """Polls until ready() gives something true, and returns it."""
    deadline = time.monotonic() + seconds
    while not (got := ready()) and time.monotonic() < deadline:
        time.sleep(0.005)
    return got


def crontab_text(tag, size):
    line = b"%s * * * * /usr/bin/true %s\n" % (tag, b"x" * 40)
    return (line * (size // len(line) + 1))[:size]


class Interruption(Case):
    def test_sigkill_during_install_leaves_old_or_new(self):
        size = min(600 << 10, h.MAX_SIZE)
        old, new = crontab_text(b"1", size // 2), crontab_text(b"2", size)
        rng = random.Random(os.environ.get("CRONTAB_TEST_SEED", "interrupt"))
        seen = {"old": 0, "new": 0, "debris": 0}
        deadline = time.monotonic() + 60
        cpus = os.sched_getaffinity(0)
        cpu = min(cpus)
        idle = lambda: os.sched_setscheduler(0, os.SCHED_IDLE, os.sched_param(0))
        for n in range(40):
            if time.monotonic() > deadline:
                break
            put("alice", old)
            # A quarter of the kills land before the staging file exists: the
            # command starts on this process's CPU and only runs when it is idle.
            early = n % 4 == 0
            if early:
                os.sched_setaffinity(0, {cpu})
            p = as_alice(["-"], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL, preexec_fn=idle if early else None)
            if early:
                p.kill()
                os.sched_setaffinity(0, cpus)

            def feed():
                try:
                    for i in range(0, len(new), 32 << 10):
                        p.stdin.write(new[i:i + (32 << 10)])
                        p.stdin.flush()
                        time.sleep(0.003)
                except BrokenPipeError:
                    pass
                finally:
                    p.stdin.close()
            writer = threading.Thread(target=feed)
            writer.start()
            time.sleep(rng.uniform(0, 0.08))
            p.kill()
            p.wait()
            writer.join()
            data = read("alice")
            self.assertTrue(data in (old, new), f"run {n}: a mix of {len(data or b'')} bytes")
            self.assertLessEqual(set(os.listdir(h.DIR)), {"alice", "alice.new", "cron.update"})
            if read("alice.new") is not None:
                seen["debris"] += 1
                # Nobody holds the dead install's staging file: the next takes it over.
                self.check(run(["-"], stdin=b"next\n"), 0)
                self.assertEqual(read("alice"), b"next\n")
                self.assertNotIn("alice.new", os.listdir(h.DIR))
            else:
                seen["old" if data == old else "new"] += 1
        print(f"\n  interrupted installs: {seen}")
        self.assertGreater(seen["old"], 0)
        self.assertGreater(seen["debris"], 0)

    def staged(self, part=b"0 * * * * new"):
        """An install of alice's under way, blocked reading the rest of a pipe."""
        p = as_alice(["-"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        p.stdin.write(part)
        p.stdin.flush()
        for _ in range(1000):
            if os.path.exists(h.path("alice.new")) and os.path.getsize(h.path("alice.new")):
                break
            time.sleep(0.005)
        return p

    def test_signals_while_the_staging_file_is_held(self):
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT, signal.SIGKILL):
            with self.subTest(sig=sig.name):
                h.reset()
                put("alice", b"old\n")
                p = self.staged()
                p.send_signal(sig)
                got = p.communicate(timeout=20) + (p.returncode, sorted(os.listdir(h.DIR)))
                self.assertEqual(got, (b"", b"", -sig, ["alice", "alice.new"])
                                 if sig == signal.SIGKILL else
                                 (b"", b"install interrupted, crontab unchanged\n", 1, ["alice"]))
                self.assertEqual(read("alice"), b"old\n")
                self.check(run(["-"], stdin=b"next\n", timeout=5), 0)
                self.assertEqual((read("alice"), sorted(os.listdir(h.DIR))),
                                 (b"next\n", ["alice", "cron.update"]))
        # A live install keeps its staging file from a second one.
        h.reset()
        p = self.staged(b"0 * * * * first")
        self.check(run(["-"], stdin=b"second\n"), 1,
                   err=f"unable to create {h.DIR}/alice.new: File exists\n".encode())
        self.assertEqual(p.communicate(b" and last\n", timeout=20) + (p.returncode,), (b"", b"", 0))
        self.assertEqual(read("alice"), b"0 * * * * first and last\n")

    def test_interrupted_install_of_an_edit_keeps_it(self):
        # The editor leaves a FIFO, so the install blocks on what the test feeds it.
        put("alice", b"old\n")
        p = as_alice(["-e"], env={"EDITOR": 'f() { rm "$1" && mkfifo "$1"; }; f'},
                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        fifos = wait_for(lambda: [f for f in glob.glob("/tmp/crontab.*")
                                  if stat.S_ISFIFO(os.lstat(f).st_mode)])
        fifo = fifos[0]
        with open(fifo, "wb", buffering=0) as feed:
            feed.write(b"0 * * * * edited")
            wait_for(lambda: os.path.exists(h.path("alice.new")) and
                     os.path.getsize(h.path("alice.new")))
            p.send_signal(signal.SIGTERM)
        got = p.communicate(timeout=20) + (p.returncode,)
        self.assertEqual(got, (b"", b"install interrupted, crontab unchanged\nthe edited crontab "
                               b"is kept in %s; install it with: crontab %s\n"
                               % (fifo.encode(), fifo.encode()), 1))
        self.assertEqual((read("alice"), os.path.exists(fifo)), (b"old\n", True))

    def test_edit_files_are_never_roots(self):
        # Each of its opens held up, the command is slow enough to be watched throughout.
        owner, seen = ALICE[3] + "/owner", set()
        p = subprocess.Popen(["strace", "-qq", "-o", "/dev/null", "-u", "alice", "-e",
                              "inject=openat:delay_exit=50000", SUID, "-e"],
                             env={"PATH": "/usr/bin:/bin", "EDITOR": f"stat -c %u:%g >{owner}",
                                  **h.TRACED})
        while p.poll() is None:
            for name in glob.glob("/tmp/crontab.*"):
                with contextlib.suppress(FileNotFoundError):
                    seen.add(os.stat(name).st_uid)
            time.sleep(0.005)
        self.assertEqual((p.returncode, seen), (0, {2001}))
        with open(owner) as f:
            self.assertEqual(f.read(), "2001:2001\n")
        # Killed at any moment, the command leaves only files of alice's in /tmp.
        rng = random.Random(os.environ.get("CRONTAB_TEST_SEED", "temp"))
        deadline, kept = time.monotonic() + 10, 0
        for n in range(200):
            if time.monotonic() > deadline:
                break
            p = as_alice(["-e"], env={"EDITOR": "true"}, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL)
            time.sleep(rng.uniform(0, 0.003))
            p.kill()
            p.wait()
            for name in [n for n in os.listdir("/tmp") if n.startswith("crontab.")]:
                st = os.stat("/tmp/" + name)
                self.assertEqual((st.st_uid, st.st_gid), (2001, 2001), f"run {n}")
                os.unlink("/tmp/" + name)
                kept += 1
        self.assertGreater(kept, 0)

    def test_sigint_during_edit_changes_nothing(self):
        ready = ALICE[3] + "/ready"
        editor = f"{ROOT}/interrupted-editor"
        with open(editor, "w") as f:
            f.write(f'#!/bin/sh\necho "0 0 * * * edited" > "$1"\ntouch {ready}\nexec sleep 10\n')
        os.chmod(editor, 0o755)
        for whole_group in (False, True):
            with self.subTest(whole_group=whole_group):
                put("alice", b"kept\n")
                if os.path.exists(ready):
                    os.unlink(ready)
                p = as_alice(["-e"], env={"EDITOR": editor}, process_group=0,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                for _ in range(500):
                    if os.path.exists(ready):
                        break
                    time.sleep(0.01)
                if whole_group:
                    os.killpg(p.pid, signal.SIGINT)  # as a terminal's ^C would
                else:
                    p.send_signal(signal.SIGINT)
                p.wait(timeout=20)
                try:
                    os.killpg(p.pid, signal.SIGKILL)  # the editor, when it outlived the command
                except ProcessLookupError:
                    pass
                err = p.communicate()[1]
                # Dying of the signal and reporting the editor's death are both sound.
                self.assertIn(p.returncode, (-signal.SIGINT, 1), err)
                self.assertEqual(read("alice"), b"kept\n")
                self.assertEqual(updates(), [])


class FullDisk(Case):
    def small_directory(self, free):
        """Puts a 64 KiB file system over the crontab directory with `free` bytes left."""
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k,mode=0755", "tmpfs", h.DIR],
                       check=True)
        self.addCleanup(subprocess.run, ["umount", h.DIR], check=True)
        put("alice", b"0 * * * * old\n")
        with open(h.path("filler"), "wb", buffering=0) as f:
            try:
                while f.write(b"f" * 4096):
                    pass
            except OSError:
                pass
        os.truncate(h.path("filler"), max(0, os.path.getsize(h.path("filler")) - free))

    def test_install_on_a_full_file_system(self):
        failed = f"unable to install {h.DIR}/alice: No space left on device\n".encode()
        lost = f"unable to append to {h.DIR}/cron.update\n".encode()
        # With no room at all even the notification cannot be written; with a
        # little room, the space of the removed staging file takes it.
        for free, err, names in ((0, failed + lost, []), (8192, failed, ["alice"])):
            with self.subTest(free=free):
                self.small_directory(free)
                self.check(run(["-"], stdin=crontab_text(b"3", 32 << 10)), 1, err=err)
                self.assertEqual(read("alice"), b"0 * * * * old\n")
                self.assertNotIn("alice.new", os.listdir(h.DIR))
                self.assertEqual(updates(), names)
                self.doCleanups()

    def test_short_last_write_fails(self):
        # One odd-sized read first, so that the final write straddles the end of the space.
        self.small_directory(8192)
        new = crontab_text(b"5", 8192 + 500)
        p = as_alice(["-"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        p.stdin.write(new[:500])
        p.stdin.flush()
        time.sleep(0.2)
        out, err = p.communicate(new[500:], timeout=60)
        self.assertEqual((p.returncode, out, err), (1, b"", f"unable to install {h.DIR}/alice: "
                                                    "No space left on device\n".encode()))
        self.assertEqual(read("alice"), b"0 * * * * old\n")
        self.assertNotIn("alice.new", os.listdir(h.DIR))

    def test_update_file_that_cannot_grow(self):
        os.symlink("/dev/full", h.path("cron.update"))
        self.check(run(["-"], stdin=b"stands\n"), 0,
                   err=f"unable to append to {h.DIR}/cron.update\n".encode())
        self.assertEqual(read("alice"), b"stands\n")

    def test_listing_to_a_full_device(self):
        put("alice", b"0 * * * * listed\n")
        with open("/dev/full", "wb") as full:
            p = as_alice(["-l"], stdout=full, stderr=subprocess.PIPE)
            _, err = p.communicate(timeout=60)
        self.assertEqual((p.returncode, err),
                         (1, f"unable to list {h.DIR}/alice: No space left on device\n".encode()))

    def test_edit_with_a_full_tmp(self):
        # Only this command sees a tiny /tmp; the harness's tree (and a crontab
        # directory) under it stay reachable through descriptors opened before the mount.
        keep = [ROOT] + [h.DIR] * h.DIR.startswith("/tmp/")
        script = "".join(f"exec {3 + i}<{d}\n" for i, d in enumerate(keep))
        script += "mount -t tmpfs -o size=64k,mode=1777 tmpfs /tmp || exit 99\n"
        script += "".join(f"mkdir -p {d} && mount --no-canonicalize --bind /proc/self/fd/{3 + i} "
                          f"{d} || exit 99\n" for i, d in enumerate(keep))
        script += (f"setpriv --reuid={ALICE[0]} --regid={ALICE[1]} --groups=3001,3002 "
                   f"{SUID} -e; s=$?; ls -A /tmp > {ROOT}/left; exit $s\n")
        big = crontab_text(b"4", 900 << 10)
        put("alice", big)
        p = subprocess.run(["unshare", "--mount", "--propagation", "private", "--",
                            "sh", "-c", script], capture_output=True, timeout=60,
                           env={"PATH": "/usr/bin:/bin", "EDITOR": f"touch {ALICE[3]}/ran;"})
        self.assertEqual((p.returncode, p.stdout), (1, b""), p.stderr)
        self.assertRegex(p.stderr, rb"\Aunable to write /tmp/crontab\.[A-Za-z0-9]{6}: "
                         rb"No space left on device\n\Z")
        self.assertEqual(read("alice"), big)
        self.assertEqual(updates(), [])
        self.assertFalse(os.path.exists(f"{ALICE[3]}/ran"), "the editor ran on a truncated copy")
        with open(f"{ROOT}/left") as f:
            self.assertNotIn("crontab.", f.read(), "the temporary file was left behind")


class DirectorySync(Case):
    def test_rename_is_made_durable(self):
        trace = ROOT + "/trace"
        self.check(run(["-f", "-qq", "-o", trace, "-e", "trace=openat,rename,renameat,renameat2,"
                        "fsync,exit_group", PLAIN, "-"], user=None, stdin=b"new\n",
                       binary="strace", env=h.TRACED), 0)
        with open(trace) as f:
            self.assertRegex(f.read(), r'\d+ +rename(?:at2?)?\((?:AT_FDCWD, )?"root\.new", '
                             r'(?:AT_FDCWD, )?"root"[^\n]*\) += 0\n(?:.*\n)*?'
                             r'\d+ +openat\(AT_FDCWD, "\.", [^\n]*\) = (\d+)\n(?:.*\n)*?'
                             r'\d+ +fsync\(\1\) += 0\n(?:.*\n)*?\d+ +exit_group\(0\)')
