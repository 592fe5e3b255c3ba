"""The allow and deny lists, and the record each run leaves in the system log."""
import contextlib
import errno
import os
import re
import socket
import time

from harness import LONG251, PLAIN, USAGE, Case, put, read, run, user_file
import harness as h

ALLOW, DENY = "/etc/cron.allow", "/etc/cron.deny"
DIRECTORY, FIFO, LINK, DANGLING = "directory", "fifo", "link", "dangling"
LINKED = "/etc/cron.linked"  # what LINK leads to: a list naming alice
INFO, WARNING = 9 * 8 + 6, 9 * 8 + 4  # LOG_CRON with LOG_INFO, LOG_WARNING
A, R = "alice (uid 2001): ", "root (uid 0): "  # how records name who ran the command
REPLACING, REPLACING_ROOTS = (w + f"replace crontab of {w.split()[0]} from standard input: "
                              for w in (A, R))
TABS = "/tmp/.t/tabs"  # a crontab directory of root's choosing


def refused(user, lst):
    return f"user '{user}' is not allowed to use crontab ({lst})\n".encode()


def unreadable(lst, why):
    return f"unable to read {lst}: {why}; only the superuser may use crontab\n".encode()


def set_lists(allow=None, deny=None):
    """Makes each list bytes, DIRECTORY, FIFO, LINK or DANGLING; None removes it."""
    h.sh("rm", "-rf", ALLOW, DENY, LINKED)
    for lst, what in ((ALLOW, allow), (DENY, deny)):
        if what in (LINK, DANGLING):
            os.symlink(LINKED, lst)
            if what == LINK:
                h.write(LINKED, b"alice\n")
        elif what in (DIRECTORY, FIFO):
            (os.mkdir if what == DIRECTORY else os.mkfifo)(lst)
        elif what is not None:
            h.write(lst, what)


class NoLists(Case):
    def setUp(self):
        super().setUp()
        set_lists()
        self.addCleanup(set_lists)


class Lists(NoLists):
    def test_who_may(self):
        big = b"alice\n" + b"#" * ((1 << 20) - 6)  # exactly the largest list read
        # (allow, deny, user (None: root), what -l says on stderr when refused)
        no_a, no_b, bad = refused("alice", ALLOW), refused("bob", ALLOW), unreadable
        for allow, deny, user, err in (
                (None, None, "alice", None), (None, None, None, None),
                (b"alice\n", None, "alice", None), (b"alice\n", None, None, None),
                (b"alice\n", None, "bob", no_b), (b"", None, "alice", no_a),
                (None, b"bob\n", "bob", refused("bob", DENY)),
                (None, b"bob\n", "alice", None), (None, b"root\n", None, None),
                (b"alice\n", b"alice\nbob\n", "alice", None), (b"alice\n", b"", "bob", no_b),
                # What is a name: blanks around, comments, empty lines, line ends.
                (b" \t\v\falice \t\f\v\n", None, "alice", None),
                (b"bob\r\nalice\r\n", None, "alice", None),
                (b"\n\n  \nbob\n\nalice", None, "alice", None),
                (b"#alice\n \t# alice\n", None, "alice", no_a),
                (b"alic\nalicex\nxalice\nali ce\nALICE\n", None, "alice", no_a),
                (None, b"bo\nbobby\nob\n# bob\n", "bob", None),
                (None, b"trail \n", "trail ", refused("trail ", DENY)),
                (LONG251.encode() + b"\r\n", None, LONG251, None),
                (LONG251.encode() + b"     more\n", None, LONG251, refused(LONG251, ALLOW)),
                # A list behind a link is read; one behind a link to nothing is not a list.
                (LINK, None, "alice", None), (LINK, None, "bob", no_b),
                (DANGLING, None, "alice", bad(ALLOW, "No such file or directory")),
                # A list that cannot be read whole shuts out all but root.
                (DIRECTORY, None, "alice", bad(ALLOW, "Is a directory")),
                (DIRECTORY, None, None, None), (big + b"#", None, None, None),
                (DIRECTORY, b"", "alice", bad(ALLOW, "Is a directory")),
                (None, DIRECTORY, "alice", bad(DENY, "Is a directory")),
                (FIFO, None, "alice", bad(ALLOW, "Invalid argument")),
                (None, FIFO, "alice", bad(DENY, "Invalid argument")), (big, None, "alice", None),
                (big + b"\n", None, "alice", bad(ALLOW, "File too large")),
                (None, big + b"#", "alice", bad(DENY, "File too large"))):
            with self.subTest(allow=allow and allow[:40], deny=deny and deny[:40], user=user):
                set_lists(allow, deny)
                err = err or h.no_crontab(user or "root")
                self.check(run(["-l"], user=user, timeout=5), 1, err=err)

    def test_refusal_comes_after_the_options_and_before_any_file_is_touched(self):
        set_lists(allow=b"bob\n")
        put("alice", b"old\n")
        secret = user_file("bob", "secret", b"bob's\n", mode=0o600)
        env = {"EDITOR": "touch /tmp/.t/edited"}
        for args in (["-l"], ["-e"], ["-d"], ["-"], [secret], ["/nonexistent"]):
            with self.subTest(args=args):
                self.check(run(args, stdin=b"new\n", env=env), 1, err=refused("alice", ALLOW))
        for args, why in (([], b"no operation given\n"), (["-l", "-e"], b"-e cannot be given with -l\n"),
                          (["-x"], b"unknown option -x\n"), (["a", "b"], b"extra operand b\n")):
            self.check(run(args), 2, USAGE, why)
        # The plain copy may take -c from alice: it never enters the directory to miss it.
        self.check(run(["-c", "/nonexistent", "-d"], binary=PLAIN), 1,
                   err=refused("alice", ALLOW))
        self.assertFalse(os.path.exists("/tmp/.t/edited"))
        self.assertEqual((h.entries(), read("alice")), (["alice"], b"old\n"))

    def test_lookups_of_the_lists(self):
        trace = h.HOME + "/lookups"
        # Each list once for an ordinary user where neither exists; never for root.
        for user, count in (("alice", 2), (None, 0)):
            h.traced(["-l"], ["-e", "trace=%file", "-o", trace], user)
            lookups = re.findall(f'.*"(?:{ALLOW}|{DENY})".*', read(trace).decode())  # lines
            self.assertEqual(len(lookups), count, lookups)
        # A list that fails midway shuts out too: the deny list naming alice.
        set_lists(deny=b"alice\n")
        when = h.call_number(["-l"], "read", f"<{DENY}>", "alice")
        self.check(h.traced(["-l"], ["-e", f"inject=read:error=EIO:when={when}"], "alice"), 1,
                   err=unreadable(DENY, h.strerror(errno.EIO)))


class SystemLog(NoLists):
    @classmethod
    def setUpClass(cls):
        # /dev is shared by every namespace here: the socket goes into an overlay only we see.
        assert os.environ.get("CRONTAB_TEST_NS") == "1"
        h.sh("mkdir", "-p", "/tmp/.t/dev/upper", "/tmp/.t/dev/work")
        h.sh("mount", "-t", "overlay", "overlay", "-o",
             "lowerdir=/dev,upperdir=/tmp/.t/dev/upper,workdir=/tmp/.t/dev/work", "/dev")
        os.environ.pop("TZ", None)  # the system's time, as the records must show it
        time.tzset()
        cls.bind()

    @classmethod
    def bind(cls, kind=socket.SOCK_DGRAM):
        if hasattr(cls, "log"):
            cls.log.close()
        h.sh("rm", "-f", "/dev/log")
        cls.log = socket.socket(socket.AF_UNIX, kind)
        cls.log.bind("/dev/log")
        cls.log.setblocking(False)
        if kind == socket.SOCK_STREAM:
            cls.log.listen()

    def logged(self, args, user="alice", stdin=b"", env=None, binary=h.SUID, traced=None):
        """run's result and the records (priority, text) of its process, or of any when traced."""
        env = {"TZ": "UTC-9", **(env or {})}
        p = (h.start(args, user, env, binary, **h.PIPES) if traced is None else
             h.traced(args, traced, user, env, binary, True, **h.PIPES))
        out, err = p.communicate(stdin, timeout=10)
        records = []
        while self.log.fileno() != -1:
            try:
                datagram = self.log.recv(65536)
            except BlockingIOError:
                break
            m = re.fullmatch(rb"<(\d+)>(\w{3} [ \d]\d \d\d:\d\d):\d\d crontab\[(\d+)\]: (.*)",
                             datagram, re.S)
            self.assertIsNotNone(m, datagram)
            self.assertIn(m[2].decode(), [time.strftime("%b %e %H:%M", time.localtime(
                time.time() - ago)) for ago in (0, 60)])
            self.assertEqual(int(m[3]), p.pid) if traced is None else None
            records.append((int(m[1]), m[4].decode()))
        return (p.returncode, out, err), records

    def test_records(self):
        src = user_file("alice", "new", b"from file\n")
        odd = user_file("alice", "a\nb\033c\\d\x7f", b"odd\n")
        too_big, no_bob = h.cannot_install("File too large"), refused("bob", ALLOW)
        gone = h.unable("delete", "alice", "Is a directory")
        ok, deletion = (0, b"", b""), A + "delete crontab of alice: "
        # (crontab before, allow list (refuses bob), args, stdin, outcome, record)
        for before, allow, args, data, outcome, record in (
                (None, None, ["-"], b"0 * * * * date\n", ok,
                 (INFO, REPLACING + "installing 15 bytes")),
                (None, None, [src], b"", ok,
                 (INFO, A + f"replace crontab of alice from file {src}: installing 10 bytes")),
                (None, None, [odd], b"", ok, (INFO, A + "replace crontab of alice from "
                 "file /tmp/.t/home/alice/a\\012b\\033c\\\\d\\177: installing 4 bytes")),
                # The editor appends what it reads: an edit that changes nothing is not a change.
                (b"#old\n", None, ["-e"], b"#e\n", (0, b"", h.installed()),
                 (INFO, A + "edit crontab of alice: installing 8 bytes")),
                (b"#old\n", None, ["-e"], b"", (0, b"", h.UNCHANGED), None),
                (b"old\n", None, ["-d"], b"", ok, (INFO, deletion + "deleting")),
                (b"old\n", None, ["-r"], b"", ok, (INFO, deletion + "deleting")),
                (None, None, ["-d"], b"", ok, (INFO, deletion + "there was nothing to delete")),
                (None, None, ["-"], b"#" * (h.MAX_SIZE + 1), (1, b"", too_big),
                 (WARNING, REPLACING + "failed: " + too_big.decode().strip())),
                (None, b"alice\n", ["-l"], b"", (1, b"", no_bob), (WARNING, "bob (uid 2002): "
                 "refused list crontab of bob: " + no_bob.decode().strip())),
                (None, None, ["-u", "bob", "-l"], b"", (1, b"", h.superuser_only("-u")),
                 (WARNING, A + "refused -u bob: -u option: superuser only")),
                (None, None, ["-c", "/tmp", "-l"], b"", (1, b"", h.superuser_only("-c")),
                 (WARNING, A + "refused -c /tmp: -c option: superuser only")),
                # A listing that goes ahead changes nothing and is not on record.
                (b"old\n", None, ["-l"], b"", (0, b"old\n", b""), None),
                (None, None, ["-l"], b"", (1, b"", h.no_crontab()), None),
                # A directory in the crontab's place is no deletion to announce; one in the
                # update file's, a lost notification that the change's record tells of.
                ("alice", None, ["-d"], b"", (1, b"", gone), (WARNING, deletion + "failed: " +
                 gone.decode().strip())),
                ("cron.update", None, ["-"], b"x\n", (0, b"", h.append_failed()), [
                    (INFO, REPLACING + "installing 2 bytes"),
                    (WARNING, REPLACING + "installed; " + h.append_failed().decode().strip())])):
            with self.row(args=args, before=before):
                set_lists(allow)
                if isinstance(before, str):
                    os.mkdir(h.path(before))
                elif before is not None:
                    put("alice", before)
                self.assertEqual(self.logged(args, "bob" if allow else "alice", data,
                                             env={"EDITOR": "cat >>"}), (outcome, record if
                                 isinstance(record, list) else [record] if record else []))
        h.reset()
        self.assertEqual(self.logged(["-d"], "dave"), (ok, [(INFO, "dave (uid 3000000013): "
                         "delete crontab of dave: there was nothing to delete")]))
        nobody = f"no user database entry for user id {h.NOBODY_UID}"
        self.assertEqual(self.logged(["-l"], h.NOBODY_UID), ((1, b"", nobody.encode() + b"\n"), [
            (WARNING, f"(uid {h.NOBODY_UID}): refused: {nobody}")]))

    def test_change_is_on_record_before_it_is_made(self):
        new = [(INFO, REPLACING + "installing 4 bytes")]
        emfile = f"unable to write to the system log: {h.strerror(errno.EMFILE)}\n".encode() + \
            h.cannot_install(h.strerror(errno.EMFILE), "root")
        prlimited = lambda lim, *args: ("alice", "prlimit", [lim, h.SUID, *args], None)  # noqa
        stack, fork = f"--stack={h.STACK}", "fork: Resource temporarily unavailable"
        regain = "unable to regain the command's identity"
        gone = h.unable("delete", "root", h.strerror(errno.EIO)).decode()
        injected = lambda inject, arg: (None, PLAIN, [arg], ["-e", "inject=" + inject])  # noqa
        short = f"unable to write to the system log: {h.strerror(errno.EMSGSIZE)}\n".encode() + \
            h.cannot_install(h.strerror(errno.EMSGSIZE), "root")
        unsynced = h.unsynced(h.strerror(errno.EIO), "root")
        os.makedirs(TABS, exist_ok=True)
        # ((user, binary, arguments, strace options), outcome, records, crontab after/entries left)
        for (user, binary, args, traced), outcome, records, after in (
                (prlimited(stack, "-"), (0, b"", b""), new, b"new\n"),
                (prlimited(stack, "-u", "root", "-l"), (1, b"", h.superuser_only("-u")),
                 [(WARNING, A + "refused -u root: -u option: superuser only")], b"old\n"),
                (prlimited("--nofile=5", "-"), (0, b"", b""), new, b"new\n"),
                # No socket for the record: the change is not made.
                (injected("socket:error=EMFILE", "-"), (1, b"", emfile), [], b"old\n"),
                # Killed at the directory's sync, after the rename.
                (injected("fsync:signal=SIGKILL:when=2", "-"), (-9, b"", b""),
                 [(INFO, REPLACING_ROOTS + "installing 4 bytes")], b"new\n"),
                # Its sync failed, the change stands, and its record says so.
                (injected("fsync:error=EIO:when=2", "-"), (1, b"", unsynced), [(INFO, REPLACING_ROOTS
                 + "installing 4 bytes"), (WARNING, REPLACING_ROOTS + "failed: " + unsynced.decode()
                 .strip())], b"new\n"),
                (("alice", h.SUID, ["-"], None), (1, b"", h.cannot_install("Is a directory")), new +
                 [(WARNING, REPLACING + f"failed: unable to install {h.DIR}/alice: Is a directory")],
                 ["alice", "cron.update", "sub"]),
                # The unlink of the crontab fails after its record.
                (injected("unlink,unlinkat:error=EIO:when=1", "-d"), (1, b"", gone.encode()), [
                    (INFO, R + "delete crontab of root: deleting"),
                    (WARNING, R + "delete crontab of root: failed: " + gone.strip())], b"old\n"),
                # Elsewhere than in the default directory, the record names it.
                ((None, h.SUID, ["-c", TABS, "-"], None), (0, b"", b""), [(INFO, R + "replace "
                 f"crontab of root in {TABS} from standard input: installing 4 bytes")], b"old\n"),
                # A record sent in part is not on record.
                (injected("sendto:retval=1", "-"), (1, b"", short), [], b"old\n"),
                (injected("clone,clone3,fork,vfork:error=EAGAIN", "-e"),
                 (1, b"", fork.encode() + b"\n"),
                 [(WARNING, R + "edit crontab of root: failed: " + fork)], b"old\n"),
                # The command's own file ids not regained after the edit's files are made.
                (injected("setfsuid:retval=1:when=4", "-e"), (1, b"", regain.encode() + b"\n"),
                 [(WARNING, R + "edit crontab of root: failed: " + regain)], b"old\n")):
            with self.row(args=args, traced=traced):
                if h.EMULATED and stack in args:
                    self.skipTest("under an emulator, which needs more stack than the limit")
                if h.EMULATED and traced and "clone" in traced[1]:
                    self.skipTest("under an emulator, whose own threads take the injected failure")
                taken = isinstance(after, list)  # a directory in the crontab's place
                os.makedirs(h.path("alice/sub")) if taken else put(user or "root", b"old\n")
                self.assertEqual(self.logged(args, user, b"new\n", {"EDITOR": "true", **h.TRACED},
                                             binary, traced), (outcome, records))
                left = h.entries() + os.listdir(h.path("alice")) if taken else read(user or "root")
                self.assertEqual((left, [e for e in h.entries() if ".new" in e]), (after, []))

    def test_a_logger_that_takes_nothing_holds_nothing_up(self):
        # Its queue full, the change waits for its records once, a bounded time, then is not
        # made; an interrupt still ends the wait, the staging file ours again while it lasts.
        self.addCleanup(self.bind)
        with contextlib.suppress(BlockingIOError):
            while self.log.sendto(b"x", "/dev/log"):
                pass
        put("alice", b"old\n")
        eagain = h.strerror(errno.EAGAIN)
        began = time.monotonic()
        self.check(run(["-"], stdin=b"new\n", timeout=10), 1, err=b"unable to write to the "
                   b"system log: %s\n%s" % (eagain.encode(), h.cannot_install(eagain)))
        self.assertLess(time.monotonic() - began, 3)
        for args, said in ((["-d"], b"delete interrupted, crontab unchanged\n"),
                           (["-"], h.INTERRUPTED)):
            p = h.start(args, **h.PIPES)
            p.stdin.close()
            h.wait_for(lambda: h.proc(p.pid, "syscall").startswith("44 "), 5, "the record's send")
            p.terminate()
            self.check(h.finished(p, 5), 1, err=said)
            self.assertEqual((read("alice"), h.entries()), (b"old\n", ["alice", "cron.update"]))

    def test_stream_logger(self):
        # Each record goes in a connection of its own, ended by a NUL.
        self.addCleanup(self.bind)
        self.bind(socket.SOCK_STREAM)
        self.check(run(["-d"]), 0)
        self.assertRegex(self.log.accept()[0].recv(4096), rb"\A<%d>.{15} crontab\[\d+\]: %sdelete "
                         rb"crontab of alice: there was nothing to delete\0\Z"
                         % (INFO, re.escape(A.encode())))

    def test_without_a_logger_nothing_else_changes(self):
        rows = ((["-"], "alice", b"x\n"), (["-d"], "alice", b""), (["-l"], "bob", b""),
                (["-u", "bob", "-l"], "alice", b""))
        seen = []
        self.addCleanup(self.bind)
        set_lists(deny=b"bob\n")
        for logger in ("listening", "stale socket", "no socket"):
            if logger == "stale socket":
                self.log.close()
            elif logger == "no socket":
                os.unlink("/dev/log")
            h.reset()
            for args, user, data in rows:
                began = time.monotonic()
                seen.append(self.logged(args, user, data)[0])
                self.assertLess(time.monotonic() - began, 0.5, (logger, args))
        self.assertEqual(seen, seen[:len(rows)] * 3)  # each run as when the logger listens
