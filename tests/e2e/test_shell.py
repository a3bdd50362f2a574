"""The application shell seen from outside: the window, the bad-configuration box, the
single-instance rule and the command line."""

import itertools
import os
import random
import re
import shutil
import subprocess
import tempfile
import time
import unittest

import harness as h
from harness import E2ETestCase, press, close, windows, windows_of

BAD_CONFIGURATION_TITLE = "Oops! Something went wrong!"


def motif_hints(window):
    """(flags, functions, decorations) of the window's _MOTIF_WM_HINTS, read with xprop."""
    out = h.xprop(window, "_MOTIF_WM_HINTS")
    match = re.search(r"_MOTIF_WM_HINTS\(_MOTIF_WM_HINTS\) = (.*)", out)
    if match is None:
        raise AssertionError("no _MOTIF_WM_HINTS on the window: %r" % out)
    values = [int(v, 16) for v in match.group(1).split(",")]
    return values[0], values[1], values[2]


class WindowTests(E2ETestCase):
    """The main window of a product with colours of its own for every key."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.product = h.product("window")
        cls.colours = {k: h.colour_of(v) for k, v in cls.product.config["colors"].items()}
        # The colours must differ from one another and from the defaults, or a colour that
        # showed the default instead would go unnoticed.
        values = list(cls.colours.values()) + list(h.DEFAULT_COLOURS.values())
        assert len(set(values)) == len(values)

    def content_origin(self, main):
        x, y, w, hgt = h.geometry(main)
        self.assertEqual((w, hgt), (h.CONTENT_WIDTH, h.CONTENT_HEIGHT))
        return x, y

    def test_title_size_and_position(self):
        run, main, box = self.start_to_first_box(self.product)
        info = h.xwininfo(main)
        self.assertEqual(info["Width"], "560")
        self.assertEqual(info["Height"], "104")
        # Centred on the 1280 x 800 screen.
        self.assertEqual(info["Absolute upper-left X"], str((h.SCREEN_WIDTH - 560) // 2))
        self.assertEqual(info["Absolute upper-left Y"], str((h.SCREEN_HEIGHT - 104) // 2))
        self.assertIn('WM_NAME(UTF8_STRING) = "Velm E2E Window Downloader"', h.xprop(main, "WM_NAME"))
        # One window of the product and its question, nothing else.
        self.assertEqual(sorted(w.name for w in windows_of(run)),
                         sorted([self.product.title, "Select download location"]))

    def test_no_maximise_button_and_no_resizing(self):
        run, main, box = self.start_to_first_box(self.product)
        flags, functions, decorations = motif_hints(main)
        self.assertEqual(flags & 3, 3, "functions and decorations are both given")
        move, resize, minimise, maximise, close_ = 4, 2, 8, 0x10, 0x20
        self.assertEqual(functions & (move | minimise | close_), move | minimise | close_)
        self.assertEqual(functions & (maximise | resize), 0, "no maximise, no resize: 0x%x" % functions)
        decor_resize, decor_minimise, decor_maximise = 0x4, 0x20, 0x40
        self.assertEqual(decorations & decor_minimise, decor_minimise)
        self.assertEqual(decorations & (decor_maximise | decor_resize), 0, "decorations 0x%x" % decorations)

        actions = h.xprop(main, "_NET_WM_ALLOWED_ACTIONS")
        self.assertIn("_NET_WM_ACTION_MINIMIZE", actions)
        self.assertIn("_NET_WM_ACTION_CLOSE", actions)
        self.assertNotIn("_NET_WM_ACTION_RESIZE", actions)
        self.assertNotIn("_NET_WM_ACTION_FULLSCREEN", actions)

    def test_size_hints_fix_the_size(self):
        # The framework's X11 peer writes the minimum and maximum size and then overwrites them
        # with position and size alone; the window sets them again once it shows.
        run, main, box = self.start_to_first_box(self.product)
        time.sleep(0.5)
        hints = h.xprop(main, "WM_NORMAL_HINTS")
        self.assertIn("program specified minimum size: 560 by 104", hints)
        self.assertIn("program specified maximum size: 560 by 104", hints)

    def test_colours_while_the_first_question_is_open(self):
        # The box's width follows its message, which names the program's folder: a name of digits
        # alone, all equally wide in the embedded typeface, leaves the same part of the bar
        # beside the box in every run.
        while True:
            folder = os.path.join(tempfile.gettempdir(), "velm-e2e-%08d" % random.randrange(10 ** 8))
            try:
                os.mkdir(folder, 0o700)
                break
            except FileExistsError:
                continue
        self.addCleanup(shutil.rmtree, folder, True)
        run, main, box = self.start_to_first_box(self.product, folder=folder)
        time.sleep(0.3)  # the first paint
        image = h.screenshot("window-first-question")
        ox, oy = self.content_origin(main)
        others = [h.geometry(w) for w in windows() if w.id != main.id]

        def visible(points):
            return [(x, y) for x, y in points if not h.covered(ox + x, oy + y, others)]

        def colour_at(x, y):
            return image.pixel(ox + x, oy + y)

        # The background, in the corners and between the widgets.
        background = visible([(3, 3), (3, 100), (556, 3), (556, 100), (12, 40), (12, 62), (540, 90)])
        self.assertGreaterEqual(len(background), 4)
        for x, y in background:
            self.assertEqual(colour_at(x, y), h.argb(self.colours["mainBg"]), "background at %d,%d" % (x, y))

        # The empty bar: its track along the middle row, away from the rounded ends.
        bx, by, bw, bh = h.PROGRESS_BAR
        track = visible([(x, by + bh // 2) for x in range(bx + 6, bx + bw - 6)])
        self.assertGreaterEqual(len(track), 5, "the box hides the whole bar")
        for x, y in track:
            self.assertEqual(colour_at(x, y), h.argb(self.colours["pbBg"]), "track at %d,%d" % (x, y))

        # The product name's first letters stand left of the box; "initializing ..." is drawn
        # in the bar's fill colour.
        origin = (ox, oy)
        self.assert_text_colour(image, origin, h.PRODUCT_NAME_LABEL, self.colours["mainBg"],
                                self.colours["productNameLabel"], others, minimum=5)
        self.assert_text_colour(image, origin, h.STATUS_LABEL, self.colours["mainBg"],
                                self.colours["pbF"], others, minimum=5)

    def test_colours_during_a_transfer(self):
        # A release of one file whose transfer stops half-way: the window then shows every widget
        # with nothing in front of it.
        size, sent = 1 << 20, 1 << 19
        files = h.release_files([("half.bin", size, False)], seed=7)
        base = "http://127.0.0.1:%d/window/files/" % self.product.port
        server = h.ScriptedServer(self, self.product.port, {
            self.product.manifest_path: h.serve_json(h.manifest_for(files, base)),
            "/window/files/half.bin": h.serve_partly_then_hold(files[0].data, sent)})
        run, main = self.start_default_run(self.product)
        target = os.path.join(run.product_folder, "half.bin")
        h.wait_until(lambda: os.path.exists(target) and os.path.getsize(target) >= sent, 15,
                     "half of the file on disk")
        time.sleep(1.2)  # two refreshes of the window
        image = h.screenshot("window-during-transfer")
        ox, oy = self.content_origin(main)
        self.assertEqual([w.name for w in windows_of(run)], [self.product.title])

        def colour_at(x, y):
            return image.pixel(ox + x, oy + y)

        bx, by, bw, bh = h.PROGRESS_BAR
        middle = by + bh // 2
        self.assertEqual(colour_at(bx + bw // 4, middle), h.argb(self.colours["pbF"]), "filled part of the bar")
        self.assertEqual(colour_at(bx + bw * 3 // 4, middle), h.argb(self.colours["pbBg"]), "empty part of the bar")
        self.assertEqual(colour_at(3, 3), h.argb(self.colours["mainBg"]))

        # The status label's own part (the size label lies over its right end).
        status_only = (24, 45, 262, 14)
        size_only = (330, 45, 206, 14)
        for bounds, key in [(h.PRODUCT_NAME_LABEL, "productNameLabel"), (status_only, "pbF"),
                            (h.AMOUNT_LABEL, "pbF"), (size_only, "sizeLabel")]:
            with self.case(key=key, bounds=bounds):
                self.assert_text_colour(image, (ox, oy), bounds, self.colours["mainBg"], self.colours[key])
        self.assertEqual(server.requests_for("/window/files/half.bin"), 1)

    def test_close_while_the_first_question_is_open(self):
        run, main, box = self.start_to_first_box(self.product)
        close(main)
        self.assert_ends(run, 0, timeout=5)
        self.assertEqual(windows_of(run), [])
        # The run never started: no manifest was asked for.
        self.assertFalse(os.path.exists(run.manifest_copy))


class InstanceTests(E2ETestCase):
    """One instance per user and product name; the command line is ignored."""

    def watch_until_exit(self, run, timeout):
        """Waits for run to end and returns the windows it ever showed on the way."""
        seen = set()
        deadline = time.monotonic() + timeout
        while run.running() and time.monotonic() < deadline:
            seen.update(w.name for w in windows_of(run))
            time.sleep(0.02)
        return run.wait_exit(1), seen

    def assert_second_copy_ends_silently(self, **kwargs):
        """Starts another copy of instance-a, which must end at once with 0, never show a window
        and make no product folder."""
        second = self.start("instance-a", **kwargs)
        code, seen = self.watch_until_exit(second, timeout=3)
        self.assertEqual(code, 0)
        self.assertEqual(seen, set())
        self.assertFalse(os.path.exists(second.product_folder))

    def test_second_copy_ends_at_once_and_shows_nothing(self):
        first, main, box = self.start_to_first_box("instance-a")
        before = {(w.id, w.name, h.geometry(w)) for w in windows_of(first)}

        self.assert_second_copy_ends_silently()  # another copy of the same product, in its own folder

        time.sleep(0.3)
        self.assertTrue(first.running())
        self.assertEqual({(w.id, w.name, h.geometry(w)) for w in windows_of(first)}, before)

        # The first goes on answering.
        close(main)
        self.assert_ends(first, 0, timeout=5)

    def test_copies_of_different_users_never_meet(self):
        # Every order of two users: the one who first made a lock file of the product, the one
        # whose copy runs, and the one who starts another copy.
        if os.geteuid() != 0:
            self.skipTest("starting a copy as another user (nobody) needs root")
        # nobody comes first: on a machine where the product never ran, the first lock file of
        # all is then another user's than the one running the tests.
        user = {"nobody": "nobody", "root": None}
        for maker, running, starting in itertools.product(user, repeat=3):
            with self.case(lock_first_made_by=maker, running=running, starting=starting):
                earlier, main, box = self.start_to_first_box("instance-a", user=user[maker])
                close(main)
                self.assert_ends(earlier, 0, timeout=5)

                first, main, box = self.start_to_first_box("instance-a", user=user[running])
                if starting == running:
                    self.assert_second_copy_ends_silently(user=user[starting])
                else:
                    second, second_main, second_box = self.start_to_first_box("instance-a", user=user[starting])
                    close(second_main)
                    self.assert_ends(second, 0, timeout=5)

                self.assertTrue(first.running())
                close(main)
                self.assert_ends(first, 0, timeout=5)

    def test_products_with_different_names_run_side_by_side(self):
        a, main_a, box_a = self.start_to_first_box("instance-a")
        b, main_b, box_b = self.start_to_first_box("instance-b")
        self.assertTrue(a.running() and b.running())
        self.assertEqual(sorted(w.name for w in windows()),
                         sorted([a.product.title, b.product.title, "Select download location",
                                 "Select download location"]))
        close(main_b)
        self.assert_ends(b, 0, timeout=5)
        self.assertTrue(a.running())
        close(main_a)
        self.assert_ends(a, 0, timeout=5)

    def test_command_line_arguments_change_nothing(self):
        argument_sets = [
            ["--help"],
            ["--version", "-v", "/S", "/D=C:\\elsewhere"],
            ["--juce-gtkwebkitfork-child", "x"],
            ["a file.txt", "$(touch injected)", ""],
        ]
        for args in argument_sets:
            with self.case(args=args):
                run, main, box = self.start_to_first_box("instance-a", *args)
                self.assertEqual(h.geometry(main), (360, 348, 560, 104))
                self.assert_window_names(run, [run.product.title, "Select download location"], settle=0.3)
                close(main)
                self.assert_ends(run, 0, timeout=5)
                self.assertEqual(os.listdir(run.folder), [os.path.basename(run.exe)])


class BadConfigurationTests(E2ETestCase):
    """Products whose configuration is missing or fails the start-up check. They all share the
    application name " Downloader", and so the single-instance lock: one test at a time."""

    def test_one_box_and_no_window(self):
        cases = [("missing", "Return"), ("bad-empty-object", "Escape"),
                 ("bad-no-download", "Return"), ("bad-no-extension", "Return")]
        for key, key_to_press in cases:
            with self.case(product=key):
                run = self.start(key)
                box = h.wait_box(BAD_CONFIGURATION_TITLE, run)
                self.assert_window_names(run, [BAD_CONFIGURATION_TITLE])
                self.assertEqual([w for w in windows() if w.name and w.name.endswith("Downloader")], [])
                press(box, key_to_press)
                self.assert_ends(run, 0, timeout=5)
                self.assertEqual(windows_of(run), [])
                self.assertEqual(os.listdir(run.folder), [os.path.basename(run.exe)])

    def test_second_copy_ends_at_once_and_shows_nothing(self):
        first = self.start("missing")
        box = h.wait_box(BAD_CONFIGURATION_TITLE, first)
        # A different bad build: its application name is the same " Downloader".
        for key in ("missing", "bad-no-download"):
            with self.case(second=key):
                second = self.start(key)
                deadline = time.monotonic() + 3
                seen = set()
                while second.running() and time.monotonic() < deadline:
                    seen.update(w.name for w in windows_of(second))
                    time.sleep(0.02)
                self.assertEqual(second.wait_exit(1), 0)
                self.assertEqual(seen, set())
        self.assertTrue(first.running())
        self.assertEqual([w.name for w in windows()], [BAD_CONFIGURATION_TITLE])
        press(box, "Return")
        self.assert_ends(first, 0, timeout=5)


class NoDisplayTests(E2ETestCase):
    """Started where no X display can be opened, the program says so and ends, whatever its
    configuration: it shows, asks for, makes and opens nothing."""

    def test_no_display_ends_with_a_line_that_names_it(self):
        served = h.product("headless")
        server = h.ScriptedServer(self, served.port, {served.manifest_path: h.serve_json({"files": []})})
        nowhere = ":%d" % h.unanswered_display(self)
        # The test's own display, to a program that lacks its key.
        refusing = os.environ.get("DISPLAY")
        no_key = os.path.join(tempfile.mkdtemp(prefix="velm-e2e-xauth-"), "empty")
        self.addCleanup(shutil.rmtree, os.path.dirname(no_key), True)
        open(no_key, "w").close()
        # (product, DISPLAY, XAUTHORITY, what the line says of the display); the framework tries
        # ":0.0" in place of a DISPLAY that is not set.
        cases = [("headless", None, None, "DISPLAY is not set"),
                 ("headless", nowhere, None, 'DISPLAY is "%s"' % nowhere),
                 ("missing", nowhere, None, 'DISPLAY is "%s"' % nowhere),
                 ("headless", refusing, no_key, 'DISPLAY is "%s"' % refusing)]
        for key, display, authority, said in cases:
            with self.case(product=key, display=display, refused=authority is not None):
                if display is None and h.display_answers(0):
                    h.skip_test(self, "display :0 answers here, which the framework opens when DISPLAY is not set")
                if authority is not None:
                    keyless = subprocess.run(["xdpyinfo"], env={**os.environ, "XAUTHORITY": authority},
                                             stdin=subprocess.DEVNULL, capture_output=True, timeout=10)
                    if refusing is None or keyless.returncode == 0:
                        h.skip_test(self, "the test's display asks no key of its clients")
                # Where the single-instance lock would go.
                runtime = tempfile.mkdtemp(prefix="velm-e2e-runtime-")
                self.addCleanup(shutil.rmtree, runtime, True)
                run = self.start(key, env={"DISPLAY": display, "XAUTHORITY": authority, "XDG_RUNTIME_DIR": runtime})
                self.assertEqual(run.wait_exit(5.0), 1)
                with open(run.stderr_path, "rb") as f:
                    lines = f.read().decode().splitlines()
                self.assertEqual(lines, ["%s: no X display could be opened: %s" % (os.path.basename(run.exe), said)
                                         + (' (tried ":0.0")' if display is None else "")])
                self.assertEqual(os.listdir(run.folder), [os.path.basename(run.exe)])
                self.assertEqual(os.listdir(run.tmpdir), [])
                self.assertEqual(os.listdir(runtime), [])
                self.assertEqual(run.opened(), [])
        self.assertEqual(server.log, [])

if __name__ == "__main__":
    unittest.main()
