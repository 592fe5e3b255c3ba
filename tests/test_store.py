"""The crontab store: list, install, delete and the update file."""
import errno
import fcntl
import os
import random
import signal
import subprocess
import threading

from harness import PIPES, Case, cannot_install, entries, put, read, run, unable, updates
import harness as h


class List(Case):
    def test_listed_and_installed_byte_for_byte(self):
        noise = bytes(random.Random(1).randrange(256) for _ in range(3000)) + b"\0tail"
        for data in (b"", b"0 * * * * date\n", b"a\0b\nc\0\0\n", b"x" * 5000,
                     bytes(range(256)) * 9, b"no newline at the end", noise):
            with self.row(data=data[:20]):
                put("alice", data)
                self.check(run(["-l"]), 0, data, updates=[])
                # What is listed goes back in as it was: from standard input, also after
                # "--", or from a file, standard input then left alone.
                listed = h.user_file("alice", "listed", data)
                for source, stdin in ((["-"], data), (["--", "-"], data), ([listed], b"stdin\n")):
                    put("alice", b"changed\n")
                    self.check(run(source, stdin=stdin), 0, alice=data)
                self.assertEqual(updates(), ["alice"] * 3)
        # Dated past 2038, as any other: listed, edited, replaced from a file so dated.
        late, data = 2209032000, b"0 * * * * date\n"  # 2040-01-01
        with self.row(dated=2040):
            listed = h.user_file("alice", "listed", data)
            for args, env, err, after in ((["-l"], {}, b"", data),
                                          (["-e"], {"EDITOR": "echo 1 \\* \\* \\* \\* w >>"},
                                           h.installed(), data + b"1 * * * * w\n"),
                                          ([listed], {}, b"", data)):
                put("alice", b"old\n" if args == [listed] else data)
                for name in (h.path("alice"), listed):
                    os.utime(name, (late, late))
                self.check(run(args, env=env), 0, data if args == ["-l"] else b"", err, alice=after)

    def test_missing_and_unwritable(self):
        self.check(run(["-l"]), 1, err=h.no_crontab())
        # Only a crontab that is not there is "no crontab": clients take that for an empty one.
        put("alice", b"x\n")
        self.check(run(["-l"], binary=h.PLAIN), 1,
                   err=unable("read", "alice", "Permission denied" + h.NOT_ROOT))
        # Opened by openat on every C library, which some use for nothing else.
        when = h.call_number(["-l", "-u", "alice"], "openat", '"alice"')
        self.check(h.traced(["-l", "-u", "alice"], ["-e", f"inject=openat:error=EIO:when={when}"]),
                   1, err=unable("read", "alice", h.strerror(errno.EIO)))
        with open("/dev/full", "wb") as full:
            self.check(run(["-l"], stdout=full), 1, err=unable("list", "alice",
                                                              "No space left on device"))
        os.unlink(h.path("alice"))
        os.mkdir(h.path("alice"))
        self.check(run(["-l"]), 1, err=unable("read", "alice", "Is a directory"))
        put("root", b"x\n")
        when = h.call_number(["-l"], "read", f"<{h.DIR}/root>")
        self.check(h.traced(["-l"], ["-e", f"inject=read:error=EIO:when={when}"]), 1,
                   err=unable("read", "root", h.strerror(errno.EIO)))
        # Root's own files are not the user's crontab through a link.
        os.rmdir(h.path("alice"))
        os.symlink(h.write(h.ROOT + "/secret", b"secret\n", 0o600), h.path("alice"))
        self.check(run(["-l"]), 1, err=unable("read", "alice", h.strerror(errno.ELOOP)))
        self.check(run(["-e"], env={"EDITOR": "true"}), 1,
                   err=unable("read", "alice", h.strerror(errno.ELOOP)))


class Install(Case):
    def test_replaces_atomically_with_owner_and_mode(self):
        # Both root's, 0600 less what the caller's umask takes away.
        for umask in (0o022, 0o077, 0o277, 0):
            with self.row(umask=oct(umask)):
                put("alice", b"old\n")
                self.check(run(["-"], stdin=b"new\n", umask=umask), 0)
                owners = [(st.st_uid, st.st_gid, st.st_mode & 0o7777)
                          for st in (os.stat(h.path(n)) for n in ("alice", "cron.update"))]
                self.assertEqual(owners, [(0, 0, 0o600 & ~umask)] * 2)
                self.assertEqual(entries(), ["alice", "cron.update"])

    def test_leftover_staging_file_is_taken_over_unless_held(self):
        # Nobody holds the one an install left when it died; a running one does.
        for held, status, err, after, left in ((False, 0, b"", b"new\n", None),
                                               (True, 1, h.staging_exists(), b"old\n",
                                                b"leftover\n")):
            with self.row(held=held):
                put("alice", b"old\n")
                put("alice.new", b"leftover\n")
                with open(h.path("alice.new"), "rb") as f:
                    if held:
                        fcntl.flock(f, fcntl.LOCK_EX)
                    self.check(run(["-"], stdin=b"new\n"), status, err=err, alice=after,
                               updates=["alice"], **{"alice.new": left})

    def test_failed_installs_change_nothing(self):
        src = h.write("/tmp/.t/src", b"#" * (h.MAX_SIZE + 1))
        largest = h.write("/tmp/.t/largest", b"#" * h.MAX_SIZE)
        # Standard input is a file opened for reading, or a pipe fed without end.
        for args, source in ((["-"], "/"), (["-"], "/dev/zero"), (["/dev/zero"], "/dev/null"),
                             (["-"], "endless"), (["-"], src), ([src], "/dev/null")):
            with self.row(args=args, source=source):
                put("alice", b"old\n")
                if source == "endless":
                    p = h.start(args, preexec_fn=h.fsize_limit(64 << 20), **PIPES)
                    feeder = h.feed(p, iter(lambda: b"#" * 65536, None))
                    result = h.finished(p)
                    feeder.join(timeout=60)
                    self.assertLess(feeder.written, h.MAX_SIZE + 4 * 65536)
                else:
                    stdin = os.open(source, os.O_RDONLY)
                    result = run(args, stdin=stdin, preexec_fn=h.fsize_limit(64 << 20))
                    os.close(stdin)
                # An input that fails is read before anything is staged; too large, it is staged.
                staged = source != "/"
                self.check(result, 1, err=cannot_install("File too large" if staged else
                                                         "Is a directory"), alice=b"old\n",
                           entries=["alice", "cron.update"][:1 + staged], updates=["alice"] * staged)
        self.check(run([largest]), 0, alice=b"#" * h.MAX_SIZE)
        # In large blocks: a full-size crontab in a few dozen reads, not hundreds.
        with open(largest, "rb") as f:
            self.assertLess(h.call_number(["-"], "read", r'largest>, "", \d+\) += 0', stdin=f),
                            h.MAX_SIZE // 16384 + 20)


class Delete(Case):
    def test_delete_and_its_failure(self):
        for opt in ("-d", "-r"):
            with self.row(opt=opt):
                put("alice", b"x\n")
                self.check(run([opt]), 0)
                self.check(run([opt]), 0, alice=None, updates=["alice", "alice"])
                os.mkdir(h.path("alice"))  # empty, and still no crontab to remove
                self.check(run([opt]), 1, err=unable("delete", "alice", "Is a directory"))
                # Off a terminal nothing is kept.
                self.assertEqual((os.path.isdir(h.path("alice")), updates(), h.temps()),
                                 (True, ["alice"] * 3, []))


class Notify(Case):
    def test_lost_notification_is_reported_but_change_stands(self):
        target = h.write(h.ROOT + "/target", b"")  # a link is not followed, to file or device
        for kind in ("/dev/full", target, "dir"):
            with self.row(kind=kind):
                if kind == "dir":
                    os.mkdir(h.path("cron.update"))
                else:
                    os.symlink(kind, h.path("cron.update"))
                self.check(run(["-"], stdin=b"new\n"), 0, err=h.append_failed())
                self.assertEqual((read("alice"), open(target, "rb").read()), (b"new\n", b""))


    def test_nobody_else_holds_up_the_update_file(self):
        h.write(h.path("cron.update"), b"", 0o644)  # as an older command left it
        holder = h.start(["-c", f"exec 3<{h.path('cron.update')}; flock 3; echo; exec sleep 60"],
                         binary="/bin/sh", stdout=subprocess.PIPE)  # alice's lock, one process
        self.assertEqual(holder.stdout.readline(), b"\n")
        # Nor does a lock held by anyone else, even where the limit stays.
        for capped in (False, True):
            self.check(h.limited("10000000:10000000", ["-"], "bob", capped, stdin=b"bob's\n",
                                 timeout=5), 0)
        self.assertEqual((read("bob"), os.stat(h.path("cron.update")).st_mode & 0o777,
                          run(["-c", f"exec <{h.path('cron.update')}"], binary="/bin/sh")[0]),
                         (b"bob's\n", 0o600, 2))
        self.assertEqual(updates(), ["bob"] * 2)


class Concurrency(Case):
    def test_installs_for_one_user_at_once(self):
        inputs = [(b"%02d " % i) * (1000 * (i + 1) ** 2 // 4) for i in range(12)]
        # While one holds the staging file, the others, all at once, are turned away.
        held, pid = h.under_way(inputs[0])
        procs = [h.start(["-"], **PIPES) for _ in inputs[1:]]
        feeders = [h.feed(p, d, 8192, 0.001) for p, d in zip(procs, inputs[1:])]
        results = [h.finished(p, 120) for p in procs]
        for t in feeders:
            t.join(timeout=60)
        os.kill(pid, signal.SIGCONT)
        self.assertEqual((h.finished(held, 20), results),
                         ((0, b"", b""), [(1, b"", h.staging_exists())] * len(procs)))
        self.assertEqual((read("alice"), entries()), (inputs[0], ["alice", "cron.update"]))

    def test_no_name_is_lost_to_a_consuming_scheduler(self):
        users, rounds = ["alice", "bob", "carol", "nohome"], 25
        seen, stop = [], threading.Event()

        def consume():
            while not stop.is_set():
                if update := h.attempt(lambda: open(h.path("cron.update"), "rb")):
                    os.unlink(h.path("cron.update"))
                    with update:
                        seen.extend(update.read().decode().splitlines())
        consumer = threading.Thread(target=consume)
        consumer.start()
        loop = f"for i in $(seq {rounds}); do echo x | {h.SUID} - || exit; done"
        workers = [h.start(["-c", loop], user=user, binary="/bin/sh") for user in users]
        self.assertEqual([p.wait(timeout=300) for p in workers], [0] * len(users))
        stop.set()
        consumer.join(timeout=60)
        seen.extend(updates())
        for user in users:
            self.assertGreaterEqual(seen.count(user), rounds, user)


def plain_as_root(*injects, args=("-",)):  # root's crontab replaced from stdin, faults injected
    options = [o for inject in injects for o in ("-e", f"inject={inject}")]
    return h.traced(["-c", h.DIR, *args], options, started=True, **PIPES)


def calls_until(syscall, line, nth=1):  # h.call_number for an install of root's, undone after
    n = h.call_number(["-c", h.DIR, "-"], syscall, line, nth=nth, stdin=b"new\n")
    h.reset()
    return n


class InjectedFaults(Case):
    def test_failed_sync_or_close(self):
        eio = cannot_install(h.strerror(errno.EIO), "root")
        unsynced = h.unsynced(h.strerror(errno.EIO), "root")
        unremoved = f"unable to remove {h.DIR}/root.new: {h.strerror(errno.EIO)}\n".encode()
        # The staging file is closed, and its close checked, before the
        # rename; the second fsync is the directory's, after the rename.
        close = calls_until("close", r"/root\.new>\)")
        update = calls_until("close", r"/cron\.update>\)")
        # Neither the lock nor the look at the name before the rename can be had: the
        # staging file, ours, goes.
        look = calls_until("newfstatat,lstat,statx", r'"root\.new"', 2)
        unlocked = unable("create", "root.new", h.strerror(errno.EIO))
        fail = lambda call, when=1: f"{call}:error=EIO:when={when}"  # noqa: E731
        # (faults, status, stderr, the crontab after)
        for injects, status, err, after in (
                ([fail("fsync")], 1, eio, b"old\n"), ([fail("close", close)], 1, eio, b"old\n"),
                ([fail("fsync", 2)], 1, unsynced, b"new\n"), ([fail("flock")], 1, unlocked, b"old\n"),
                ([fail("newfstatat,lstat,statx", look)], 1, eio, b"old\n"),
                ([fail("fsync"), fail("unlink,unlinkat")], 1, unremoved + eio, b"old\n"),
                ([fail("close", update)], 0, h.append_failed(), b"new\n")):
            with self.row(injects=injects):
                put("root", b"old\n")
                p = plain_as_root(*injects)
                self.assertEqual((*p.communicate(b"new\n", 60), p.returncode), (b"", err, status))
                left = ["cron.update", "root"] + ["root.new"] * (unremoved in err)
                self.assertEqual((read("root"), entries()), (after, left))

    def test_line_written_to_an_update_file_unlinked_meanwhile_is_written_again(self):
        # The line's write is held up on its way back, so that the file is
        # unlinked between the write and the check of its link count.
        when = calls_until("write", r', "root\\n"')
        p = plain_as_root(f"write:delay_exit=1500000:when={when}")
        h.feed(p, b"new\n")
        h.wait_for(lambda: read("cron.update") == b"root\n", 20, "root's line")
        with open(h.path("cron.update"), "rb") as consumed:
            os.unlink(h.path("cron.update"))
            self.check(h.finished(p), 0, root=b"new\n", updates=["root"])
            self.assertEqual(consumed.read(), b"root\n")

    def test_takeover_that_loses_the_race_touches_nothing(self):
        # A's lock is held up: B takes A's fresh staging file for a dead one's.
        a = plain_as_root("flock:delay_enter=1500000:when=1")
        a.stdin.close()
        ino = lambda: os.stat(h.path("root.new")).st_ino  # noqa: E731
        first = h.wait_for(ino, 20, "A's staging file")
        b, pid = h.under_way(b"0 * * * * B\n", None)
        h.wait_for(lambda: ino() != first, 20, "B to take the name over")
        self.check(h.finished(a, 20), 1, err=h.staging_exists("root"))
        self.check(run(["-"], user=None), 1, err=h.staging_exists("root"))
        os.kill(pid, signal.SIGCONT)
        self.assertEqual(h.finished(b, 20), (0, b"", b""))
        self.assertEqual((read("root"), entries()), (b"0 * * * * B\n", ["cron.update", "root"]))

    def test_held_up_on_the_way_in_or_out(self):
        # On its way in, the staging file is still held, also while a failed one's name is
        # removed: a second install is turned away. On its way out, the crontab is in place, or
        # gone: a late signal must not undo or deny it.
        eio = cannot_install(h.strerror(errno.EIO), "root")
        # (faults, arguments, what is held up, then its status and stderr, the crontab after)
        rename = "rename,renameat,renameat2"
        for injects, args, held, status, err, after in (
                ([f"{rename}:delay_enter=1000000"], "-", "root.new", 0, b"", b"new\n"),
                (["fsync:error=EIO:when=1", "unlink,unlinkat:delay_enter=1000000:when=1"], "-",
                 "root.new", 1, eio, b"old\n"),
                ([f"{rename}:delay_exit=1000000"], "-", "root", 0, b"", b"new\n"),
                (["unlink,unlinkat:delay_exit=1000000:when=1"], "-d", "root", 0, b"", None)):
            with self.row(injects=injects):
                put("root", b"old\n")
                p = plain_as_root(*injects, args=[args])
                h.feed(p, b"new\n")
                h.wait_for(lambda: read(held) == (b"new\n" if args == "-" else None))
                pid = h.tracee(p)
                fd = f"/proc/{pid}/fd/"
                if held == "root.new":  # the staging file closed, its lock kept
                    h.wait_for(lambda: [os.readlink(fd + n) for n in os.listdir(fd)].count(
                        h.path("root.new")) < 2)
                    self.check(run(["-"], None, stdin=b"second\n"), 1, err=h.staging_exists("root"))
                    self.check(run(["-d"], None), 1, err=h.staging_exists("root"))  # nor a delete
                else:
                    os.kill(pid, signal.SIGTERM)
                self.check(h.finished(p), status, err=err, root=after,
                           entries=["cron.update"] + ["root"] * (after is not None))
