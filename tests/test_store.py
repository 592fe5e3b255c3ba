"""The crontab store: list, install, delete and the update file."""
import fcntl
import os
import random
import re
import subprocess
import threading
import time

from harness import PLAIN, SUID, Case, put, read, run, updates
import harness as h


def listing_of(data):
    put("alice", data)
    return run(["-l"])


def feed(proc, data, chunk=4096, pause=0.0):
    """Writes data to proc's standard input in chunks; stops when it closes."""
    try:
        for i in range(0, len(data), chunk):
            proc.stdin.write(data[i:i + chunk])
            proc.stdin.flush()
            time.sleep(pause)
        proc.stdin.close()
    except BrokenPipeError:
        pass


def start(args, user="alice"):
    return h.start(args, user, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                   stderr=subprocess.PIPE)


class List(Case):
    def test_listing_is_the_exact_bytes(self):
        for data in (b"", b"0 * * * * date\n", b"a\0b\nc\0\0\n", b"x" * 5000,
                     bytes(range(256)) * 9, b"no newline at the end"):
            with self.subTest(data=data[:20]):
                self.check(listing_of(data), 0, data)
        self.assertEqual(updates(), [])

    def test_listing_round_trips_through_install(self):
        data = bytes(random.Random(1).randrange(256) for _ in range(3000)) + b"\0tail"
        put("alice", data)
        status, out, _ = run(["-l"])
        put("alice", b"changed\n")
        self.check(run(["-"], stdin=out), 0)
        self.assertEqual((status, read("alice")), (0, data))

    def test_missing_and_unwritable(self):
        self.check(run(["-l"]), 1, err=b"no crontab for alice\n")
        put("alice", b"x\n")
        with open("/dev/full", "wb") as full:
            p = subprocess.run([SUID, "-l"], stdout=full, stderr=subprocess.PIPE,
                               **h.as_user("alice"))
        self.assertEqual((p.returncode, p.stderr),
                         (1, f"unable to list {h.DIR}/alice: No space left on device\n".encode()))


class Install(Case):
    def test_replaces_atomically_with_owner_and_mode(self):
        put("alice", b"old\n")
        for umask, mode in ((0o022, 0o600), (0o077, 0o600), (0o277, 0o400), (0, 0o600)):
            with self.subTest(umask=oct(umask)):
                os.unlink(h.path("cron.update")) if read("cron.update") is not None else None
                p = subprocess.run([SUID, "-"], input=b"new\n", capture_output=True,
                                   **h.as_user("alice"), umask=umask)
                self.assertEqual((p.returncode, p.stdout, p.stderr), (0, b"", b""))
                st = os.stat(h.path("alice"))
                self.assertEqual((st.st_uid, st.st_gid, st.st_mode & 0o7777), (0, 2001, mode))
                st = os.stat(h.path("cron.update"))
                self.assertEqual((st.st_uid, st.st_mode & 0o777), (0, 0o644 & ~umask))
        self.assertEqual(sorted(os.listdir(h.DIR)), ["alice", "cron.update"])

    def test_empty_source_installs_empty_crontab(self):
        put("alice", b"old\n")
        self.check(run(["-"]), 0)
        self.assertEqual((read("alice"), updates()), (b"", ["alice"]))

    def test_leftover_staging_file_is_taken_over_unless_held(self):
        # Nobody holds the one an install left when it died; a running one does.
        msg = f"unable to create {h.DIR}/alice.new: File exists\n".encode()
        for held, status, err, after, left in ((False, 0, b"", b"new\n", None),
                                               (True, 1, msg, b"old\n", b"leftover\n")):
            with self.subTest(held=held):
                h.reset()
                put("alice", b"old\n")
                put("alice.new", b"leftover\n")
                with open(h.path("alice.new"), "rb") as f:
                    if held:
                        fcntl.flock(f, fcntl.LOCK_EX)
                    self.check(run(["-"], stdin=b"new\n"), status, err=err)
                self.assertEqual((read("alice"), read("alice.new")), (after, left))
                self.assertEqual(updates(), ["alice"])

    def test_crontab_that_is_a_directory_is_not_replaced(self):
        os.makedirs(h.path("alice/sub"))
        self.check(run(["-"], stdin=b"new\n"), 1,
                   err=f"unable to install {h.DIR}/alice: Is a directory\n".encode())
        self.assertEqual(sorted(os.listdir(h.DIR)), ["alice", "cron.update"])
        self.assertEqual(os.listdir(h.path("alice")), ["sub"])

    def failed(self, args, stdin, reason):
        """The install must fail with reason and leave everything as it was."""
        h.reset()
        put("alice", b"old\n")
        msg = f"unable to install {h.DIR}/alice: {reason}\n".encode()
        p = subprocess.run([SUID, *args], stdin=stdin, capture_output=True,
                           **h.as_user("alice"), timeout=60)
        self.assertEqual((p.returncode, p.stdout, p.stderr), (1, b"", msg))
        self.assertEqual(read("alice"), b"old\n")
        self.assertEqual(sorted(os.listdir(h.DIR)), ["alice", "cron.update"])
        self.assertEqual(updates(), ["alice"])

    def test_unreadable_source_changes_nothing(self):
        fd = os.open("/", os.O_RDONLY)
        self.failed(["-"], fd, "Is a directory")
        os.close(fd)

    def test_size_limit(self):
        with open("/dev/zero", "rb") as zero:
            self.failed(["-"], zero, "File too large")
        for size in (h.MAX_SIZE, h.MAX_SIZE + 1):
            with open("/tmp/.t/src", "wb") as f:
                f.write(b"#" * size)
            os.chmod("/tmp/.t/src", 0o644)
            with self.subTest(size=size), open("/tmp/.t/src", "rb") as src:
                if size > h.MAX_SIZE:
                    self.failed(["-"], src, "File too large")
                    self.failed(["/tmp/.t/src"], None, "File too large")
                else:
                    self.assertEqual(run(["/tmp/.t/src"])[0], 0)
                    self.assertEqual(read("alice"), b"#" * size)

    def test_stops_reading_at_the_limit(self):
        proc = start(["-"])
        written = [0]

        def endless():
            try:
                while written[0] < 20 * h.MAX_SIZE:
                    written[0] += proc.stdin.write(b"#" * 65536)
            except BrokenPipeError:
                pass
        t = threading.Thread(target=endless)
        t.start()
        proc.wait(timeout=60)
        t.join()
        self.assertEqual(proc.returncode, 1)
        self.assertLess(written[0], h.MAX_SIZE + 4 * 65536)


class Delete(Case):
    def test_delete(self):
        put("alice", b"x\n")
        self.check(run(["-d"]), 0)
        self.check(run(["-d"]), 0)
        self.assertEqual((read("alice"), updates()), (None, ["alice", "alice"]))

    def test_failed_delete_is_reported(self):
        os.makedirs(h.path("alice/sub"))
        self.check(run(["-d"]), 1,
                   err=f"unable to delete {h.DIR}/alice: Directory not empty\n".encode())
        self.assertEqual(updates(), ["alice"])


class Notify(Case):
    def test_lost_notification_is_reported_but_change_stands(self):
        for kind in ("full", "dir"):
            with self.subTest(kind=kind):
                h.reset()
                if kind == "full":
                    os.symlink("/dev/full", h.path("cron.update"))
                else:
                    os.mkdir(h.path("cron.update"))
                msg = f"unable to append to {h.DIR}/cron.update\n".encode()
                self.check(run(["-"], stdin=b"new\n"), 0, err=msg)
                self.assertEqual(read("alice"), b"new\n")


class Concurrency(Case):
    def test_installs_for_one_user_at_once(self):
        inputs = [(b"%02d " % i) * (1000 * (i + 1) ** 2 // 4) for i in range(12)]
        procs = [start(["-"]) for _ in inputs]
        feeders = [threading.Thread(target=feed, args=(p, d, 8192, 0.001))
                   for p, d in zip(procs, inputs)]
        for t in feeders:
            t.start()
        results = [(p.wait(timeout=120), p.stdout.read(), p.stderr.read()) for p in procs]
        for t in feeders:
            t.join()
        busy = (1, b"", f"unable to create {h.DIR}/alice.new: File exists\n".encode())
        ok = [r for r in results if r == (0, b"", b"")]
        self.assertEqual(len(ok) + results.count(busy), len(results), results)
        # Fed slowly, the installs overlap: some must have been turned away.
        self.assertGreater(len(ok), 0)
        self.assertGreater(results.count(busy), 0)
        self.assertIn(read("alice"), inputs)
        self.assertEqual(sorted(os.listdir(h.DIR)), ["alice", "cron.update"])

    def test_no_name_is_lost_to_a_consuming_scheduler(self):
        users, rounds = ["alice", "bob", "carol", "nohome"], 25
        seen, stop = [], threading.Event()

        def consume():
            while not stop.is_set():
                try:
                    fd = os.open(h.path("cron.update"), os.O_RDONLY)
                except FileNotFoundError:
                    continue
                os.unlink(h.path("cron.update"))
                with os.fdopen(fd, "rb") as f:
                    seen.extend(f.read().decode().splitlines())
        consumer = threading.Thread(target=consume)
        consumer.start()

        def install(user):
            for _ in range(rounds):
                self.assertEqual(run(["-"], user=user, stdin=b"x\n")[0], 0)
        workers = [threading.Thread(target=install, args=(u,)) for u in users]
        for t in workers:
            t.start()
        for t in workers:
            t.join()
        stop.set()
        consumer.join()
        seen.extend(updates())
        for user in users:
            self.assertGreaterEqual(seen.count(user), rounds, user)


def plain_as_root(strace_options, stdin=b"new\n", **kw):
    """The plain copy run by root on the crontab directory, replacing root's
    crontab with stdin, under strace with the given options."""
    cmd = ["strace", "-f", "-qq", *strace_options, PLAIN, "-c", h.DIR, "-"]
    return subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env={**os.environ, **h.TRACED}, **kw)


def calls_until(syscalls, line):
    """How many calls of syscalls[0] an install by root makes up to the first
    traced line matching the pattern line, that line included."""
    trace = "/tmp/.t/trace"
    plain_as_root(["-o", trace, "-e", "trace=" + ",".join(syscalls)]).communicate(b"new\n")
    h.reset()
    n = 0
    with open(trace) as f:
        for text in f:
            n += re.search(rf"\b{syscalls[0]}\(", text) is not None
            if re.search(line, text):
                return n
    raise AssertionError(f"no {line} in the trace")


class InjectedFaults(Case):
    def test_failed_sync_or_close(self):
        eio = f"unable to install {h.DIR}/root: Input/output error\n".encode()
        # The staging file's close is the last before the rename; the second
        # fsync is the directory's, after the rename.
        close = calls_until(("close", "rename"), r"\brename\(")
        for call, when, err, after in (
                ("fsync", 1, eio, b"old\n"), ("close", close, eio, b"old\n"),
                ("fsync", 2, f"unable to sync {h.DIR}: Input/output error\n".encode(), b"new\n")):
            with self.subTest(call=call, when=when):
                h.reset()
                put("root", b"old\n")
                p = plain_as_root(["-o", "/dev/null", "-e",
                                   f"inject={call}:error=EIO:when={when}"])
                self.assertEqual((*p.communicate(b"new\n"), p.returncode), (b"", err, 1))
                self.assertEqual(read("root"), after)
                self.assertEqual(sorted(os.listdir(h.DIR)), ["cron.update", "root"])

    def test_line_written_to_an_update_file_unlinked_meanwhile_is_written_again(self):
        # The line's write is held up on its way back, so that the file is
        # unlinked between the write and the check of its link count.
        when = calls_until(("write",), r'\bwrite\(\d+, "root\\n"')
        with plain_as_root(["-o", "/dev/null", "-e",
                            f"inject=write:delay_exit=1500000:when={when}"]) as p:
            p.stdin.write(b"new\n")
            p.stdin.close()
            deadline = time.monotonic() + 20
            while read("cron.update") != b"root\n" and time.monotonic() < deadline:
                time.sleep(0.01)
            with open(h.path("cron.update"), "rb") as consumed:
                os.unlink(h.path("cron.update"))
                self.assertEqual((p.wait(timeout=60), p.stdout.read(), p.stderr.read()),
                                 (0, b"", b""))
                self.assertEqual(consumed.read(), b"root\n")
        self.assertEqual((read("root"), updates()), (b"new\n", ["root"]))
