"""Whole runs of a built product while something fails underneath it: a server that stalls,
resets, loops on redirects, sends more than it announced or without end, or answers with server
errors, a manifest that lists sizes no file can have, a disk that fills up or turns read-only in
mid-run, a link planted where the manifest copy goes, and a run killed in mid-transfer and started
again.

Every run answers the first question with "Default", so the product folder is
<run folder>/<product name>. Each case checks the same things of the run: it shows exactly the one
box expected and no other window but its main window (or none, when it completes), the box's button
ends it with exit code 0, what was verified before the fault stays as served, and nothing is
written outside the product folder and the manifest copy.
"""

import json
import os
import shutil
import signal
import tempfile
import threading
import time
import unittest

import harness as h
from harness import E2ETestCase, press

BLOCK = 32768  # what the program reads and writes at a time

# Longer than the program's download timeout (30 s) with room for the box to come up.
STALL_TIMEOUT = 50.0


class Watched:
    """One run of the product, started from a folder whose contents were taken stock of, with its
    TMPDIR, just before the program started; windows records every window of the run from the
    first question on."""

    def __init__(self, run, main, question, windows, folder_before, tmp_before):
        self.run, self.main, self.question, self.windows = run, main, question, windows
        self.folder_before, self.tmp_before = folder_before, tmp_before

    def expected_windows(self, *others):
        return sorted([(self.main.id, self.main.name), (self.question.id, self.question.name), *others])


class FaultCase(E2ETestCase):
    """What the fault cases share: a release of random files served by a scripted server, and
    the checks that every run must pass."""

    key = None
    tls = None  # an ssl.SSLContext: the server speaks https

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.product = h.product(cls.key)

    def file_path(self, f):
        return "/%s/files/%s" % (self.key, f.url_name)

    def serve(self, files, routes=None, manifest=None):
        """The manifest of files at the product's address, each file served intact unless routes
        (by path) says otherwise. Returns the server and the manifest's text."""
        manifest = manifest or h.manifest_for(files, "http://127.0.0.1:%d/%s/files/" % (self.product.port, self.key))
        text = json.dumps(manifest).encode()
        all_routes = {self.product.manifest_path:
                      lambda server, handler, count: handler.answer(200, text, content_type="application/json")}
        for f in files:
            all_routes[self.file_path(f)] = h.serve_bytes(f.data)
        all_routes.update(routes or {})
        return h.ScriptedServer(self, self.product.port, all_routes, tls=self.tls), text

    def start_watched(self, folder=None, before_start=None, question_timeout=5.0, **run_options):
        """A run answered with "Default"; before the program starts, before_start(run) may put
        things in place, and then the run folder and TMPDIR are taken stock of. run_options go
        to the ProgramRun."""
        if folder is None:
            folder = tempfile.mkdtemp(prefix="velm-e2e-")
            self.addCleanup(shutil.rmtree, folder, True)
        stock = {}

        def prepare(run):
            if before_start is not None:
                before_start(run)
            stock["folder"] = h.tree_snapshot(run.folder)
            stock["tmp"] = h.tree_snapshot(run.tmpdir)

        run, main, question = self.start_to_first_box(self.product, folder=folder, before_start=prepare, **run_options)
        log = h.WindowLog(run)
        log.look()
        press(question, "Return", log)
        log.wait_until(lambda: all(w.id != question.id for w in h.windows()), question_timeout,
                       "the answered question to close")
        return Watched(run, main, question, log, stock["folder"], stock["tmp"])

    #----------------------------------------------------------------------------------------------
    # The checks of every run

    def assert_one_box(self, w, title, label, timeout=h.START_TIMEOUT):
        """The run shows the box titled title and, while it stays up for longer than a file's
        timer tick, no other window but the main window; its button then ends the run with 0."""
        box = w.windows.wait_window(title, timeout)
        w.windows.watch(1.5)
        h.screenshot("faults-" + label)
        expected = w.expected_windows((box.id, title))
        self.assertEqual(sorted(w.windows.seen), expected, "the windows that the run showed")
        press(box, "Return", w.windows)
        self.assertEqual(w.windows.wait_exit(5.0), 0)
        self.assertEqual(sorted(w.windows.seen), expected, "the windows that the run showed until it ended")
        self.assertEqual(w.windows.most_at_once, 2, "the main window and one box at a time")
        self.assertEqual(w.run.opened(settle=0.3), [])

    def assert_completes(self, w, marked, timeout=20.0):
        """The run ends by itself with 0, having shown no box, and opens the marked file."""
        self.assertEqual(w.windows.wait_exit(timeout), 0)
        self.assertEqual(sorted(w.windows.seen), w.expected_windows(), "no box but the first question")
        self.assertEqual(w.windows.most_at_once, 2)
        target = os.path.join(w.run.product_folder, marked.filename)
        self.assertEqual(w.run.wait_opened(), [target])
        self.assertEqual(w.run.opened(settle=0.3), [target], "opened once")

    def assert_only_product_folder_and_manifest_copy_written(self, w, files, allowed=()):
        """Nothing changed in the run folder outside the product folder (and the test's own
        allowed paths), nor in TMPDIR beside the manifest copy, which, when there, is a file of
        its own; and the product folder holds no file but the release's."""
        if os.path.isdir(w.run.product_folder):
            self.assertLessEqual(set(os.listdir(w.run.product_folder)), {f.filename for f in files})
        folder_after = h.tree_snapshot(w.run.folder)
        tmp_after = h.tree_snapshot(w.run.tmpdir)
        self.assertEqual(h.snapshot_changes(w.folder_before, folder_after, (self.product.name, *allowed)), [],
                         "written in the run folder outside the product folder")
        copy_name = os.path.basename(w.run.manifest_copy)
        self.assertEqual(h.snapshot_changes(w.tmp_before, tmp_after, (copy_name,)), [],
                         "written in TMPDIR beside the manifest copy")
        if copy_name in tmp_after:
            self.assertEqual(tmp_after[copy_name].kind, "file")

    def assert_intact(self, w, f):
        with open(os.path.join(w.run.product_folder, f.filename), "rb") as got:
            self.assertTrue(got.read() == f.data, "%s differs from what was served" % f.filename)

    def assert_prefix(self, w, f, at_most):
        """What is on disk of f, if anything, is the beginning of what was served, and no more
        than at_most bytes of it. Returns its size (-1 when there is no file)."""
        path = os.path.join(w.run.product_folder, f.filename)
        if not os.path.exists(path):
            return -1
        self.assertFalse(os.path.islink(path))
        with open(path, "rb") as got:
            kept = got.read()
        self.assertLessEqual(len(kept), at_most)
        self.assertTrue(kept == f.data[:len(kept)], "the partial %s holds what was served" % f.filename)
        return len(kept)

    def release(self, seed, second_size=512 * 1024):
        """A verified file first, then the file that the fault hits, which is marked to be run."""
        return h.release_files([("first.bin", 256 * 1024 + 3, False), ("second.bin", second_size, True)], seed)


class StallRunTests(FaultCase):
    """Servers that go silent: each case lasts the program's 30 s download timeout."""

    key = "stalls"

    def test_no_status_line(self):
        files = self.release(seed=10)
        first, second = files
        for target in ("manifest", "file"):
            with self.case(target=target):
                if target == "manifest":
                    server, _ = self.serve([], {self.product.manifest_path: h.hold_without_answer()})
                    # The manifest is requested on the message thread, which waits for the
                    # answer's headers: the answered question stays on the screen until then.
                    w = self.start_watched(question_timeout=STALL_TIMEOUT)
                else:
                    server, _ = self.serve(files, {self.file_path(second): h.hold_without_answer()})
                    w = self.start_watched()
                self.assert_one_box(w, "Connection Error ", "no-status-line-" + target, timeout=STALL_TIMEOUT)
                self.assert_only_product_folder_and_manifest_copy_written(w, files)
                if target == "manifest":
                    # Nothing arrived to read: no product folder, and no request but the one.
                    self.assertFalse(os.path.exists(w.run.product_folder))
                    self.assertEqual(server.log, [(self.product.manifest_path, "web_installer_version=1")])
                    self.assertEqual(w.run.stdout, b"")
                    copy = w.run.manifest_copy
                    self.assertTrue(not os.path.exists(copy) or os.path.getsize(copy) == 0)
                else:
                    # A file that never answers is a connection error: not tried again.
                    self.assert_intact(w, first)
                    self.assertIn(self.assert_prefix(w, second, 0), (-1, 0))
                    self.assertEqual([p for p, _ in server.log],
                                     [self.product.manifest_path, self.file_path(first), self.file_path(second)])

    def test_silence_in_mid_body(self):
        files = self.release(seed=11, second_size=1024 * 1024)
        first, second = files
        half = len(second.data) // 2
        server, _ = self.serve(files, {self.file_path(second): h.serve_partly_then_hold(second.data, half)})
        w = self.start_watched()
        self.assert_one_box(w, "Download Error ", "silence-in-mid-body", timeout=STALL_TIMEOUT)
        self.assert_only_product_folder_and_manifest_copy_written(w, files)
        self.assert_intact(w, first)
        self.assertEqual(self.assert_prefix(w, second, half), half)
        # The answer was a 200: a transfer that broke off is not tried again.
        self.assertEqual(server.requests_for(self.file_path(second)), 1)
        self.assertEqual(server.requests_for(self.file_path(first)), 1)


class BreakdownRunTests(FaultCase):
    """Transfers that break, answers that mislead, and a disk that lets the program down."""

    key = "breakdowns"

    def test_connection_reset_in_mid_body(self):
        files = self.release(seed=20, second_size=1024 * 1024)
        first, second = files
        sent = 8 * BLOCK
        server, _ = self.serve(files, {self.file_path(second): h.serve_partly_then_reset(second.data, sent)})
        w = self.start_watched()
        self.assert_one_box(w, "Download Error ", "reset-in-mid-body")
        self.assert_only_product_folder_and_manifest_copy_written(w, files)
        self.assert_intact(w, first)
        self.assertGreaterEqual(self.assert_prefix(w, second, sent), 0)
        self.assertEqual(server.requests_for(self.file_path(second)), 1, "a 200 that broke off: not tried again")

    def test_redirect_loop(self):
        files = self.release(seed=21)
        first, second = files
        loop = "/%s/loop/" % self.key
        manifest = h.manifest_for(files, "http://127.0.0.1:%d/%s/files/" % (self.product.port, self.key))
        manifest["files"][1]["url"] = "http://127.0.0.1:%d%sa" % (self.product.port, loop)
        server, _ = self.serve(files, {loop + "a": h.redirect_to(loop + "b"), loop + "b": h.redirect_to(loop + "a")},
                               manifest=manifest)
        w = self.start_watched()
        # The transfer gives up after five redirects; the last answer, a 302 without the file's
        # length, is refused, and a 302 is not tried again.
        self.assert_one_box(w, "Download Error ", "redirect-loop")
        self.assert_only_product_folder_and_manifest_copy_written(w, files)
        self.assert_intact(w, first)
        self.assertIn(self.assert_prefix(w, second, 0), (-1, 0))
        self.assertEqual([p for p, _ in server.log],
                         [self.product.manifest_path, self.file_path(first)] + [loop + "a", loop + "b"] * 3)

    def test_redirect_to_a_port_where_nothing_listens(self):
        files = self.release(seed=23)
        first, second = files
        nowhere = "http://127.0.0.1:%d" % h.unanswered_port(self)
        for target in ("manifest", "file"):
            with self.case(target=target):
                path = self.product.manifest_path if target == "manifest" else self.file_path(second)
                server, _ = self.serve(files, {path: h.redirect_to(nowhere + path)})
                w = self.start_watched()
                # The redirect is no answer: its target gave none.
                self.assert_one_box(w, "Connection Error ", "redirect-to-nowhere-" + target)
                self.assert_only_product_folder_and_manifest_copy_written(w, files)
                if target == "manifest":
                    self.assertFalse(os.path.exists(w.run.product_folder))
                    self.assertEqual(server.log, [(self.product.manifest_path, "web_installer_version=1")])
                    self.assertEqual(w.run.stdout, b"")
                else:
                    # A file that cannot be fetched is not tried again.
                    self.assert_intact(w, first)
                    self.assertIn(self.assert_prefix(w, second, 0), (-1, 0))
                    self.assertEqual([p for p, _ in server.log],
                                     [self.product.manifest_path, self.file_path(first), self.file_path(second)])

    def test_body_longer_than_announced(self):
        files = self.release(seed=22, second_size=300 * 1024 + 5)
        first, second = files
        excess = b"not part of the file" * 1000
        for hold in (False, True):
            with self.case(connection_held_open=hold):
                server, _ = self.serve(files, {self.file_path(second): h.serve_with_excess(second.data, excess, hold)})
                w = self.start_watched()
                # Held open, the connection would keep a run that waits for its end for 30 s.
                self.assert_completes(w, second, timeout=15.0)
                self.assert_only_product_folder_and_manifest_copy_written(w, files)
                self.assertEqual(os.path.getsize(os.path.join(w.run.product_folder, second.filename)),
                                 len(second.data))
                self.assert_intact(w, first)
                self.assert_intact(w, second)
                self.assertEqual(server.requests_for(self.file_path(second)), 1)

    def test_endless_body_for_a_size_of_minus_one(self):
        files = self.release(seed=28)
        second = files[1]
        manifest = h.manifest_for(files, "http://127.0.0.1:%d/%s/files/" % (self.product.port, self.key))
        # An answer without a length announces -1, which this size matches.
        manifest["files"][1]["filesize"] = -1
        closed = threading.Event()
        server, _ = self.serve(files, {self.file_path(second): h.serve_endlessly(closed)}, manifest=manifest)
        w = self.start_watched()
        self.assert_one_box(w, "Download Error ", "endless-body")
        self.assert_only_product_folder_and_manifest_copy_written(w, files)
        self.assertEqual(os.path.getsize(os.path.join(w.run.product_folder, second.filename)), 0)
        self.assertTrue(closed.wait(5.0), "the program closed the endless transfer")

    def test_server_error_for_every_request(self):
        files = self.release(seed=23)
        first, second = files
        # (status, what the answer announces: a short body, no length at all, or the file's own
        # length) -> the box
        cases = [(500, "short", "Download Error "),
                 (599, "none", "Download Error "),
                 (503, "file size", "File Corrupted (second.bin)")]
        for status, length, title in cases:
            with self.case(status=status, length=length):
                def answer(server, handler, count, status=status, length=length):
                    if length == "short":
                        handler.answer(status, b"<html>try later</html>")
                    elif length == "file size":
                        handler.answer(status, bytes(len(second.data)))
                    else:
                        handler.send_response(status)
                        handler.send_header("Connection", "close")
                        handler.end_headers()
                        handler.wfile.write(b"<html>try later</html>")
                server, _ = self.serve(files, {self.file_path(second): answer})
                w = self.start_watched()
                self.assert_one_box(w, title, "server-error-%d" % status, timeout=15.0)
                self.assert_only_product_folder_and_manifest_copy_written(w, files)
                self.assert_intact(w, first)
                self.assertEqual(server.requests_for(self.file_path(second)), 3, "once and twice more")
                self.assertEqual(server.requests_for(self.file_path(first)), 1)

    def test_sizes_that_no_file_can_have_ask_for_no_less_space(self):
        pebibyte = 1 << 50
        files = self.release(seed=29, second_size=0)
        first, second = files
        # What the second file's size does beside a first file of 1 PiB, whose length the server
        # would announce (and then close) were it ever asked for it.
        for odd_size in (-pebibyte, "nan"):
            with self.case(size=odd_size):
                manifest = h.manifest_for(files, "http://127.0.0.1:%d/%s/files/" % (self.product.port, self.key))
                manifest["files"][0]["filesize"] = pebibyte
                manifest["files"][1]["filesize"] = odd_size
                announce = lambda server, handler, count: handler.answer(200, b"", length=pebibyte)
                server, _ = self.serve(files, {self.file_path(first): announce}, manifest=manifest)
                w = self.start_watched()
                self.assert_one_box(w, "Not Enough Space", "odd-size-%s" % odd_size)
                self.assert_only_product_folder_and_manifest_copy_written(w, files)
                self.assertEqual([p for p, _ in server.log], [self.product.manifest_path], "no file requested")

    def test_size_below_the_range_beside_a_complete_file(self):
        files = self.release(seed=30)
        first, second = files
        manifest = h.manifest_for(files, "http://127.0.0.1:%d/%s/files/" % (self.product.port, self.key))
        manifest["files"][1]["filesize"] = -1e19

        def place_first(run):
            os.mkdir(run.product_folder)
            with open(os.path.join(run.product_folder, first.filename), "wb") as f:
                f.write(first.data)

        self.serve(files, manifest=manifest)
        w = self.start_watched(before_start=place_first)
        # The space needed is nothing; the second file's answer then has no length that matches.
        self.assert_one_box(w, "Download Error ", "size-below-range")

    def test_disk_filling_up_during_a_download(self):
        mib = 1024 * 1024
        exe_size = os.path.getsize(self.product.exe)
        # The program's copy, and 4 MiB beside it: room enough for the release when the
        # free space is checked.
        volume = h.Tmpfs(self, size=(exe_size + mib - 1) // mib * mib + 4 * mib)
        files = h.release_files([("first.bin", 3 * mib // 2, False), ("second.bin", 3 * mib // 2, True)], seed=24)
        first, second = files
        requested, filled = threading.Event(), threading.Event()

        def answer_once_the_disk_is_full(server, handler, count):
            requested.set()
            filled.wait(20)
            handler.answer(200, second.data)

        server, _ = self.serve(files, {self.file_path(second): answer_once_the_disk_is_full})
        w = self.start_watched(folder=volume.path)
        w.windows.wait_until(requested.is_set, 20, "the second file to be requested")
        left = 512 * 1024
        filler = os.path.join(volume.path, "filler.bin")
        with open(filler, "wb") as f:
            f.write(bytes(volume.free_bytes() - left))
        filled.set()

        self.assert_one_box(w, "Download Error ", "disk-full")
        self.assert_only_product_folder_and_manifest_copy_written(w, files, allowed=("filler.bin",))
        self.assert_intact(w, first)
        self.assertLessEqual(self.assert_prefix(w, second, left), left)
        self.assertEqual(server.requests_for(self.file_path(second)), 1, "a failed write is not retried")

    def test_product_folder_turning_read_only(self):
        exe_size = os.path.getsize(self.product.exe)
        volume = h.Tmpfs(self, size=exe_size + 16 * 1024 * 1024)
        files = self.release(seed=25)
        first, second = files
        failures, tried = [], threading.Event()

        def turn_read_only_then_answer(server, handler, count):
            # By now the program has made the target and holds it open for writing.
            try:
                volume.make_read_only()
            except Exception as e:  # reported by the test, not lost in the server's thread
                failures.append(e)
            tried.set()
            handler.answer(200, first.data)

        server, _ = self.serve(files, {self.file_path(first): turn_read_only_then_answer})
        w = self.start_watched(folder=volume.path)
        w.windows.wait_until(tried.is_set, 20, "the first file to be requested")
        self.assertEqual(failures, [], "the folder could not be made read-only")
        # The open target is still written and verified; the next one cannot be made.
        self.assert_one_box(w, "Connection Error ", "read-only")
        self.assert_only_product_folder_and_manifest_copy_written(w, files)
        self.assert_intact(w, first)
        self.assertFalse(os.path.exists(os.path.join(w.run.product_folder, second.filename)))
        self.assertEqual([p for p, _ in server.log], [self.product.manifest_path, self.file_path(first)])

    def test_link_planted_at_the_manifest_copy(self):
        files = self.release(seed=26)
        first, second = files
        kept_text = b"a file of the user's, which the manifest copy must never overwrite\n"
        for target in ("existing file", "missing file"):
            with self.case(target=target):
                elsewhere = tempfile.mkdtemp(prefix="velm-e2e-elsewhere-")
                self.addCleanup(shutil.rmtree, elsewhere, True)
                pointed = os.path.join(elsewhere, "kept.txt")
                if target == "existing file":
                    with open(pointed, "wb") as f:
                        f.write(kept_text)
                elsewhere_before = h.tree_snapshot(elsewhere)
                server, manifest_text = self.serve(files)
                w = self.start_watched(before_start=lambda run: os.symlink(pointed, run.manifest_copy))

                self.assert_completes(w, second)
                self.assert_only_product_folder_and_manifest_copy_written(w, files)
                self.assertFalse(os.path.islink(w.run.manifest_copy))
                with open(w.run.manifest_copy, "rb") as f:
                    self.assertEqual(f.read(), manifest_text)
                self.assertEqual(h.tree_snapshot(elsewhere), elsewhere_before, "the link's target untouched")
                self.assert_intact(w, first)
                self.assert_intact(w, second)

    def test_killed_in_mid_transfer_and_started_again(self):
        files = h.release_files([("first.bin", 300 * 1024, False), ("big.bin", 8 * 1024 * 1024, True)], seed=27)
        first, big = files
        sent = 5 * BLOCK
        partly = h.serve_partly_then_hold(big.data, sent)
        whole = h.serve_bytes(big.data)

        def big_route(server, handler, count):
            (partly if count == 1 else whole)(server, handler, count)

        server, _ = self.serve(files, {self.file_path(big): big_route})
        killed = self.start_watched()
        target = os.path.join(killed.run.product_folder, big.filename)
        killed.windows.wait_until(lambda: os.path.exists(target) and os.path.getsize(target) == sent, 15,
                                  "the first %d bytes on disk" % sent)
        os.kill(killed.run.pid, signal.SIGKILL)
        self.assertEqual(killed.run.wait_exit(5.0), -signal.SIGKILL)
        self.assertEqual(sorted(killed.windows.seen), killed.expected_windows())
        h.wait_until(lambda: not h.windows_of(killed.run), 5, "the killed run's windows to go")
        self.assertEqual(self.assert_prefix(killed, big, sent), sent)

        again = self.start_watched(folder=killed.run.folder)
        self.assert_completes(again, big)
        self.assert_intact(again, first)
        self.assert_intact(again, big)
        # Taken stock of before the first run: both runs together wrote only the product folder
        # and their manifest copies.
        again.folder_before = killed.folder_before
        self.assert_only_product_folder_and_manifest_copy_written(again, files)
        self.assert_only_product_folder_and_manifest_copy_written(killed, files)

        # The verified file is not fetched again; the partial one is, whole and from its start.
        self.assertEqual(server.requests_for(self.file_path(first)), 1)
        big_requests = [headers for path, headers in server.request_headers if path == self.file_path(big)]
        self.assertEqual(len(big_requests), 2)
        self.assertNotIn("range", big_requests[1])


class SecureManifestTests(FaultCase):
    """A manifest asked for over https, from a TLS server on 127.0.0.1 whose certificate the
    program alone trusts, and only while the test runs it."""

    key = "secure"

    def setUp(self):
        super().setUp()
        self.tls, self.trusting = h.trusted_certificate(self)

    def test_redirects_of_the_manifest_keep_to_https(self):
        files = self.release(seed=30)
        first, second = files
        secure = "https://127.0.0.1:%d" % self.product.port
        moved = "/%s/moved/meta" % self.key
        to_plain = "/%s/to-plain/%s" % (self.key, second.url_name)
        for target in ("https", "http"):
            with self.case(target=target):
                # A plain server that serves the manifest and the marked file alike.
                plain = h.ScriptedServer(self, 0, {})
                plain_address = "http://127.0.0.1:%d" % plain.port
                manifest = h.manifest_for(files, secure + "/%s/files/" % self.key)
                manifest["files"][1]["url"] = secure + to_plain
                plain.routes.update({moved: h.serve_json(manifest), self.file_path(second): h.serve_bytes(second.data)})

                location = (secure if target == "https" else plain_address) + moved
                server, _ = self.serve(files, {self.product.manifest_path: h.redirect_to(location),
                                               moved: h.serve_json(manifest),
                                               to_plain: h.redirect_to(plain_address + self.file_path(second))},
                                       manifest=manifest)
                w = self.start_watched(command_prefix=self.trusting)
                if target == "https":
                    # A file may come over plain http all the same: it must match its digest.
                    self.assert_completes(w, second)
                    self.assert_intact(w, first)
                    self.assert_intact(w, second)
                    self.assertEqual([p for p, _ in plain.log], [self.file_path(second)])
                else:
                    # Refused as a manifest request that could not connect.
                    self.assert_one_box(w, "Connection Error ", "https-manifest-redirected-to-http")
                    self.assertEqual(plain.connections, 0, "the plain server was connected to")
                    self.assertFalse(os.path.exists(w.run.product_folder))
                    self.assertEqual([p for p, _ in server.log], [self.product.manifest_path])
                self.assert_only_product_folder_and_manifest_copy_written(w, files)


class NameLookupTests(FaultCase):
    """Host names looked up while the product's name server takes a query and never answers,
    or refuses it: the program runs where the system asks that server alone."""

    key = "lookups"
    manifest_host = "velm-manifest.example"
    file_host = "velm-files.example"

    def test_lookups_that_get_no_answer(self):
        files = self.release(seed=40)
        file_base = "http://%s:%d/%s/files/" % (self.file_host, self.product.port, self.key)
        # (the name that is looked up last, whether the name server listens, whether the
        # manifest's name is in the hosts file)
        cases = [("manifest", True, False), ("first file", True, True), ("manifest", False, False)]
        for looked_up, listening, manifest_known in cases:
            with self.case(looked_up=looked_up, listening=listening):
                name_server = h.SilentNameServer(self, listening)
                hosts = [("127.0.0.1", self.manifest_host)] if manifest_known else []
                server, _ = self.serve(files, manifest=h.manifest_for(files, file_base))
                w = self.start_watched(command_prefix=h.resolver_prefix(self, name_server, hosts))
                if not listening:
                    # A refused query is a lookup that failed at once: a request that could not
                    # connect.
                    self.assert_one_box(w, "Connection Error ", "lookup-refused", timeout=5.0)
                    self.assertEqual(server.log, [])
                    self.assertFalse(os.path.exists(w.run.product_folder))
                    continue
                name = self.manifest_host if looked_up == "manifest" else self.file_host
                w.windows.wait_until(lambda: name_server.asked_for(name), 10, "the query for " + name)

                closed_at = time.monotonic()
                h.close(w.main, w.windows)
                # Without an answer the lookup would give up only after 20 s.
                self.assertEqual(w.windows.wait_exit(40), 0)
                self.assertLess(time.monotonic() - closed_at, 3.0 if h.SANITIZER else 1.0)
                self.assertEqual(sorted(w.windows.seen), w.expected_windows(), "no box")
                self.assertEqual(w.run.opened(settle=0.3), [])
                self.assertEqual([p for p, _ in server.log], [] if looked_up == "manifest"
                                 else [self.product.manifest_path])


if __name__ == "__main__":
    unittest.main()
