"""Runs one group of black-box tests against the real crontab binary.

Usage: harness.py GROUP.py BINARY CRONTAB_DIR MAX_SIZE

As root, the group runs in a private mount namespace with an overlay over
/etc (holding the test users), a private /tmp and a set-user-id root copy of
the binary, which the tests run as those users. Nothing outside the
namespace is touched. Without root the group is skipped (exit 77).
"""
import importlib.util
import os
import shutil
import subprocess
import sys
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

# name: (uid, gid, supplementary gids, home, shell)
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
}
# Entries whose name is taken by an earlier one: looked up by name, they
# give the earlier entry's id. Listed by uid, since the name is not theirs.
SHADOWED = {4300: (FAKE_ROOT, 4300, HOME + "/fakeroot")}
GROUPS = {"ops": 3001, "dev": 3002}
NOBODY_UID = 2099  # a uid with no user-database record
# For runs under strace: a sanitizer build's leak check cannot work under ptrace.
TRACED = {"ASAN_OPTIONS": "detect_leaks=0"}


def sh(*cmd):
    subprocess.run(cmd, check=True)


def write_user_database():
    with open("/etc/passwd", "a") as f:
        for name, (uid, gid, _, home, shell) in USERS.items():
            f.write(f"{name}:x:{uid}:{gid}::{home}:{shell}\n")
        for uid, (name, gid, home) in SHADOWED.items():
            f.write(f"{name}:x:{uid}:{gid}::{home}:/bin/sh\n")
    with open("/etc/group", "a") as f:
        for name, (uid, gid, _, _, _) in USERS.items():
            if name != "carol2":
                f.write(f"{name}:x:{gid}:\n")
        for group, gid in GROUPS.items():
            members = [n for n, u in USERS.items() if gid in u[2]]
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
    for name, (uid, gid, _, home, _) in USERS.items():
        if home.startswith(HOME):
            os.makedirs(home, exist_ok=True)
            os.chown(home, uid, gid)


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
    # One line per group for CI to add up: tests, not subtests, whose
    # failures unittest's own summary counts one by one.
    failed = {getattr(t, "test_case", t).id() for t, _ in result.failures + result.errors}
    skipped = {getattr(t, "test_case", t).id() for t, _ in result.skipped} - failed
    print(f"harness: {name}: {result.testsRun} run, "
          f"{result.testsRun - len(failed) - len(skipped)} passed, {len(failed)} failed, "
          f"{len(skipped)} skipped", flush=True)
    sys.exit(0 if result.wasSuccessful() else 1)


# Helpers for the groups.

def as_user(user):
    """subprocess arguments that run a child as user (a name, or a bare uid)."""
    uid, gid, groups, _, _ = USERS[user] if user in USERS else (user, user, [], "/", "")
    return {"user": uid, "group": gid, "extra_groups": groups}


def start(args, user="alice", binary=SUID, **kw):
    """Starts the command as user without waiting for it."""
    kw.setdefault("env", {})
    kw["env"] = {"PATH": "/usr/bin:/bin", **kw["env"]}
    return subprocess.Popen([binary, *args], cwd=kw.pop("cwd", "/"), **as_user(user), **kw)


def run(args, user="alice", stdin=b"", env=None, binary=SUID, cwd=None, timeout=60):
    """Runs the command as user (None: root); returns (status, stdout, stderr)."""
    kw = as_user(user) if user is not None else {}
    env = {"PATH": "/usr/bin:/bin", **(env or {})}
    p = subprocess.run([binary, *args], input=stdin, capture_output=True, env=env,
                       cwd=cwd or "/", timeout=timeout, **kw)
    return p.returncode, p.stdout, p.stderr


def path(name):
    return os.path.join(DIR, name)


def read(name):
    try:
        with open(path(name), "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def put(name, data):
    with open(path(name), "wb") as f:
        f.write(data)
    os.chmod(path(name), 0o600)


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
    uid, gid, _, home, _ = USERS[user]
    p = os.path.join(home, name)
    with open(p, "wb") as f:
        f.write(data)
    os.chown(p, uid, gid)
    os.chmod(p, mode)
    return p


USAGE = (b"crontab 4.5\n"
         b"crontab file [-u user]  replace crontab from file\n"
         b"crontab -  [-u user]    replace crontab from stdin\n"
         b"crontab -l [-u user]    list crontab\n"
         b"crontab -e [-u user]    edit crontab\n"
         b"crontab -d [-u user]    delete crontab\n"
         b"crontab -c dir <opts>   specify crontab directory\n")


class Case(unittest.TestCase):
    """Starts every test from an empty crontab directory."""

    def setUp(self):
        reset()

    def check(self, result, status, out=b"", err=b""):
        self.assertEqual(result, (status, out, err))


if __name__ == "__main__":
    main()
