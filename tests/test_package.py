"""cmake --install into staging trees: paths, owners and modes of what lands."""
import os
import shutil
import stat
import subprocess
import sys

from harness import Case, put, run
import harness as h

# The harness is given the built binary; its directory is the build tree.
BUILD = os.path.dirname(os.path.abspath(sys.argv[2]))
SOURCE_PAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "man", "crontab.1")
STAGE = "/tmp/.t/stage"


def cmake_command():
    with open(os.path.join(BUILD, "CMakeCache.txt")) as f:
        for line in f:
            if line.startswith("CMAKE_COMMAND:"):
                return line.split("=", 1)[1].strip()
    return "cmake"


def install(dest, prefix="/usr", umask=0o022):
    env = dict(os.environ, DESTDIR=dest)
    p = subprocess.run([cmake_command(), "--install", BUILD, "--prefix", prefix], env=env,
                       capture_output=True, preexec_fn=lambda: os.umask(umask))
    if p.returncode != 0:
        raise AssertionError(f"cmake --install failed: {p.stdout!r} {p.stderr!r}")


class Package(Case):
    def setUp(self):
        super().setUp()
        if not os.path.isfile(os.path.join(BUILD, "cmake_install.cmake")):
            self.skipTest(f"{BUILD} is not a CMake build tree")
        shutil.rmtree(STAGE, ignore_errors=True)

    def assertNode(self, p, kind, mode, uid=0, gid=0):
        st = os.lstat(p)
        self.assertTrue(kind(st.st_mode), p)
        self.assertEqual((oct(stat.S_IMODE(st.st_mode)), st.st_uid, st.st_gid),
                         (oct(mode), uid, gid), p)

    def test_fresh_tree(self):
        # A tight umask at install time must not change what lands.
        install(STAGE, umask=0o077)
        self.assertNode(STAGE + "/usr/bin/crontab", stat.S_ISREG, 0o4755)
        page = STAGE + "/usr/share/man/man1/crontab.1"
        self.assertNode(page, stat.S_ISREG, 0o644)
        with open(page, "rb") as a, open(SOURCE_PAGE, "rb") as b:
            self.assertEqual(a.read(), b.read())
        # Not writable by group or others, so only the command changes crontabs.
        self.assertNode(STAGE + h.DIR, stat.S_ISDIR, 0o755)
        self.assertEqual(os.listdir(STAGE + h.DIR), [])

    def test_installed_copy_works_for_a_user(self):
        install(STAGE)
        put("alice", b"0 * * * * date\n")
        # alice cannot read her root-owned 0600 crontab without the set-user-id bit.
        self.check(run(["-l"], binary=STAGE + "/usr/bin/crontab"), 0, b"0 * * * * date\n")

    def test_reinstall_keeps_the_crontab_directory_as_it_is(self):
        crontabs = STAGE + h.DIR
        os.makedirs(crontabs)
        os.chmod(crontabs, 0o700)
        for name, mode, owner in (("alice", 0o600, 0), ("cron.update", 0o644, 0),
                                  ("bob", 0o640, 2002)):
            with open(os.path.join(crontabs, name), "wb") as f:
                f.write(name.encode() + b" stays\n")
            os.chmod(os.path.join(crontabs, name), mode)
            os.chown(os.path.join(crontabs, name), owner, owner)
        for _ in range(2):
            install(STAGE)
        self.assertNode(crontabs, stat.S_ISDIR, 0o700)
        self.assertEqual(sorted(os.listdir(crontabs)), ["alice", "bob", "cron.update"])
        for name, mode, owner in (("alice", 0o600, 0), ("cron.update", 0o644, 0),
                                  ("bob", 0o640, 2002)):
            with self.subTest(name=name):
                p = os.path.join(crontabs, name)
                self.assertNode(p, stat.S_ISREG, mode, owner, owner)
                with open(p, "rb") as f:
                    self.assertEqual(f.read(), name.encode() + b" stays\n")

    def test_other_prefix(self):
        install(STAGE, prefix="/opt/cron")
        self.assertNode(STAGE + "/opt/cron/bin/crontab", stat.S_ISREG, 0o4755)
        self.assertNode(STAGE + "/opt/cron/share/man/man1/crontab.1", stat.S_ISREG, 0o644)
        self.assertFalse(os.path.exists(STAGE + "/usr"))
        # The crontab directory is where the scheduler reads, whatever the prefix.
        self.assertNode(STAGE + h.DIR, stat.S_ISDIR, 0o755)
