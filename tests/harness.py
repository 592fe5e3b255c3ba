"""harness.py GROUP.py BINARY CRONTAB_DIR MAX_SIZE [TEST...]: runs a group of tests (or those
named, as Class.test_name) against the binary, as root in a private mount namespace (an overlay
over /etc holding the test users, a private /tmp, a set-user-id root copy of the binary run as
those users); without root, or when every test skips, skips (77)."""
import collections
import contextlib
import errno
import glob
import importlib
import os
import re
import resource
import shutil
import struct
import subprocess
import sys
import threading
import time
import unittest

sys.dont_write_bytecode = True  # no __pycache__ in the checkout

SKIP = 77
ROOT = "/tmp/.t"
SUID = ROOT + "/bin/crontab"
PLAIN = ROOT + "/bin/crontab-plain"
HOMES = ROOT + "/home"  # the test users' homes
CHECKOUT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DIR = "/etc/crontabs"
MAX_SIZE = 1048576
LONG251 = "k" * 251  # the longest name whose staging name fits uncut
LONG252 = "n" * 252
LONG255 = "l" * 255
LONG256 = "m" * 256
# Names that must not name a crontab.
SLASHED = "../../tmp/evil"
TABBED = "tab\tuser"
DOTDOT, DEL_NAMED = "..", "del\x7fuser"

User = collections.namedtuple("User", "uid gid groups home shell")
USERS = {
    "alice": (2001, 2001, [3001, 3002], HOMES + "/alice", "/bin/bash"),
    "bob": (2002, 2002, [3001], HOMES + "/bob", "/bin/sh"),
    "nohome": (2003, 2003, [], "/nonexistent/nohome", "/bin/sh"),
    "carol": (2004, 2004, [], HOMES + "/carol", "/bin/sh"),
    "carol2": (2004, 2004, [], HOMES + "/carol", "/bin/sh"),
    LONG255: (2005, 2005, [], HOMES + "/long255", "/bin/sh"),
    LONG256: (2006, 2006, [], HOMES + "/long256", "/bin/sh"),
    LONG251: (2007, 2007, [], HOMES + "/long251", "/bin/sh"),
    LONG252: (2008, 2008, [], HOMES + "/long252", "/bin/sh"),
    SLASHED: (2009, 2009, [], HOMES + "/slashed", "/bin/sh"),
    TABBED: (2010, 2010, [], HOMES + "/tabbed", "/bin/sh"),
    "cron.update": (2011, 2011, [], HOMES + "/update", "/bin/sh"),
    "bob.new": (2012, 2012, [], HOMES + "/bobnew", "/bin/sh"),
    "dave": (3000000013, 2013, [], HOMES + "/dave", "/bin/sh"),  # past the largest int
    "trail ": (2014, 2014, [], HOMES + "/trail", "/bin/sh"),  # a blank is part of the name
    DOTDOT: (2016, 2016, [], HOMES + "/dotdot", "/bin/sh"),
    DEL_NAMED: (2015, 2015, [], HOMES + "/delete", "/bin/sh"),
}
USERS = {name: User(*u) for name, u in USERS.items()}
HOME = USERS["alice"].home  # of the user most tests run as
# Entries whose name is taken by an earlier one: looked up by name, they give the earlier
# entry's id. Listed by uid, since the name is not theirs: a second "root" that is not root.
SHADOWED = {4300: ("root", 4300, HOMES + "/fakeroot")}
GROUPS = {"ops": 3001, "dev": 3002}
NOBODY_UID = 2099  # a uid with no user-database record
# For runs under strace: a sanitizer build's leak check cannot work under ptrace.
TRACED = {"ASAN_OPTIONS": "detect_leaks=0"}
PIPES = {"stdin": subprocess.PIPE, "stdout": subprocess.PIPE, "stderr": subprocess.PIPE}


def sh(*cmd):
    subprocess.run(cmd, check=True, timeout=60)


def enter_namespace(binary, image):  # image: read before /tmp, where it may live, is replaced
    # A checkout or build under /tmp stays reachable at its own path inside
    # the private /tmp, so that the groups and the build tree can be loaded.
    keep = [p for p in (CHECKOUT, os.path.dirname(binary)) if p.startswith("/tmp/")]
    held = [(p, os.open(p, os.O_PATH)) for p in keep]
    sh("mount", "-t", "tmpfs", "-o", "mode=1777", "tmpfs", "/tmp")
    for p, fd in held:
        if not os.path.exists(p):
            os.makedirs(p)
            sh("mount", "--no-canonicalize", "--bind", f"/proc/{os.getpid()}/fd/{fd}", p)
        os.close(fd)
    sh("mkdir", "-p", ROOT + "/ovl/upper", ROOT + "/ovl/work")
    sh("mount", "-t", "overlay", "overlay", "-o",
       f"lowerdir=/etc,upperdir={ROOT}/ovl/upper,workdir={ROOT}/ovl/work", "/etc")
    with open("/etc/passwd", "a") as passwd, open("/etc/group", "a") as group:
        for name, u in USERS.items():
            passwd.write(f"{name}:x:{u.uid}:{u.gid}::{u.home}:{u.shell}\n")
            if name != "carol2":
                group.write(f"{name}:x:{u.gid}:\n")
        for uid, (name, gid, home) in SHADOWED.items():
            passwd.write(f"{name}:x:{uid}:{gid}::{home}:/bin/sh\n")
        for name, gid in GROUPS.items():
            members = [n for n, u in USERS.items() if gid in u.groups]
            group.write(f"{name}:x:{gid}:{','.join(members)}\n")
    # A tmpfs of its own, also under /etc: the machine's crontab directory,
    # seen through the overlay, may change while the tests run.
    if DIR.startswith(("/etc/", "/tmp/")):
        os.makedirs(DIR, mode=0o755, exist_ok=True)
    if not os.path.isdir(DIR):
        print(f"skipped: crontab directory {DIR} is outside /etc and /tmp and does not exist; "
              f"the tests will not create it on the real system ({os.path.dirname(DIR)})")
        sys.exit(SKIP)
    sh("mount", "-t", "tmpfs", "-o", "mode=0755", "tmpfs", DIR)
    os.makedirs(ROOT + "/bin")
    os.chmod(ROOT, 0o755)
    write(SUID, image, 0o4755)
    write(PLAIN, image, 0o755)
    for u in USERS.values():
        if u.home.startswith(HOMES):
            os.makedirs(u.home, exist_ok=True)
            os.chown(u.home, u.uid, u.gid)


# musl words a few errors otherwise than glibc, whose words Python's are.
MUSL_WORDS = {0: "No error information", errno.EIO: "I/O error", errno.EBUSY: "Resource busy",
              errno.ELOOP: "Symbolic link loop", errno.ENAMETOOLONG: "Filename too long",
              errno.EMFILE: "No file descriptors available", errno.EMSGSIZE: "Message too large"}
# What CMake tells of the build (tests/CMakeLists.txt); run by hand, the default build.
BUILD = {k: os.environ.get(f"CRONTAB_TEST_{k.upper()}", v) for k, v in
         (("libc", "glibc"), ("bits", "64"), ("static", "0"), ("emulated", "0"), ("sanitize", "0"))}
MUSL = BUILD["libc"] == "musl"
EMULATED = BUILD["emulated"] == "1"  # run through binfmt_misc by qemu-user
# A stack limit, in bytes, that changes must be recorded under; a sanitizer's runtime alone
# needs more than the command must do with.
STACK = 65536 if BUILD["sanitize"] == "1" else 16384


def strerror(code):
    """An error's text as the binary under test prints it."""
    return MUSL_WORDS[code] if MUSL and code in MUSL_WORDS else os.strerror(code)


def segments(image):
    """The ELF image's program headers, 32- or 64-bit, either byte order: (type, address,
    size in memory) each."""
    wide, order = image[4] == 2, "<" if image[5] == 1 else ">"
    (phoff,) = struct.unpack_from(order + "QI"[not wide], image, 32 if wide else 28)
    size, count = struct.unpack_from(order + "HH", image, 54 if wide else 42)
    header = order + ("I12xQ16xQ" if wide else "I4xI8xI")
    return [struct.unpack_from(header, image, phoff + i * size) for i in range(count)]


def native(why):
    """Skips a test under an emulator, where it cannot mean anything, saying why."""
    return unittest.skipIf(EMULATED, f"under an emulator {why}")


def main():
    global DIR, MAX_SIZE
    group, binary, DIR, MAX_SIZE = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
    with open(binary, "rb") as f:
        image = f.read()
    if image[4] != {"32": 1, "64": 2}[BUILD["bits"]]:
        sys.exit(f"harness: {binary} is no {BUILD['bits']}-bit ELF program, as CMake says it is")
    name = os.path.basename(group)
    if os.geteuid() != 0:
        print(f"skipped: {name} needs root, to mount a private /etc and /tmp and to run "
              f"a set-user-id root copy of crontab as test users")
        sys.exit(SKIP)
    if os.environ.get("CRONTAB_TEST_NS") != "1":
        os.execvpe("unshare", ["unshare", "--mount", "--propagation", "private", "--",
                               sys.executable, *sys.argv], dict(os.environ, CRONTAB_TEST_NS="1"))
    enter_namespace(os.path.abspath(binary), image)
    sys.modules["harness"] = sys.modules[__name__]
    sys.path.insert(0, os.path.dirname(os.path.abspath(group)))
    module = importlib.import_module(name[:-3])
    result = unittest.main(module=module, argv=[name, *sys.argv[5:]], exit=False,
                           verbosity=2).result
    # One line per group for CI to add up: tests, not subtests, whose
    # failures unittest's own summary counts one by one.
    failed = {getattr(t, "test_case", t).id() for t, _ in result.failures + result.errors}
    skipped = {getattr(t, "test_case", t).id() for t, _ in result.skipped} - failed
    print(f"harness: {name}: {result.testsRun} run, "
          f"{result.testsRun - len(failed) - len(skipped)} passed, {len(failed)} failed, "
          f"{len(skipped)} skipped", flush=True)
    sys.exit(1 if not result.wasSuccessful() else SKIP if len(skipped) == result.testsRun else 0)


# Helpers for the groups.

def command(args, user, env, binary, cwd, kw):  # run's and start's; user: a name, uid or User
    if user is not None:
        if not isinstance(user, User):
            user = USERS[user] if user in USERS else User(user, user, [], "/", "")
        kw.update(user=user.uid, group=user.gid, extra_groups=user.groups)
    kw.update(env={"PATH": "/usr/bin:/bin", **(env or {})}, cwd=cwd or "/")
    return [binary, *args], kw


def run(args, user="alice", stdin=b"", env=None, binary=SUID, cwd=None, timeout=60, **kw):
    """(status, stdout, stderr) of the command as user (None: root) on stdin (bytes, a file
    or a descriptor). Other keywords go to subprocess.run; a stdout there leaves b"" out."""
    kw["input" if isinstance(stdin, bytes) else "stdin"] = stdin
    kw.setdefault("stdout", subprocess.PIPE)
    argv, kw = command(args, user, env, binary, cwd, kw)
    p = subprocess.run(argv, stderr=subprocess.PIPE, timeout=timeout, **kw)
    return p.returncode, p.stdout or b"", p.stderr


STARTED = []


def start(args, user="alice", env=None, binary=SUID, cwd=None, **kw):
    """Starts the command as run would; what a test leaves running is killed at its end."""
    argv, kw = command(args, user, env, binary, cwd, kw)
    STARTED.append(subprocess.Popen(argv, **kw))
    return STARTED[-1]


def finished(p, timeout=60):
    """(status, stdout, stderr) once start's process ends; stdin stays open: a feeder may write."""
    return p.wait(timeout=timeout), p.stdout.read(), p.stderr.read()


def under_way(data, user="alice"):
    """An install of data from a pipe by user (None: root), and its pid, once strace has
    stopped it at the sync of its staging file, filled: it goes on when sent SIGCONT."""
    trace = write(ROOT + "/under_way", b"", 0o600)
    p = traced(["-"], ["-u", user or "root", "-o", trace, "-e", "trace=fsync", "-e",
                       "inject=fsync:signal=SIGSTOP:when=1"], binary=SUID, started=True, **PIPES)
    p.stdin.write(data)
    p.stdin.close()
    wait_for(lambda: b"stopped by SIGSTOP" in read(trace), 20, "the install to stop")
    return p, tracee(p)


def reap():  # what a test left running
    while STARTED:
        if (p := STARTED.pop()).poll() is None:
            p.kill()
            p.wait(timeout=10)


def wait_for(ready, timeout=20, what="a condition", interval=0.005):
    """ready()'s first true value, polled; on timeout fails saying what (a string, or a
    function giving one) it waited for. A FileNotFoundError in ready() means not yet."""
    deadline = time.monotonic() + timeout
    while not (got := attempt(ready)):
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout} s waiting for "
                                 f"{what() if callable(what) else what}")
        time.sleep(interval)
    return got


def attempt(ready):
    with contextlib.suppress(FileNotFoundError):
        return ready()


def feed(p, data, chunk=4096, pause=0.0):
    """Writes data (bytes, cut into chunks, or chunks) to p's stdin from a daemon thread (a
    command that stops reading cannot hold the group up), then closes it; returns the
    thread, whose `written` counts the bytes taken."""
    chunks = [data[i:i + chunk] for i in range(0, len(data), chunk)] \
        if isinstance(data, bytes) else data

    def write():
        with contextlib.suppress(BrokenPipeError, ValueError):
            for chunk in chunks:
                t.written += p.stdin.write(chunk)
                p.stdin.flush()
                time.sleep(pause)
        with contextlib.suppress(OSError):
            p.stdin.close()
    t = threading.Thread(target=write, daemon=True)
    t.written = 0
    t.start()
    return t


def open_fifo(name, timeout=20):
    """Opens a FIFO for writing once a reader has it open, within timeout."""
    def try_open():
        with contextlib.suppress(OSError):  # ENXIO: no reader yet
            return os.open(name, os.O_WRONLY | os.O_NONBLOCK)
    fd = wait_for(try_open, timeout, f"a reader of {name}")
    os.set_blocking(fd, True)
    return fd


def fsize_limit(size):
    """For preexec_fn: what writes past size dies of SIGXFSZ, and fills no disk."""
    return lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))


def lifts(capped=False):
    """Whether the set-user-id run may raise a hard limit: CAP_SYS_RESOURCE bounds it."""
    return not capped and int(re.search(r"CapBnd:\s*(\w+)", proc("self", "status"))[1], 16) >> 24 & 1


def limited(fsize, args, user="alice", capped=False, **kw):
    """run's result for args under the file-size limit fsize (prlimit's form); capped, the
    set-user-id run lacks CAP_SYS_RESOURCE, as in a container, and cannot raise a hard limit."""
    if not capped:
        return run([f"--fsize={fsize}", SUID, *args], user, binary="prlimit", **kw)
    u = USERS[user]
    return run(["--bounding-set=-sys_resource", f"--reuid={u.uid}", f"--regid={u.gid}",
                "--clear-groups", "prlimit", f"--fsize={fsize}", SUID, *args], None,
               binary="setpriv", **kw)


def proc(pid, name):
    with open(f"/proc/{pid}/{name}") as f:
        return f.read()


def traced(args, options, user=None, env=None, binary=PLAIN, started=False, **kw):
    """run's result (start's process, started) for binary run with args under strace -f with
    options, whose -u runs it as another user."""
    return (start if started else run)(["-f", "-qq", "-o", "/dev/null", *options, binary, *args],
                                       user, env={**TRACED, **(env or {})}, binary="strace", **kw)


def tracee(p):
    """The pid of the command that traced's strace, started as p, runs: strace's child once it
    is no longer strace, which may start it through a child of its own."""
    def found():
        for child in proc(p.pid, f"task/{p.pid}/children").split():
            if attempt(lambda: proc(child, "comm")) not in (None, "strace\n"):
                return int(child)
    return wait_for(found, 20, "the tracee")


def call_number(args, syscall, pattern, user=None, nth=1, **kw):
    """Which call of its own system call (of those syscall lists), counted from 1 as strace's
    when= counts, is the nth (-1: the last) whose trace (its descriptors shown by path)
    matches pattern, the plain copy run with args."""
    trace = write(ROOT + "/trace", b"", 0o600, user and USERS[user].uid)
    traced(args, ["-y", "-e", f"trace={syscall}", "-o", trace], user, **kw)
    seen, found = collections.Counter(), []
    with open(trace) as f:
        for line in f:
            if call := re.match(r"\d+ +(\w+)\(", line):
                seen[call[1]] += 1
                if re.search(pattern, line):
                    found.append(seen[call[1]])
    return found[nth - (nth > 0)]


def path(name):
    return os.path.join(DIR, name)


def read(name):  # in the crontab directory, or an absolute path; None: there is none
    with contextlib.suppress(FileNotFoundError), open(path(name), "rb") as f:
        return f.read()


def write(name, data, mode=0o644, owner=None):
    """Creates name holding data (str or bytes), owned by uid and gid owner or root."""
    with open(name, "wb") as f:
        f.write(data.encode() if isinstance(data, str) else data)
    os.chmod(name, mode)
    if owner is not None:
        os.chown(name, owner, owner)
    return name


def put(name, data):
    write(path(name), data, 0o600)


def entries():
    return sorted(os.listdir(DIR))


def temps():  # the edits' private directories in /tmp and what is in them
    dirs = glob.glob("/tmp/crontab.*")
    return sorted(dirs + [os.path.join(d, n) for d in dirs if os.path.isdir(d)
                          for n in os.listdir(d)])


def clear_temps():
    for d in glob.glob("/tmp/crontab.*"):
        shutil.rmtree(d)


def updates():  # the names appended to the update file so far
    return (read("cron.update") or b"").decode().splitlines()


def reset():
    for name in map(path, os.listdir(DIR)):
        shutil.rmtree(name) if os.path.isdir(name) and not os.path.islink(name) else os.unlink(name)


def user_file(user, name, data, mode=0o644):
    """Creates a file in user's home directory, owned by user."""
    u = USERS[user]
    return write(os.path.join(u.home, name), data, mode, u.uid)


# The command's messages, as tests expect them.
TEMP = rb"/tmp/crontab\.[A-Za-z0-9]{6}/crontab\.[A-Za-z0-9]{6}"  # an edit's file


def unable(verb, name, reason):  # name: in the crontab directory
    return f"unable to {verb} {DIR}/{name}: {reason}\n".encode()


# What follows an error that the command's lack of root's rights explains.
NOT_ROOT = " (crontab is not running set-user-id root)"


def cannot_install(reason, name="alice"):
    return unable("install", name, reason)


def unsynced(reason, name="alice"):  # the crontab directory's sync after the rename failed
    return (f"unable to sync {DIR}: {reason}; crontab of {name} installed and the scheduler "
            "told, but it may not survive a crash\n").encode()


def staging_exists(name="alice"):
    return unable("create", name + ".new", "File exists")


def no_crontab(name="alice"):
    return f"no crontab for {name}\n".encode()


def unread(src, reason=None, verb="open"):
    """A replacement file that could not be read, and why (None: said before)."""
    why = f"unable to {verb} {src}: {reason}" if reason else ""
    return f"{why}unable to read replacement file {src}\n".encode()


def superuser_only(option):
    return f"{option} option: superuser only\n".encode()


UNCHANGED = b"no changes made to crontab\n"


def installed(name="alice"):  # what an edit that went in says
    return f"crontab of {name} installed\n".encode()


def changed_meanwhile(name="alice"):
    return f"{DIR}/{name} changed during the edit; not installed\n".encode()


def editor_failed(how="exited with status 1"):
    return f"editor {how}, crontab unchanged\n".encode()


def kept_note(before, hint=b""):
    """A pattern for the note after before (bytes) that an edit is kept; its
    group 1 is the file. hint is what comes between "crontab " and the file."""
    return (re.escape(before) + rb"the edited crontab is kept in (%s); install it with: "
            rb"crontab %s\1\n" % (TEMP, re.escape(hint)))


def append_failed():
    return f"unable to append to {DIR}/cron.update\n".encode()


INTERRUPTED = b"install interrupted, crontab unchanged\n"


USAGE = (b"crontab 4.5\n"
         b"crontab file [-u user]  replace crontab from file\n"
         b"crontab -  [-u user]    replace crontab from stdin\n"
         b"crontab -l [-u user]    list crontab\n"
         b"crontab -e [-u user]    edit crontab\n"
         b"crontab -d [-u user]    delete crontab\n"
         b"crontab -c dir <opts>   specify crontab directory\n")


class Case(unittest.TestCase):
    """Starts every test, and every row, from an empty crontab directory."""

    def setUp(self):
        reset()
        self.addCleanup(reap)

    def check(self, result, status, out=b"", err=b"", **after):
        """That result is (status, out, err), and each of after what it is given: a crontab
        (None: there is none), "updates" the update file's names, "entries" the directory's."""
        got = {n: updates() if n == "updates" else entries() if n == "entries" else read(n)
               for n in after}
        self.assertEqual((result, got), ((status, out, err), after))

    def matched(self, result, status, err, out=b"", **after):
        """check's, with err a pattern that stderr must match whole; gives the match."""
        match = re.fullmatch(err, result[2])
        self.check(result, status, out, match[0] if match else re.compile(err), **after)
        return match

    @contextlib.contextmanager
    def row(self, **params):
        """One row of a table: a sub-test named by params, from a fresh setUp."""
        with self.subTest(**params):
            self.setUp()
            yield


if __name__ == "__main__":
    main()
