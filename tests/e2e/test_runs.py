"""Whole download runs of a built product: good releases served by nginx, and faults served by
a scripted server of the tests' own."""

import json
import os
import shutil
import stat
import sys
import tempfile
import time
import unittest

import harness as h
from harness import E2ETestCase, press, close, windows_of

# A name that would run commands if it ever went through a shell.
MARKED_NAME = "Velm Setup $(touch injected) `touch injected2` 'v1'.bin"


class GoodRunTests(E2ETestCase):
    """Releases served from a folder by Debian's nginx."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.product = h.product("release")

    def serve(self, files):
        """nginx serving the release: the manifest at the product's address, the files under
        /release/files/."""
        root = tempfile.mkdtemp(prefix="velm-e2e-www-")
        self.addCleanup(shutil.rmtree, root, True)
        os.chmod(root, 0o755)
        folder = os.path.join(root, "release", "files")
        os.makedirs(folder)
        for f in files:
            with open(os.path.join(folder, f.url_name), "wb") as out:
                out.write(f.data)
        manifest = h.manifest_for(files, "http://127.0.0.1:%d/release/files/" % self.product.port)
        manifest_text = json.dumps(manifest, indent=1)
        with open(os.path.join(root, self.product.manifest_path.lstrip("/")), "w") as out:
            out.write(manifest_text)
        return h.NginxServer(self, root, self.product.port), manifest_text

    def assert_files_on_disk(self, run, files):
        self.assertEqual(sorted(os.listdir(run.product_folder)), sorted(f.filename for f in files))
        for f in files:
            with open(os.path.join(run.product_folder, f.filename), "rb") as got:
                self.assertTrue(got.read() == f.data, "%s differs from the served file" % f.filename)

    def manifest_request(self):
        return "GET %s?web_installer_version=1 HTTP/1.1" % self.product.manifest_path

    def file_request(self, f):
        return "GET /release/files/%s HTTP/1.1" % f.url_name

    def test_whole_release_is_downloaded_and_the_marked_file_opened(self):
        files = h.release_files([("notes.bin", 300 * 1024, False),
                                 (MARKED_NAME, 3 * 1024 * 1024 + 17, True, "setup.bin"),
                                 ("data.pak", 1024 * 1024 + 1, False)], seed=1)
        nginx, manifest_text = self.serve(files)
        elsewhere = tempfile.mkdtemp(prefix="velm-e2e-elsewhere-")
        self.addCleanup(shutil.rmtree, elsewhere, True)
        # The command line names another folder: it is ignored.
        run, main = self.start_default_run(self.product, elsewhere, "--folder=" + elsewhere)

        self.assert_ends(run, 0, timeout=30)
        self.assert_files_on_disk(run, files)
        self.assertEqual(os.listdir(elsewhere), [])
        marked = os.path.join(run.folder, self.product.name, MARKED_NAME)
        self.assertEqual(run.wait_opened(), [marked])
        self.assertEqual(run.opened(settle=0.3), [marked], "opened once")
        # The opener, and whatever it starts, gets none of the program's own descriptors (its
        # display connection, its sockets, its event pipes).
        held = run.opener_descriptors()
        self.assertEqual([sorted(fds) for fds in held], [[0, 1, 2]], held)
        self.assertFalse(os.path.exists(os.path.join(run.folder, "injected")))
        self.assertFalse(os.path.exists(os.path.join(run.product_folder, "injected")))

        # The manifest first, then every file once, in manifest order.
        self.assertEqual(nginx.requests(),
                         [(200, self.manifest_request())] + [(200, self.file_request(f)) for f in files])
        with open(run.manifest_copy) as f:
            self.assertEqual(f.read(), manifest_text)
        self.assertEqual(run.stdout, b"")

    def test_files_already_on_disk(self):
        files = h.release_files([("first.bin", 200 * 1024, False),
                                 ("second.bin", 700 * 1024, True),
                                 ("third.bin", 1024 * 1024, False)], seed=2)
        marked = files[1]
        # (files put there beforehand, intact or with one byte changed) -> files requested
        cases = [({"first.bin": "intact", "second.bin": "intact", "third.bin": "intact"}, []),
                 ({"first.bin": "intact", "third.bin": "changed"}, ["second.bin", "third.bin"]),
                 ({"first.bin": "short"}, ["first.bin", "second.bin", "third.bin"])]
        for present, fetched in cases:
            with self.case(present=present):
                nginx, _ = self.serve(files)
                folder = tempfile.mkdtemp(prefix="velm-e2e-")
                self.addCleanup(shutil.rmtree, folder, True)
                os.mkdir(os.path.join(folder, self.product.name))
                for f in files:
                    if f.filename not in present:
                        continue
                    data = f.data
                    if present[f.filename] == "changed":
                        data = data[:100] + bytes([data[100] ^ 0xFF]) + data[101:]
                    elif present[f.filename] == "short":
                        data = data[:-1]
                    with open(os.path.join(folder, self.product.name, f.filename), "wb") as out:
                        out.write(data)

                run, main = self.start_default_run(self.product, folder=folder)
                self.assert_ends(run, 0, timeout=30)
                self.assertEqual(run.wait_opened(), [os.path.join(run.product_folder, marked.filename)])
                self.assert_files_on_disk(run, files)
                self.assertEqual([r for _, r in nginx.requests()],
                                 [self.manifest_request()] + ["GET /release/files/%s HTTP/1.1" % n for n in fetched])

    def test_release_without_a_marked_file_leaves_the_window_open(self):
        files = h.release_files([("a.bin", 400 * 1024, False), ("b.bin", 900 * 1024, False)], seed=3)
        nginx, _ = self.serve(files)
        run, main = self.start_default_run(self.product)

        h.wait_until(lambda: len(nginx.requests()) == 3, 20, "both files to be fetched")
        # The run is over when the bar is full: its far end shows the fill colour.
        bx, by, bw, bh = h.PROGRESS_BAR
        fill = h.argb(h.DEFAULT_COLOURS["pbF"])

        def bar_full():
            x, y, _, _ = h.geometry(main)
            return h.xwindows.screenshot().pixel(x + bx + bw - 8, y + by + bh // 2) == fill
        h.wait_until(bar_full, 10, "the bar to be full")
        self.assert_files_on_disk(run, files)

        time.sleep(3)
        self.assertTrue(run.running())
        self.assertEqual([w.name for w in windows_of(run)], [self.product.title])
        h.screenshot("release-done-without-marked-file")
        self.assertEqual(run.opened(), [])
        self.assertEqual(len(nginx.requests()), 3)

        close(main)
        self.assert_ends(run, 0, timeout=5)
        self.assertEqual(run.opened(settle=0.3), [])


class FaultRunTests(E2ETestCase):
    """Answers that go wrong, from a server whose every answer the test scripts."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.product = h.product("faults")

    def base_url(self):
        return "http://127.0.0.1:%d/faults/files/" % self.product.port

    def serve(self, files, routes):
        """The manifest of files; each file served intact unless routes says otherwise."""
        all_routes = {self.product.manifest_path: h.serve_json(h.manifest_for(files, self.base_url()))}
        for f in files:
            all_routes["/faults/files/" + f.url_name] = h.serve_bytes(f.data)
        all_routes.update(routes)
        return h.ScriptedServer(self, self.product.port, all_routes)

    def test_error_status_is_retried_only_when_it_is_a_server_error(self):
        files = h.release_files([("good.bin", 64 * 1024, False), ("bad.bin", 128 * 1024, True)], seed=4)
        for status, expected_requests in [(503, 3), (404, 1)]:
            with self.case(status=status):
                def refuse(server, handler, count, status=status):
                    handler.answer(status, b"<html>unavailable</html>")  # not the announced size
                server = self.serve(files, {"/faults/files/bad.bin": refuse})
                run, main = self.start_default_run(self.product)
                box = h.wait_box("Download Error ", run)
                time.sleep(1.2)  # longer than a file's retry tick: no further request comes
                self.assertEqual(server.requests_for("/faults/files/bad.bin"), expected_requests)
                self.assertEqual(server.requests_for("/faults/files/good.bin"), 1)
                self.assertEqual(sorted(w.name for w in windows_of(run)),
                                 sorted([self.product.title, "Download Error "]))
                press(box, "Return")
                self.assert_ends(run, 0, timeout=5)
                self.assertEqual(run.opened(settle=0.3), [])

    def test_corrupted_file_is_tried_three_times(self):
        files = h.release_files([("payload.bin", 256 * 1024, True)], seed=5)
        payload = files[0]
        broken = bytes(b ^ 0x5A for b in payload.data)
        # (how many answers are corrupted) -> requests, and how the run ends
        for corrupted, expected_requests in [(99, 3), (2, 3), (1, 2)]:
            with self.case(corrupted=corrupted):
                def answer(server, handler, count, corrupted=corrupted):
                    handler.answer(200, broken if count <= corrupted else payload.data)
                server = self.serve(files, {"/faults/files/payload.bin": answer})
                run, main = self.start_default_run(self.product)
                target = os.path.join(run.product_folder, payload.filename)
                if corrupted >= 3:
                    box = h.wait_box("File Corrupted (payload.bin)", run, timeout=15)
                    time.sleep(1.2)
                    self.assertEqual(sorted(w.name for w in windows_of(run)),
                                     sorted([self.product.title, "File Corrupted (payload.bin)"]))
                    press(box, "Return")
                    self.assert_ends(run, 0, timeout=5)
                    self.assertEqual(run.opened(settle=0.3), [])
                else:
                    self.assert_ends(run, 0, timeout=15)
                    self.assertEqual(run.wait_opened(), [target])
                    with open(target, "rb") as f:
                        self.assertTrue(f.read() == payload.data)
                self.assertEqual(server.requests_for("/faults/files/payload.bin"), expected_requests)

    def test_manifest_that_is_not_json(self):
        # (status, box title, what the program writes to standard output)
        cases = [(200, "JSON Error",
                  b"JSON file invalid Error Code: 200. Please try again or contact velm support for help: "
                  b"support@velm.example"),
                 (500, "Server Error", b"Server responded with error code: 500")]
        for status, title, message in cases:
            with self.case(status=status):
                def answer(server, handler, count, status=status):
                    handler.answer(status, b"<html><body>Not a manifest</body></html>", content_type="text/html")
                server = h.ScriptedServer(self, self.product.port, {self.product.manifest_path: answer})
                run, main = self.start_default_run(self.product)
                box = h.wait_box(title, run)
                self.assertEqual(sorted(w.name for w in windows_of(run)), sorted([self.product.title, title]))
                press(box, "Return")
                self.assert_ends(run, 0, timeout=5)
                self.assertEqual(run.stdout, message)
                self.assertEqual(server.log, [(self.product.manifest_path, "web_installer_version=1")])
                self.assertEqual(run.opened(settle=0.3), [])

    def test_manifest_answers_that_would_take_much_memory(self):
        # Whatever the answer, the program's peak resident memory stays modest, while a real
        # release manifest of 10,000 files is read as ever. The figures are printed; the bound is
        # checked only where no sanitizer adds memory of its own.
        limit_mib = 256
        empty_arrays = b'{"files":[' + b"[]," * 20000000 + b"[]]}"  # 60 MB
        one_number_arrays = b'{"files":[' + b"[0]," * 2000000 + b"[0]]}"  # 8 MB
        # The longest answer that is read, as one string that is no UTF-8: each byte becomes a
        # character of three bytes (0x80 is the euro sign), which the parser then copies.
        longest = 8 * 1024 * 1024
        widest_string = b'{"code":"' + b"\x80" * (longest - 11) + b'"}'
        files = [{"url": self.base_url() + "sample-%05d.wav" % i, "filename": "sample-%05d.wav" % i,
                  "filesize": 1000 + i, "checksum_sha256": "%064x" % i, "run_after_download": i == 0}
                 for i in range(10000)]
        real = json.dumps({"sku": "e2e", "buildno": 1, "version": "1.0.0", "files": files}, indent=1).encode()

        def announced(body):
            return lambda server, handler, count: handler.answer(200, body, content_type="application/json")

        def unannounced(body):
            def route(server, handler, count):
                handler.send_response(200)
                handler.send_header("Content-Type", "application/json")
                handler.send_header("Connection", "close")
                handler.end_headers()
                for start in range(0, len(body), 1 << 20):
                    if server.release.is_set():
                        return
                    handler.wfile.write(body[start:start + (1 << 20)])
            return route

        # (case, route of the manifest, title of the box, what the program writes to standard output)
        cases = [("60 MB of empty arrays, announced", announced(empty_arrays), "Download Error ", None),
                 ("60 MB of empty arrays, not announced", unannounced(empty_arrays), "Download Error ", None),
                 ("8 MB of arrays of one number", announced(one_number_arrays), "JSON Error",
                  b"JSON file invalid Error Code: 200. Please try again or contact velm support for help: "
                  b"support@velm.example"),
                 ("8 MiB in one string that widens threefold", announced(widest_string), "JSON Error", None),
                 ("a release of 10,000 files (%d bytes)" % len(real), announced(real), "Download Error ", None)]
        for label, route, title, stdout in cases:
            with self.case(answer=label):
                server = h.ScriptedServer(self, self.product.port, {self.product.manifest_path: route})
                run, main = self.start_default_run(self.product)
                box = h.wait_box(title, run, timeout=30)
                peak_mib = h.peak_memory_kib(run) / 1024
                print("peak resident memory of the program, %s: %.1f MiB" % (label, peak_mib), file=sys.stderr, flush=True)
                self.assertEqual(sorted(w.name for w in windows_of(run)), sorted([self.product.title, title]))
                press(box, "Return")
                self.assert_ends(run, 0, timeout=5)
                if stdout is not None:
                    self.assertEqual(run.stdout, stdout)
                if label.startswith("a release"):
                    # Read as ever: the first file is asked for, and the scripted server has none.
                    self.assertEqual(server.requests_for("/faults/files/sample-00000.wav"), 1)
                else:
                    self.assertFalse(os.path.exists(run.product_folder))
                if not h.SANITIZER:
                    self.assertLess(peak_mib, limit_mib)

    def test_closing_the_window_during_a_transfer(self):
        block = 32768  # what the program reads and writes at a time
        sent = 5 * block
        files = h.release_files([("big.bin", 8 * 1024 * 1024, True)], seed=6)
        big = files[0]
        server = self.serve(files, {"/faults/files/big.bin": h.serve_partly_then_hold(big.data, sent)})
        run, main = self.start_default_run(self.product)
        target = os.path.join(run.product_folder, big.filename)
        h.wait_until(lambda: os.path.exists(target) and os.path.getsize(target) == sent, 15,
                     "the first %d bytes on disk" % sent)
        time.sleep(h.SETTLE)

        close(main)
        # A stuck transfer would hold the program for its 30 s timeout: it must end long before.
        self.assert_ends(run, 0, timeout=5)
        h.screenshot("faults-after-close")  # nothing left on the screen
        self.assertEqual(h.windows(), [])
        with open(target, "rb") as f:
            kept = f.read()
        self.assertEqual(len(kept), sent)
        self.assertTrue(kept == big.data[:sent], "the partial file holds what was sent")
        self.assertEqual(run.opened(settle=0.3), [])
        self.assertEqual(server.requests_for("/faults/files/big.bin"), 1)


    def test_closing_the_window_while_the_run_waits(self):
        """A close ends the program at once while a file present on disk is checked and while the
        manifest's request or the first file's waits for its answer: what is left of any of them
        would take seconds."""
        name, huge = "huge.bin", 32 * 1024 ** 3
        file_path = "/faults/files/" + name

        def plant(run):
            # Sparse: read as fast as the system can hand out zeros, and taking no room.
            os.mkdir(run.product_folder)
            with open(os.path.join(run.product_folder, name), "wb") as f:
                f.truncate(huge)

        # (what the run waits for, what the program was found doing, the file's size, what was
        # planted, the path whose request the server holds); a file that is asked for must fit
        # on the disk.
        manifest_path = self.product.manifest_path
        cases = [("the check of a present file",
                  lambda run, server: os.path.join(run.product_folder, name) in h.open_files(run), huge, plant, None),
                 ("the answer to the manifest's request",
                  lambda run, server: server.requests_for(manifest_path) == 1, 1024, None, manifest_path),
                 ("the answer to the file's request",
                  lambda run, server: server.requests_for(file_path) == 1, 1024, None, file_path)]
        for waiting_for, busy, size, before_start, held in cases:
            with self.case(waiting_for=waiting_for):
                manifest = {"files": [{"url": self.base_url() + name, "filename": name, "filesize": size,
                                       "checksum_sha256": "0" * 64, "run_after_download": True}]}
                # No file is served: the only request that gets as far as a file's is held.
                routes = {manifest_path: h.serve_json(manifest)}
                if held is not None:
                    routes[held] = h.hold_without_answer()
                server = h.ScriptedServer(self, self.product.port, routes)
                run, main = self.start_default_run(self.product, before_start=before_start)
                h.wait_until(lambda: busy(run, server), 10, waiting_for + " to begin")
                time.sleep(h.SETTLE)

                closed_at = time.monotonic()
                close(main)
                self.assert_ends(run, 0, timeout=40)
                # The sanitizers slow the way out.
                self.assertLess(time.monotonic() - closed_at, 3.0 if h.SANITIZER else 1.0)
                self.assertEqual(run.opened(settle=0.3), [])
                self.assertEqual(server.requests_for(file_path), 1 if held == file_path else 0)


class PrivateTemporaryFolderTests(E2ETestCase):
    """Runs with no TMPDIR, whose manifest copy goes to the user's own folder, on a machine where
    another user's file of the copy's name lies in /tmp. The release is served as GoodRunTests
    serves theirs."""

    serve = GoodRunTests.serve
    assert_files_on_disk = GoodRunTests.assert_files_on_disk
    manifest_request = GoodRunTests.manifest_request
    file_request = GoodRunTests.file_request

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.product = h.product("private-temp")

    def plant_as_root(self, path):
        """root's file at path, 0644, as a copy of root's own run leaves it; removed when the test
        ends if this test made it. One that an earlier run left behind serves as well."""
        try:
            fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o644)
        except FileExistsError:
            st = os.lstat(path)
            if not (stat.S_ISREG(st.st_mode) and st.st_uid == 0):
                self.fail("%s is there already, and is no file of root's" % path)
            return
        self.addCleanup(os.unlink, path)
        with os.fdopen(fd, "w") as f:
            os.fchmod(f.fileno(), 0o644)
            f.write('{"files": []}\n')

    def test_another_users_copy_in_tmp_does_not_stop_a_run(self):
        nobody = h.user_nobody(self, "a run as another user (nobody) beside root's file")

        copy_name = self.product.name + "Downloader.json"
        planted = os.path.join("/tmp", copy_name)
        self.plant_as_root(planted)
        planted_before = os.lstat(planted)
        self.assertEqual(planted_before.st_uid, 0)
        with open(planted, "rb") as f:
            planted_text = f.read()

        # The folder that nobody's single-instance lock also uses: only the copy is this test's.
        private = "/tmp/velm-%d" % nobody.pw_uid
        copy = os.path.join(private, copy_name)
        def remove_copy():
            if os.path.lexists(copy):
                os.unlink(copy)
        self.addCleanup(remove_copy)

        files = h.release_files([("readme.bin", 200 * 1024, False),
                                 ("setup.bin", 1024 * 1024 + 5, True)], seed=7)
        nginx, manifest_text = self.serve(files)
        run, main = self.start_default_run(self.product, user="nobody", tmpdir=False)

        def boxes():
            return [w.name for w in windows_of(run) if w.name != self.product.title]
        h.wait_until(lambda: not run.running() or boxes(), 30, "the run to end")
        self.assertEqual(boxes(), [], "the run stopped at a box")
        self.assert_ends(run, 0, timeout=5)

        self.assert_files_on_disk(run, files)
        self.assertEqual(run.wait_opened(), [os.path.join(run.product_folder, "setup.bin")])
        self.assertEqual(nginx.requests(),
                         [(200, self.manifest_request())] + [(200, self.file_request(f)) for f in files])

        # The copy is nobody's, in nobody's folder that no one else may write in.
        folder = os.lstat(private)
        self.assertTrue(stat.S_ISDIR(folder.st_mode))
        self.assertEqual(folder.st_uid, nobody.pw_uid)
        self.assertEqual(folder.st_mode & 0o022, 0)
        got = os.lstat(copy)
        self.assertTrue(stat.S_ISREG(got.st_mode))
        self.assertEqual(got.st_uid, nobody.pw_uid)
        with open(copy) as f:
            self.assertEqual(f.read(), manifest_text)

        # root's file is as it was.
        def described(st):
            return st.st_ino, st.st_uid, stat.S_IMODE(st.st_mode), st.st_mtime_ns
        self.assertEqual(described(os.lstat(planted)), described(planted_before))
        with open(planted, "rb") as f:
            self.assertEqual(f.read(), planted_text)


class ProductFolderOwnerTests(E2ETestCase):
    """Runs as nobody from a program folder that every user may write in (mode 1777, as /tmp is),
    where the product folder, or a link of its name, was put in place before the run: by another
    user, by nobody itself, or by root."""

    OTHER_USER = 4242  # neither root nor nobody, and needs no account

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.product = h.product("owner")

    def test_only_a_folder_of_the_users_own_is_used(self):
        nobody = h.user_nobody(self, "a run as nobody beside another user's folder")
        self.assertNotIn(self.OTHER_USER, (0, nobody.pw_uid))

        files = h.release_files([("readme.bin", 100 * 1024, False), ("setup.bin", 300 * 1024 + 9, True)], seed=8)
        base = "http://127.0.0.1:%d/owner/files/" % self.product.port
        routes = {self.product.manifest_path: h.serve_json(h.manifest_for(files, base))}
        routes.update({"/owner/files/" + f.url_name: h.serve_bytes(f.data) for f in files})
        own_text = b"nobody's own file"

        with open("/proc/sys/fs/protected_symlinks") as f:
            links_protected = f.read().strip() == "1"

        # (what is in the product folder's place, whose it is, whose the base folder is, whether
        # the run uses it). The base folder is root's, as /tmp is, where the system follows a
        # link of root's for anyone; in another user's, a system that protects links in such
        # folders refuses to, and what the program found is then not what it would reach.
        cases = [("folder", self.OTHER_USER, 0, False), ("link", self.OTHER_USER, 0, False),
                 ("dangling link", nobody.pw_uid, 0, False),
                 ("link", nobody.pw_uid, 0, True), ("link", 0, 0, True), ("link", 0, self.OTHER_USER, False)]
        for kind, owner, base_owner, used in cases:
            with self.case(kind=kind, owner=owner, base_owner=base_owner):
                if base_owner != 0 and not links_protected:
                    h.skip_test(self, "the system follows links in folders that all may write in, whoever made them "
                                      "(fs.protected_symlinks is not 1)")
                server = h.ScriptedServer(self, self.product.port, routes)
                # The folder of nobody's own that a link names, with a file of the release's name.
                own = tempfile.mkdtemp(prefix="velm-e2e-own-", dir="/tmp")
                self.addCleanup(shutil.rmtree, own, True)
                with open(os.path.join(own, "setup.bin"), "wb") as f:
                    f.write(own_text)
                for path in (own, os.path.join(own, "setup.bin")):
                    os.chown(path, nobody.pw_uid, nobody.pw_gid)

                def plant(run, kind=kind, owner=owner, base_owner=base_owner, own=own):
                    os.chown(run.folder, base_owner, base_owner)
                    os.chmod(run.folder, 0o1777)
                    if kind == "folder":
                        os.mkdir(run.product_folder)
                        os.chmod(run.product_folder, 0o777)
                    else:
                        os.symlink(own if kind == "link" else os.path.join(own, "gone"), run.product_folder)
                    os.chown(run.product_folder, owner, owner, follow_symlinks=False)

                run, main = self.start_default_run(self.product, user="nobody", before_start=plant)
                if used:
                    self.assert_ends(run, 0, timeout=20)
                    self.assertEqual(run.wait_opened(), [os.path.join(run.product_folder, "setup.bin")])
                    for f in files:
                        with open(os.path.join(own, f.filename), "rb") as got:
                            self.assertTrue(got.read() == f.data, "%s differs from the served file" % f.filename)
                    continue

                box = h.wait_box("Permission Denied", run)
                self.assertEqual(sorted(w.name for w in windows_of(run)), sorted([self.product.title, "Permission Denied"]))
                press(box, "Return")
                self.assert_ends(run, 0, timeout=5)
                self.assertEqual(run.opened(settle=0.3), [])
                self.assertEqual([p for p, _ in server.log], [self.product.manifest_path], "no file was asked for")
                if kind == "folder":
                    self.assertEqual(os.listdir(run.product_folder), [])
                else:
                    self.assertTrue(os.readlink(run.product_folder).startswith(own))
                    self.assertEqual(os.listdir(own), ["setup.bin"])
                    with open(os.path.join(own, "setup.bin"), "rb") as f:
                        self.assertEqual(f.read(), own_text)


if __name__ == "__main__":
    unittest.main()
