"""cmake --install into staging trees: paths, owners and modes of what lands."""
import os
import shutil
import stat
import sys

from harness import Case, put, read, run, write
import harness as h

# The harness is given the built binary; its directory is the build tree.
BUILD = os.path.dirname(os.path.abspath(sys.argv[2]))
STAGE = "/tmp/.t/stage"
KEPT = (("alice", 0o600, 0), ("cron.update", 0o644, 0), ("bob", 0o640, 2002))


class Package(Case):
    def setUp(self):
        super().setUp()
        if not os.path.isfile(os.path.join(BUILD, "cmake_install.cmake")):
            self.skipTest(f"{BUILD} is not a CMake build tree")
        shutil.rmtree(STAGE, ignore_errors=True)

    def install(self, prefix="/usr", umask=0o022):
        with open(os.path.join(BUILD, "CMakeCache.txt")) as f:
            cmake = next((line.split("=", 1)[1].strip() for line in f
                          if line.startswith("CMAKE_COMMAND:")), "cmake")
        result = run(["--install", BUILD, "--prefix", prefix], None, binary=cmake, timeout=120,
                     env=dict(os.environ, DESTDIR=STAGE), umask=umask)
        self.assertEqual(result[0], 0, f"cmake --install failed: {result}")

    def assertNode(self, p, kind, mode, uid=0, gid=0):
        st = os.lstat(p)
        self.assertTrue(kind(st.st_mode), p)
        self.assertEqual((oct(stat.S_IMODE(st.st_mode)), st.st_uid, st.st_gid),
                         (oct(mode), uid, gid), p)

    def test_fresh_tree_under_any_prefix_and_umask(self):
        # A tight umask at install time must not change what lands; the crontab
        # directory is where the scheduler reads, whatever the prefix.
        for prefix, umask in (("/usr", 0o077), ("/usr", 0o022), ("/opt/cron", 0o022)):
            with self.row(prefix=prefix, umask=oct(umask)):
                self.install(prefix, umask)
                command = STAGE + prefix + "/bin/crontab"
                self.assertNode(command, stat.S_ISREG, 0o4755)
                page = STAGE + prefix + "/share/man/man1/crontab.1"
                self.assertNode(page, stat.S_ISREG, 0o644)
                self.assertEqual(read(page), read(h.CHECKOUT + "/man/crontab.1"))
                page = STAGE + prefix + "/share/man/man5/crontab.5"
                self.assertNode(page, stat.S_ISREG, 0o644)
                self.assertEqual(read(page), read(h.CHECKOUT + "/man/crontab.5"))
                self.assertEqual(os.path.exists(STAGE + "/usr"), prefix == "/usr")
                # Not writable by group or others, so only the command changes crontabs.
                self.assertNode(STAGE + h.DIR, stat.S_ISDIR, 0o755)
                self.assertEqual(os.listdir(STAGE + h.DIR), [])
                # alice cannot read her root-owned 0600 crontab without the set-user-id
                # bit; under a tight umask she cannot reach the staged copy at all.
                if umask == 0o022:
                    put("alice", b"0 * * * * date\n")
                    self.check(run(["-l"], binary=command), 0, b"0 * * * * date\n")

    def test_reinstall_keeps_the_crontab_directory_as_it_is(self):
        crontabs = STAGE + h.DIR
        os.makedirs(crontabs, mode=0o700)
        for name, mode, owner in KEPT:
            write(os.path.join(crontabs, name), name + " stays\n", mode, owner)
        for _ in range(2):
            self.install()
        self.assertNode(crontabs, stat.S_ISDIR, 0o700)
        self.assertEqual(sorted(os.listdir(crontabs)), ["alice", "bob", "cron.update"])
        for name, mode, owner in KEPT:
            p = os.path.join(crontabs, name)
            self.assertNode(p, stat.S_ISREG, mode, owner, owner)
            self.assertEqual(read(p), name.encode() + b" stays\n", name)


class Soak(Case):
    def test_soak_leaves_the_binary_folder_as_it_is(self):
        # Bound into the soak's private /tmp, the binary's folder is still not the soak's.
        folder = "/tmp/soak-binary"
        cache = f"CRONTAB_DIR:STRING={h.DIR}\nCRONTAB_MAX_SIZE:STRING={h.MAX_SIZE}\n".encode()
        os.makedirs(folder)
        shutil.copy(h.PLAIN, folder + "/crontab")
        write(folder + "/CMakeCache.txt", cache)  # where the soak reads the build's settings
        status, out, err = run([h.CHECKOUT + "/bench/soak", "--seconds", "1", "--seed", "1",
                                "--binary", folder + "/crontab"], None, binary=sys.executable,
                               timeout=120)
        self.assertEqual((status, b"violations: 0\n" in out, folder.encode() in out.partition(
            b"\n")[2]), (0, True, False), out + err)  # named only in the soak's first line
        self.assertEqual({n: read(f"{folder}/{n}") for n in os.listdir(folder)},
                         {"CMakeCache.txt": cache, "crontab": read(h.PLAIN)})
