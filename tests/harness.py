"""Runs one group of black-box tests against the real crontab binary.

Usage: harness.py GROUP.py BINARY CRONTAB_DIR MAX_SIZE

As root, the group runs in a private mount namespace with an overlay over
/etc (holding the test users), a private /tmp and a set-user-id root copy of
the binary, which the tests run as those users. Nothing outside the
namespace is touched. Without root the group is skipped (exit 77).
"""
import collections
import contextlib
import glob
import importlib.util
import os
import re
import resource
import shutil
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
HOME = ROOT + "/home"
CHECKOUT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DIR = "/etc/crontabs"
MAX_SIZE = 1048576
LONG251 = "k" * 251  # the longest name whose staging name fits uncut
LONG252 = "n" * 252
LONG255 = "l" * 255
LONG256 = "m" * 256
# Names that must not name a crontab, and a second "root" that is not root.
FAKE_ROOT = "root"
SLASHED = "../../tmp/evil"
TABBED = "tab\tuser"
DOTDOT, DELETE = "..", "del\x7fuser"

User = collections.namedtuple("User", "uid gid groups home shell")
USERS = {
    "alice": (2001, 2001, [3001, 3002], HOME + "/alice", "/bin/bash"),
    "bob": (2002, 2002, [3001], HOME + "/bob", "/bin/sh"),
    "nohome": (2003, 2003, [], "/nonexistent/nohome", "/bin/sh"),
    "carol": (2004, 2004, [], HOME + "/carol", "/bin/sh"),
    "carol2": (2004, 2004, [], HOME + "/carol", "/bin/sh"),
    LONG255: (2005, 2005, [], HOME + "/long255", "/bin/sh"),
    LONG256: (2006, 2006, [], HOME + "/long256", "/bin/sh"),
    LONG251: (2007, 2007, [], HOME + "/long251", "/bin/sh"),
    LONG252: (2008, 2008, [], HOME + "/long252", "/bin/sh"),
    SLASHED: (2009, 2009, [], HOME + "/slashed", "/bin/sh"),
    TABBED: (2010, 2010, [], HOME + "/tabbed", "/bin/sh"),
    "cron.update": (2011, 2011, [], HOME + "/update", "/bin/sh"),
    "bob.new": (2012, 2012, [], HOME + "/bobnew", "/bin/sh"),
    "dave": (2013, 2013, [], HOME + "/dave", "/bin/sh"),
    DOTDOT: (2014, 2014, [], HOME + "/dotdot", "/bin/sh"),
    DELETE: (2015, 2015, [], HOME + "/delete", "/bin/sh"),
}
USERS = {name: User(*u) for name, u in USERS.items()}
# Entries whose name is taken by an earlier one: looked up by name, they
# give the earlier entry's id. Listed by uid, since the name is not theirs.
SHADOWED = {4300: (FAKE_ROOT, 4300, HOME + "/fakeroot")}
GROUPS = {"ops": 3001, "dev": 3002}
NOBODY_UID = 2099  # a uid with no user-database record
# For runs under strace: a sanitizer build's leak check cannot work under ptrace.
TRACED = {"ASAN_OPTIONS": "detect_leaks=0"}
PIPES = {"stdin": subprocess.PIPE, "stdout": subprocess.PIPE, "stderr": subprocess.PIPE}


def sh(*cmd):
    subprocess.run(cmd, check=True, timeout=60)


def write_user_database():
    with open("/etc/passwd", "a") as f:
        for name, u in USERS.items():
            f.write(f"{name}:x:{u.uid}:{u.gid}::{u.home}:{u.shell}\n")
        for uid, (name, gid, home) in SHADOWED.items():
            f.write(f"{name}:x:{uid}:{gid}::{home}:/bin/sh\n")
    with open("/etc/group", "a") as f:
        for name, u in USERS.items():
            if name != "carol2":
                f.write(f"{name}:x:{u.gid}:\n")
        for group, gid in GROUPS.items():
            members = [n for n, u in USERS.items() if gid in u.groups]
            f.write(f"{group}:x:{gid}:{','.join(members)}\n")


def prepare_crontab_dir():
    # A tmpfs of its own, also under /etc: the machine's crontab directory,
    # seen through the overlay, may change while the tests run.
    parent = os.path.dirname(DIR)
    if DIR.startswith(("/etc/", "/tmp/")):
        os.makedirs(DIR, mode=0o755, exist_ok=True)
    if os.path.isdir(DIR):
        sh("mount", "-t", "tmpfs", "-o", "mode=0755", "tmpfs", DIR)
    else:
        print(f"skipped: crontab directory {DIR} is outside /etc and /tmp and "
              f"does not exist; the tests will not create it on the real system ({parent})")
        sys.exit(SKIP)


def enter_namespace(binary):
    with open(binary, "rb") as f:
        image = f.read()  # before /tmp is replaced, where the binary may live
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
    os.makedirs(ROOT + "/ovl/upper")
    os.makedirs(ROOT + "/ovl/work")
    sh("mount", "-t", "overlay", "overlay", "-o",
       f"lowerdir=/etc,upperdir={ROOT}/ovl/upper,workdir={ROOT}/ovl/work", "/etc")
    write_user_database()
    prepare_crontab_dir()
    os.makedirs(ROOT + "/bin")
    os.chmod(ROOT, 0o755)
    for copy, mode in ((SUID, 0o4755), (PLAIN, 0o755)):
        with open(copy, "wb") as f:
            f.write(image)
        os.chmod(copy, mode)
    for u in USERS.values():
        if u.home.startswith(HOME):
            os.makedirs(u.home, exist_ok=True)
            os.chown(u.home, u.uid, u.gid)


def main():
    global DIR, MAX_SIZE
    group, binary, DIR, MAX_SIZE = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
    name = os.path.basename(group)
    if os.geteuid() != 0:
        print(f"skipped: {name} needs root, to mount a private /etc and /tmp and to run "
              f"a set-user-id root copy of crontab as test users")
        sys.exit(SKIP)
    if os.environ.get("CRONTAB_TEST_NS") != "1":
        env = dict(os.environ, CRONTAB_TEST_NS="1")
        os.execvpe("unshare", ["unshare", "--mount", "--propagation", "private", "--",
                               sys.executable, *sys.argv], env)
    enter_namespace(os.path.abspath(binary))
    sys.modules["harness"] = sys.modules[__name__]
    loader = importlib.util.spec_from_file_location(name[:-3], group)
    module = importlib.util.module_from_spec(loader)
    loader.loader.exec_module(module)
    result = unittest.main(module=module, argv=[name], exit=False, verbosity=2).result
    sys.exit(0 if result.wasSuccessful() else 1)


# Helpers for the groups.

def as_user(user):
    """subprocess arguments that run a child as user: a name, a bare uid or a User."""
    if not isinstance(user, User):
        user = USERS[user] if user in USERS else User(user, user, [], "/", "")
    return {"user": user.uid, "group": user.gid, "extra_groups": user.groups}


def command(args, user, env, binary, cwd, kw):  # run's and start's
    if user is not None:
        kw.update(as_user(user))
    kw["env"] = {"PATH": "/usr/bin:/bin", **(env or {})}
    kw["cwd"] = cwd or "/"
    return [binary, *args], kw


def run(args, user="alice", stdin=b"", env=None, binary=SUID, cwd=None, timeout=60, **kw):
    """Runs the command as user (None: root) on stdin (bytes, a file or a
    descriptor) and returns (status, stdout, stderr). Other keywords go to
    subprocess.run; a stdout given there leaves b"" as the output."""
    kw["input" if isinstance(stdin, bytes) else "stdin"] = stdin
    kw.setdefault("stdout", subprocess.PIPE)
    argv, kw = command(args, user, env, binary, cwd, kw)
    p = subprocess.run(argv, stderr=subprocess.PIPE, timeout=timeout, **kw)
    return p.returncode, p.stdout or b"", p.stderr


STARTED = []


def start(args, user="alice", env=None, binary=SUID, cwd=None, **kw):
    """Starts the command as run would, without waiting; what a test leaves
    running is killed when it ends."""
    argv, kw = command(args, user, env, binary, cwd, kw)
    p = subprocess.Popen(argv, **kw)
    STARTED.append(p)
    return p


def reap():  # what a test left running
    while STARTED:
        p = STARTED.pop()
        if p.poll() is None:
            p.kill()
            p.wait(timeout=10)


def wait_for(ready, timeout=20, what="a condition", interval=0.005):
    """Polls until ready() gives something true and returns it; fails saying
    what it waited for (a string, or a function giving one) on timeout. A
    file that ready() finds gone meanwhile (FileNotFoundError) means not yet."""
    deadline = time.monotonic() + timeout
    while not (got := attempt(ready)):
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout} s waiting for "
                                 f"{what() if callable(what) else what}")
        time.sleep(interval)
    return got


def attempt(ready):
    try:
        return ready()
    except FileNotFoundError:
        return None


def feed(p, data, chunk=4096, pause=0.0):
    """Writes data (bytes, cut into chunks, or an iterable of chunks) to p's
    stdin from a daemon thread (a command that stops reading cannot hold the
    group up), then closes it; returns the thread, whose `written` counts the
    bytes taken."""
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
        try:
            return os.open(name, os.O_WRONLY | os.O_NONBLOCK)
        except OSError:  # ENXIO: no reader yet
            return None
    fd = wait_for(try_open, timeout, f"a reader of {name}")
    os.set_blocking(fd, True)
    return fd


def fsize_limit(size):
    """For preexec_fn: what writes past size dies of SIGXFSZ, and fills no disk."""
    return lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))


def proc(pid, name):
    with open(f"/proc/{pid}/{name}") as f:
        return f.read()


def traced(args, options, user=None, **kw):
    """run's result for the plain copy run with args under strace with options."""
    return run(["-f", "-qq", "-o", "/dev/null", *options, PLAIN, *args], user, binary="strace",
               env=TRACED, **kw)


def call_number(args, syscall, pattern, user=None, **kw):
    """Which call of syscall, counted from 1, is the first whose trace (its
    descriptors shown by path) matches pattern, the plain copy run with args."""
    trace = write(ROOT + "/trace", b"", 0o600, user and as_user(user)["user"])
    traced(args, ["-y", "-e", f"trace={syscall}", "-o", trace], user, **kw)
    with open(trace) as f:
        return next(n for n, line in enumerate(f, 1) if re.search(pattern, line))


def path(name):
    return os.path.join(DIR, name)


def read(name):
    try:
        with open(path(name), "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


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


def temps():
    """The edits' private directories in /tmp and what is in them."""
    dirs = glob.glob("/tmp/crontab.*")
    return sorted(dirs + [os.path.join(d, n) for d in dirs if os.path.isdir(d)
                          for n in os.listdir(d)])


def clear_temps():
    for d in glob.glob("/tmp/crontab.*"):
        shutil.rmtree(d)


def updates():
    """The names appended to the update file so far."""
    data = read("cron.update")
    return [] if data is None else data.decode().splitlines()


def reset():
    for entry in os.listdir(DIR):
        p = path(entry)
        if os.path.isdir(p) and not os.path.islink(p):
            shutil.rmtree(p)
        else:
            os.unlink(p)


def user_file(user, name, data, mode=0o644):
    """Creates a file in user's home directory, owned by user."""
    u = USERS[user]
    return write(os.path.join(u.home, name), data, mode, u.uid)


# The command's messages, as tests expect them.
TEMP = rb"/tmp/crontab\.[A-Za-z0-9]{6}/crontab\.[A-Za-z0-9]{6}"  # an edit's file


def cannot_install(reason, name="alice"):
    return f"unable to install {DIR}/{name}: {reason}\n".encode()


def staging_exists(name="alice"):
    return f"unable to create {DIR}/{name}.new: File exists\n".encode()


def unread(src, reason=None, verb="open"):
    """A replacement file that could not be read, and why (None: said before)."""
    why = f"unable to {verb} {src}: {reason}" if reason else ""
    return f"{why}unable to read replacement file {src}".encode()


def superuser_only(option):
    return f"{option} option: superuser only".encode()


def editor_failed(how="exited with status 1"):
    return f"editor {how}, crontab unchanged\n".encode()


def kept(before, hint=b""):
    """A pattern for the note after before (bytes) that an edit is kept; its
    group 1 is the file. hint is what comes between "crontab " and the file."""
    return (re.escape(before) + rb"the edited crontab is kept in (%s); install it with: "
            rb"crontab %s\1\n" % (TEMP, re.escape(hint)))


def lost_update():
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

    def check(self, result, status, out=b"", err=b""):
        self.assertEqual(result, (status, out, err))

    @contextlib.contextmanager
    def row(self, **params):
        """One row of a table: a sub-test named by params, from a fresh setUp."""
        with self.subTest(**params):
            self.setUp()
            yield


if __name__ == "__main__":
    main()
