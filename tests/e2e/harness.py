"""Shared pieces of the end-to-end tests: product copies run from fresh folders, windows and keys
on the test display, screenshots, and the HTTP servers the products talk to.

Every wait here has a timeout, every process that a test starts is killed when the test ends, and
every server stops with it.
"""

import collections
import contextlib
import errno
import fcntl
import hashlib
import http.server
import json
import os
import pwd
import random
import re
import shutil
import socket
import ssl
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse

import xwindows

PRODUCTS_DIR = os.environ.get("VELM_E2E_PRODUCTS", os.path.join(os.path.dirname(__file__), "..", "products"))
ARTIFACTS_DIR = os.environ.get("VELM_E2E_ARTIFACTS") or tempfile.gettempdir()

SCREEN_WIDTH, SCREEN_HEIGHT = 1280, 800
CONTENT_WIDTH, CONTENT_HEIGHT = 560, 104

# Where the window content draws its widgets, in content coordinates (x, y, width, height).
PROGRESS_BAR = (24, 72, 460, 8)
PRODUCT_NAME_LABEL = (24, 19, 536, 16)
STATUS_LABEL = (24, 45, 300, 14)
SIZE_LABEL = (286, 45, 250, 14)
AMOUNT_LABEL = (486, 67, 56, 16)

DEFAULT_COLOURS = {"pbBg": 0xff292929, "pbF": 0xff2196f3, "mainBg": 0xff333333,
                   "sizeLabel": 0xff7a7a7a, "productNameLabel": 0xffffffff}

START_TIMEOUT = 10.0

# A box is answered only once the program has drawn it and gone idle. The framework reads X
# events only when its connection becomes readable, so an event that Xlib has already queued
# while the program was still drawing waits for the next one to arrive.
SETTLE = 0.4
EXIT_TIMEOUT = 10.0

# The atoms that a window manager creates on a real desktop. The framework only looks them up
# (without creating them) when it starts, so on a bare display it would neither take part in the
# close protocol nor publish its decoration hints unless they already exist.
WINDOW_MANAGER_ATOMS = ("WM_PROTOCOLS", "WM_DELETE_WINDOW", "WM_TAKE_FOCUS", "_NET_WM_PING",
                        "WM_STATE", "WM_CHANGE_STATE", "_MOTIF_WM_HINTS", "_NET_WM_ALLOWED_ACTIONS",
                        "_NET_WM_ACTION_MOVE", "_NET_WM_ACTION_RESIZE", "_NET_WM_ACTION_FULLSCREEN",
                        "_NET_WM_ACTION_MINIMIZE", "_NET_WM_ACTION_CLOSE", "_NET_WM_WINDOW_TYPE",
                        "_NET_WM_WINDOW_TYPE_NORMAL", "_NET_WM_WINDOW_TYPE_COMBO", "_NET_WM_STATE",
                        "_NET_WM_STATE_HIDDEN", "_NET_WM_STATE_FULLSCREEN")

for _atom in WINDOW_MANAGER_ATOMS:
    xwindows.intern_atom(_atom)


def skip_test(test, reason):
    """Skips the test, with the reason printed where ctest shows it."""
    print("skipped: " + reason, file=sys.stderr, flush=True)
    test.skipTest(reason)


def user_nobody(test, purpose):
    """The user nobody, as whom a test that runs as root runs the product for purpose; the test
    is skipped where it cannot be done."""
    if os.geteuid() != 0:
        skip_test(test, purpose + " needs root")
    try:
        return pwd.getpwnam("nobody")
    except KeyError:
        skip_test(test, "there is no user nobody to run the product as")


def wait_until(predicate, timeout, what, interval=0.05):
    """The first true value of predicate(), polled until timeout seconds have passed."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise AssertionError("timed out after %.1f s waiting for %s" % (timeout, what))
        time.sleep(interval)


def as_rgb(colour):
    return colour if isinstance(colour, tuple) else argb(colour)


def argb(colour):
    """(r, g, b) of a 0xAARRGGBB value."""
    return (colour >> 16) & 0xFF, (colour >> 8) & 0xFF, colour & 0xFF


def colour_of(text):
    """The value of a well-formed colour text "#AARRGGBB"."""
    return int(text[1:], 16)


#==================================================================================================
# Products

Product = collections.namedtuple("Product", "key exe config name title port manifest_path")


def product(key):
    """A test product: its executable (from the build) and what its configuration says."""
    variable = "VELM_E2E_EXE_" + key.upper().replace("-", "_")
    exe = os.environ.get(variable)
    if not exe or not os.path.isfile(exe):
        raise RuntimeError("%s does not name a built product executable" % variable)
    path = os.path.join(PRODUCTS_DIR, key + ".json")
    config = None
    if os.path.exists(path):
        with open(path, encoding="latin-1") as f:
            text = f.read()
        try:
            config = json.loads(text)
        except ValueError:
            config = None
    name = title = port = manifest_path = None
    if isinstance(config, dict) and "productName" in config:
        name = config["productName"]
        title = name + " Downloader"
        url = config.get("download", {}).get("url")
        if url:
            parts = urllib.parse.urlsplit(url)
            port, manifest_path = parts.port, parts.path
    return Product(key, exe, config, name, title, port, manifest_path)


# The fake xdg-open: records the descriptors it was started with (those of the listing itself are
# gone again by the time each is looked at), then each argument on a line of its own. The
# descriptors come first, so that they are there once the arguments are.
FAKE_OPENER = """#!%s -I
import json, os, sys
held = {}
for name in os.listdir("/proc/self/fd"):
    try:
        held[name] = os.readlink("/proc/self/fd/" + name)
    except FileNotFoundError:
        pass
log = os.environ["VELM_E2E_OPEN_LOG"]
with open(log + ".fds", "a") as f:
    f.write(json.dumps(held) + "\\n")
with open(log, "ab") as f:
    f.write(b"".join(os.fsencode(a) + b"\\n" for a in sys.argv[1:]))
"""


class ProgramRun:
    """One product executable copied into a fresh temporary folder and started from there.

    A second folder beside it holds the program's TMPDIR (where the manifest copy goes) and a fake
    xdg-open, first on PATH, that logs each argument it is given on a line of its own, and the
    descriptors it was started with. With tmpdir=False the program runs with no TMPDIR at all, as
    on a machine where none is set (and run.tmpdir is None). With user (the tests running as
    root), the program runs as that user, and both folders are the user's. command_prefix is a
    command that the program's command line is handed to, which must in the end run it in its
    own process (with exec), so that run.pid stays the program's."""

    def __init__(self, test, prod, args=(), folder=None, env=None, before_start=None, user=None,
                 tmpdir=True, command_prefix=()):
        self.test, self.product = test, prod
        # A run as another user gets its folders in /tmp, which that user can reach wherever the
        # build and this process's temporary folder lie.
        shared_temp = "/tmp" if user is not None else None
        if folder is None:
            folder = tempfile.mkdtemp(prefix="velm-e2e-", dir=shared_temp)
            test.addCleanup(shutil.rmtree, folder, True)
        self.folder = folder
        self.exe = os.path.join(folder, os.path.basename(prod.exe))
        if not os.path.exists(self.exe):
            shutil.copy2(prod.exe, self.exe)

        self.support = tempfile.mkdtemp(prefix="velm-e2e-support-", dir=shared_temp)
        test.addCleanup(shutil.rmtree, self.support, True)
        self.tmpdir = None
        if tmpdir:
            self.tmpdir = os.path.join(self.support, "tmp")
            os.mkdir(self.tmpdir)
        bin_dir = os.path.join(self.support, "bin")
        os.mkdir(bin_dir)
        self.open_log = os.path.join(self.support, "xdg-open.log")
        fake = os.path.join(bin_dir, "xdg-open")
        # Another user may not reach this process's interpreter (in a home folder closed to
        # others, say): the system's serves that user's runs.
        interpreter = sys.executable
        if user is not None and os.access("/usr/bin/python3", os.X_OK):
            interpreter = "/usr/bin/python3"
        with open(fake, "w") as f:
            f.write(FAKE_OPENER % interpreter)
        os.chmod(fake, stat.S_IRWXU)

        # A variable given as None is not set for the program.
        environment = dict(os.environ)
        for name, value in (env or {}).items():
            if value is None:
                environment.pop(name, None)
            else:
                environment[name] = value
        environment["PATH"] = bin_dir + os.pathsep + environment.get("PATH", "")
        environment["VELM_E2E_OPEN_LOG"] = self.open_log
        if self.tmpdir is None:
            environment.pop("TMPDIR", None)
        else:
            environment["TMPDIR"] = self.tmpdir
        for proxy in ("http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY"):
            environment.pop(proxy, None)
        environment.pop("all_proxy", None)
        environment.pop("ALL_PROXY", None)

        as_user = {} if user is None else run_as(test, user, environment, self.support, [folder, self.support])

        # A test may put things in place, or take stock of the folders, before the program runs.
        if before_start is not None:
            before_start(self)

        self.stderr_path = os.path.join(self.support, "stderr.txt")
        self._stderr = open(self.stderr_path, "wb")
        test.addCleanup(self._stderr.close)
        self.process = subprocess.Popen([*command_prefix, self.exe, *args], cwd=folder, env=environment,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=self._stderr, **as_user)
        self.stdout = None
        test.addCleanup(self.kill)

    @property
    def pid(self):
        return self.process.pid

    @property
    def product_folder(self):
        return os.path.join(self.folder, self.product.name)

    @property
    def manifest_copy(self):
        return os.path.join(self.tmpdir, self.product.name + "Downloader.json")

    def running(self):
        return self.process.poll() is None

    def wait_exit(self, timeout=EXIT_TIMEOUT):
        """The exit code, once the program has ended; fails the test when it does not end."""
        try:
            out, _ = self.process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("%s still running %.1f s later" % (self.product.key, timeout)) from None
        self.stdout = out
        return self.process.returncode

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
        try:
            self.process.communicate(timeout=10)
        except (subprocess.TimeoutExpired, ValueError):
            pass

    def opened(self, settle=0.0):
        """What the fake xdg-open was given, one argument a line."""
        if settle:
            time.sleep(settle)
        if not os.path.exists(self.open_log):
            return []
        with open(self.open_log, encoding="utf-8", errors="replace") as f:
            return f.read().splitlines()

    def wait_opened(self, timeout=5.0):
        # The program quits before the opener it started has necessarily run.
        return wait_until(self.opened, timeout, "xdg-open to be run")

    def opener_descriptors(self):
        """For each start of the fake xdg-open, the descriptors it held: {number: what it names}."""
        if not os.path.exists(self.open_log + ".fds"):
            return []
        with open(self.open_log + ".fds") as f:
            return [{int(n): target for n, target in json.loads(line).items()} for line in f]


def open_files(run):
    """The paths of the files that the running program holds open."""
    folder = "/proc/%d/fd" % run.pid
    paths = set()
    with contextlib.suppress(FileNotFoundError):
        for name in os.listdir(folder):
            with contextlib.suppress(FileNotFoundError):
                paths.add(os.readlink(os.path.join(folder, name)))
    return paths


SANITIZER_OPTIONS = ("ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS")

# The sanitizer that the products were built with ("thread", "address" or empty): it takes memory
# and time of its own.
SANITIZER = os.environ.get("VELM_E2E_SANITIZER", "")


def peak_memory_kib(run):
    """The most resident memory that the running program has held so far, in KiB."""
    with open("/proc/%d/status" % run.pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    raise AssertionError("no peak memory in /proc/%d/status" % run.pid)


def run_as(test, user, environment, support, folders):
    """What a program started as another user needs (this process being root): the Popen
    arguments that start it as that user, and the environment changed to match. The folders become
    the user's; its HOME, the display's cookie and copies of the sanitizers' suppression files go
    to `support`, where the program also writes any sanitizer report, moved when the test ends to
    where this process's options send reports."""
    entry = pwd.getpwnam(user)
    home = os.path.join(support, "home")
    os.mkdir(home)
    environment.update(HOME=home, USER=user, LOGNAME=user)
    # This session's runtime folder is not that user's.
    environment.pop("XDG_RUNTIME_DIR", None)

    # xvfb-run keeps the display's cookie in a file that only its own user may read.
    cookie = environment.get("XAUTHORITY")
    if cookie and os.path.isfile(cookie):
        environment["XAUTHORITY"] = os.path.join(support, "Xauthority")
        shutil.copyfile(cookie, environment["XAUTHORITY"])

    reports = os.path.join(support, "sanitizer-reports")
    os.mkdir(reports)
    destinations = {}
    for variable in SANITIZER_OPTIONS:
        if not environment.get(variable):
            continue
        options = []
        for option in re.split(r"[\s:]+", environment[variable].strip()):
            key, equals, value = option.partition("=")
            if key == "suppressions":
                copy = os.path.join(support, variable.lower() + "-" + os.path.basename(value))
                shutil.copyfile(value, copy)
                value = copy
            elif key == "log_path":
                destinations[os.path.basename(value)] = os.path.dirname(value)
                value = os.path.join(reports, os.path.basename(value))
            options.append(key + equals + value)
        environment[variable] = " ".join(options)

    def collect_reports():
        for name in os.listdir(reports):
            # A report of log_path=<folder>/asan is named asan.<pid>.
            destination = destinations.get(name.rsplit(".", 1)[0])
            if destination and os.path.isdir(destination):
                shutil.copy(os.path.join(reports, name), destination)
    test.addCleanup(collect_reports)

    for top in folders:
        os.chown(top, entry.pw_uid, entry.pw_gid)
        for path, dirs, files in os.walk(top):
            for name in dirs + files:
                os.chown(os.path.join(path, name), entry.pw_uid, entry.pw_gid, follow_symlinks=False)
    return {"user": entry.pw_uid, "group": entry.pw_gid, "extra_groups": []}


#==================================================================================================
# Windows on the test display

Win = collections.namedtuple("Win", "id name pid")


def windows():
    """The mapped top-level windows, bottom first, with the process that made each."""
    result = []
    for w, name in xwindows.top_level_windows():
        prop = xwindows.get_property(w, "_NET_WM_PID")
        pid = prop[2][0] if prop and prop[2] else None
        result.append(Win(w, name, pid))
    return result


def windows_of(run):
    return [w for w in windows() if w.pid == run.pid]


def wait_window(name, run=None, timeout=START_TIMEOUT):
    def find():
        for w in windows():
            if w.name == name and (run is None or w.pid == run.pid):
                return w
        if run is not None and not run.running():
            raise AssertionError("the program ended (exit code %s) before showing %r"
                                 % (run.process.returncode, name))
        return None
    return wait_until(find, timeout, "a window named %r" % name)


def wait_box(name, run=None, timeout=START_TIMEOUT):
    """A box of the program, once it is ready for a key or a close."""
    box = wait_window(name, run, timeout)
    time.sleep(SETTLE)
    return box


def wait_gone(window, timeout=5.0):
    wait_until(lambda: all(w.id != window.id for w in windows()), timeout, "window %r to close" % (window.name,))


def press(window, key, log=None):
    """A key press sent to one window, the way the tests talk to the boxes, to a box that the key
    closes (see bring_in)."""
    done = subprocess.run(["xdotool", "key", "--window", str(window.id), key], timeout=10,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if done.returncode == 0:
        bring_in(window, log)
        return
    if xwindows.geometry(window.id) is not None:
        raise AssertionError("xdotool could not press %s in %r: %s" % (key, window.name, done.stderr.decode()))
    # The key ended the program. xdotool presses a key of the focused window through the XTEST
    # extension, as a real key, and then fails to release it because the window is gone: left
    # so, the key would stay down and the next program would never see it pressed.
    subprocess.run(["xdotool", "keyup", key], timeout=10, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def close(window, log=None):
    """What a window manager's close button does, to a window that closing ends (see bring_in)."""
    xwindows.send_close(window.id)
    bring_in(window, log)


def bring_in(window, log=None, timeout=5.0):
    """Waits for a window to go once it has been sent what closes it, making sure the program
    reads what it was sent; a WindowLog given as log records what it sees meanwhile.

    The framework reads its X events only when its connection turns readable. An event that
    Xlib took into its queue while the program was busy with the display (painting, waiting for
    a reply) waits there until the next event arrives, and a program that shows a box and waits
    gets none: while the window stays, it is sent now and then a message that no program acts
    on, which is that next event. The caller checks what the program then did."""
    look = windows if log is None else log.look
    deadline = time.monotonic() + timeout
    next_nudge = time.monotonic() + 0.25
    while any(w.id == window.id for w in look()) and time.monotonic() < deadline:
        time.sleep(0.05)
        if time.monotonic() >= next_nudge:
            xwindows.send_nudge(window.id)
            next_nudge = time.monotonic() + 0.25


def geometry(window):
    g = xwindows.geometry(window.id)
    if g is None:
        raise AssertionError("window %r is gone" % (window.name,))
    return g


def xwininfo(window):
    """The fields of `xwininfo -id` as a dict of text."""
    out = subprocess.run(["xwininfo", "-id", str(window.id)], capture_output=True, text=True,
                         check=True, timeout=10).stdout
    info = {}
    for line in out.splitlines():
        if ":" in line:
            key, _, value = line.strip().partition(":")
            info[key.strip()] = value.strip()
    return info


def xprop(window, *names):
    return subprocess.run(["xprop", "-id", str(window.id), *names], capture_output=True, text=True,
                          check=True, timeout=10).stdout


def screenshot(label):
    """The whole screen, also kept as a PNG file beside the test results."""
    image = xwindows.screenshot()
    os.makedirs(ARTIFACTS_DIR, exist_ok=True)
    image.save_png(os.path.join(ARTIFACTS_DIR, label + ".png"))
    return image


def text_pixels(image, origin, bounds, background, others=()):
    """The pixels inside bounds (content coordinates) that show something other than the
    background and that no other window covers."""
    ox, oy = origin
    x0, y0, w, hgt = bounds
    found = []
    for y in range(y0, y0 + hgt):
        for x in range(x0, x0 + w):
            if covered(ox + x, oy + y, others):
                continue
            p = image.pixel(ox + x, oy + y)
            if max(abs(a - b) for a, b in zip(p, background)) > 3:
                found.append(p)
    return found


def coverage(pixel, background, colour, tolerance=3):
    """How far pixel lies from background towards colour (0 to 1), when it is such a mix of the
    two, as anti-aliased text is; None when it is not."""
    span = [c - b for c, b in zip(colour, background)]
    channel = max(range(3), key=lambda i: abs(span[i]))
    if abs(span[channel]) < 32:
        raise ValueError("colours too close to tell apart")
    amount = (pixel[channel] - background[channel]) / span[channel]
    if not -0.02 <= amount <= 1.02:
        return None
    for p, b, s in zip(pixel, background, span):
        if abs(p - (b + amount * s)) > tolerance:
            return None
    return amount


def covered(x, y, others):
    return any(gx <= x < gx + gw and gy <= y < gy + gh for gx, gy, gw, gh in others)


#==================================================================================================
# Releases and servers

ReleaseFile = collections.namedtuple("ReleaseFile", "filename data run_after_download url_name")


def release_files(specs, seed):
    """Files of random bytes: specs are (filename, size, run_after_download[, name in the url])."""
    rng = random.Random(seed)
    files = []
    for spec in specs:
        filename, size, run = spec[:3]
        url_name = spec[3] if len(spec) > 3 else filename
        files.append(ReleaseFile(filename, rng.randbytes(size), run, url_name))
    return files


def manifest_for(files, base_url):
    return {"sku": "e2e", "buildno": 1, "version": "1.0.0",
            "files": [{"url": base_url + urllib.parse.quote(f.url_name),
                       "filename": f.filename,
                       "filesize": len(f.data),
                       "checksum_sha256": hashlib.sha256(f.data).hexdigest(),
                       "run_after_download": f.run_after_download} for f in files]}


def port_is_free(port):
    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind(("127.0.0.1", port))
            return True
        except OSError:
            return False


# Ports that tests take for themselves lie below the system's range for ephemeral ports, in which
# the products' fixed ports lie too, as do the ports that other tests' servers are given by the
# system: a port taken there could be the one that a product's server is about to need.
OWN_PORTS = range(20000, 32768)


def own_port(bind):
    """bind(port) for a random free port of OWN_PORTS: whatever it returns, once it binds without
    finding the port in use. The bind itself is what takes the port, so no other process can take
    it in between."""
    for _ in range(200):
        try:
            return bind(random.choice(OWN_PORTS))
        except OSError as error:
            if error.errno != errno.EADDRINUSE:
                raise
    raise RuntimeError("no free port in %d-%d" % (OWN_PORTS.start, OWN_PORTS.stop - 1))


def unanswered_port(test):
    """A port of 127.0.0.1 where nothing listens, and nothing will while the test lasts: a socket
    of the test's holds it, bound but never listening, so that a connection to it is refused."""
    holder = socket.socket()
    test.addCleanup(holder.close)
    return own_port(lambda port: holder.bind(("127.0.0.1", port)) or port)


def _x_tcp_port(number):
    return 6000 + number


def display_answers(number):
    """Whether an X server takes connections as display :number where Xlib looks for it: at its
    socket in /tmp/.X11-unix, at the abstract socket of that name, and, where those fail, at
    TCP port 6000 + number of the local host."""
    addresses = [(socket.AF_UNIX, "/tmp/.X11-unix/X%d" % number), (socket.AF_UNIX, "\0/tmp/.X11-unix/X%d" % number),
                 (socket.AF_INET, ("127.0.0.1", _x_tcp_port(number))), (socket.AF_INET6, ("::1", _x_tcp_port(number)))]
    for family, address in addresses:
        try:
            with socket.socket(family) as s:
                s.settimeout(1.0)
                s.connect(address)
                return True
        except OSError:
            pass
    return False


def unanswered_display(test):
    """The number of a display where no X server listens, and none will while the test lasts:
    the test holds the display's lock file, which an X server takes for itself before it starts
    and which xvfb-run looks for when it picks a number, and its TCP port (on 127.0.0.1 and
    ::1, bound but never listening), where Xlib tries the display when its sockets fail."""
    for _ in range(200):
        number = random.randint(1000, 13999)  # TCP ports 7000-19999, below OWN_PORTS
        lock = "/tmp/.X%d-lock" % number
        try:
            fd = os.open(lock, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o444)
        except FileExistsError:
            continue
        with os.fdopen(fd, "w") as f:
            f.write("%10d\n" % os.getpid())
        test.addCleanup(os.unlink, lock)
        holders = []
        try:
            for family, host in ((socket.AF_INET, "127.0.0.1"), (socket.AF_INET6, "::1")):
                holder = socket.socket(family)
                holders.append(holder)
                try:
                    holder.bind((host, _x_tcp_port(number)))
                except OSError as error:
                    if error.errno != errno.EADDRNOTAVAIL or family != socket.AF_INET6:
                        raise
        except OSError as error:
            if error.errno != errno.EADDRINUSE:
                raise
            for holder in holders:
                holder.close()
            continue
        for holder in holders:
            test.addCleanup(holder.close)
        if not display_answers(number):
            return number
    raise RuntimeError("no display number without a server of its own could be had")


def port_answers(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.5):
            return True
    except OSError:
        return False


class NginxServer:
    """Debian's nginx serving a folder on 127.0.0.1:port, as a child process with its own
    configuration and an access log that the test reads."""

    def __init__(self, test, root, port):
        self.port = port
        self.prefix = tempfile.mkdtemp(prefix="velm-e2e-nginx-")
        test.addCleanup(shutil.rmtree, self.prefix, True)
        self.access_log = os.path.join(self.prefix, "access.log")
        self.error_log = os.path.join(self.prefix, "error.log")
        conf = os.path.join(self.prefix, "nginx.conf")
        temp = os.path.join(self.prefix, "temp")
        os.mkdir(temp)
        with open(conf, "w") as f:
            f.write(f"""
user root;
worker_processes 1;
pid {self.prefix}/nginx.pid;
error_log {self.error_log} info;
events {{ worker_connections 64; }}
http {{
    default_type application/octet-stream;
    log_format e2e '$status "$request" $body_bytes_sent';
    access_log {self.access_log} e2e;
    client_body_temp_path {temp}/body;
    proxy_temp_path {temp}/proxy;
    fastcgi_temp_path {temp}/fastcgi;
    uwsgi_temp_path {temp}/uwsgi;
    scgi_temp_path {temp}/scgi;
    server {{
        listen 127.0.0.1:{port};
        root {root};
        location / {{ }}
    }}
}}
""")
        wait_until(lambda: port_is_free(port), 10, "port %d to be free" % port)
        nginx = os.environ.get("VELM_E2E_NGINX", "nginx")
        self.process = subprocess.Popen([nginx, "-p", self.prefix, "-e", self.error_log, "-c", conf,
                                         "-g", "daemon off;"],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE)
        test.addCleanup(self.stop)

        def ready():
            if self.process.poll() is not None:
                raise AssertionError("nginx ended: %s" % self.process.stderr.read().decode(errors="replace"))
            return port_answers(port)
        wait_until(ready, 10, "nginx to listen on port %d" % port)

    def requests(self):
        """[(status, request line)] in the order served."""
        if not os.path.exists(self.access_log):
            return []
        entries = []
        with open(self.access_log) as f:
            for line in f:
                status, _, rest = line.strip().partition(" ")
                entries.append((int(status), rest.split('"')[1]))
        return entries

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=10)
        self.process.stderr.close()


class ScriptedServer:
    """A small HTTP server on 127.0.0.1:port whose answers a test scripts.

    routes maps a path to a function (server, handler, count) that answers the count-th request
    (from 1) for that path; each request's path and query are recorded. A handler that holds a
    transfer open waits on server.release, which the server sets when it stops. request_headers
    holds (path, {header: value}) of each request, in the order they came, and connections the
    number of connections accepted, with a request or without. Port 0 takes a free
    port of its own (see own_port), then in self.port; with tls (an ssl.SSLContext for a server)
    it speaks https."""

    def __init__(self, test, port, routes, tls=None):
        self.port, self.routes = port, routes
        self.log = []
        self.request_headers = []
        self.counts = collections.Counter()
        self.connections = 0
        self.release = threading.Event()
        self.lock = threading.Lock()
        outer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_GET(self):
                parts = urllib.parse.urlsplit(self.path)
                with outer.lock:
                    outer.log.append((parts.path, parts.query))
                    outer.request_headers.append((parts.path, {k.lower(): v for k, v in self.headers.items()}))
                    outer.counts[parts.path] += 1
                    count = outer.counts[parts.path]
                route = outer.routes.get(parts.path)
                try:
                    if route is None:
                        self.answer(404, b"not here")
                    else:
                        route(outer, self, count)
                except (BrokenPipeError, ConnectionResetError):
                    pass
                self.close_connection = True

            def answer(self, status, body, length=None, content_type="application/octet-stream"):
                self.send_response(status)
                self.send_header("Content-Type", content_type)
                self.send_header("Content-Length", str(len(body) if length is None else length))
                self.send_header("Connection", "close")
                self.end_headers()
                self.wfile.write(body)
                self.wfile.flush()

            def log_message(self, *args):
                pass

        class Server(http.server.ThreadingHTTPServer):
            def verify_request(self, request, client_address):
                with outer.lock:
                    outer.connections += 1
                return True

        if port == 0:
            self.httpd = own_port(lambda p: Server(("127.0.0.1", p), Handler))
        else:
            wait_until(lambda: port_is_free(port), 10, "port %d to be free" % port)
            self.httpd = Server(("127.0.0.1", port), Handler)
        self.port = self.httpd.server_address[1]
        if tls is not None:
            self.httpd.socket = tls.wrap_socket(self.httpd.socket, server_side=True)
        self.httpd.daemon_threads = True
        self.thread = threading.Thread(target=self.httpd.serve_forever, kwargs={"poll_interval": 0.1},
                                       daemon=True)
        self.thread.start()
        test.addCleanup(self.stop)

    def requests_for(self, path):
        with self.lock:
            return self.counts[path]

    def stop(self):
        self.release.set()
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join(timeout=10)


def serve_json(document):
    body = json.dumps(document).encode()
    return lambda server, handler, count: handler.answer(200, body, content_type="application/json")


def serve_bytes(data):
    return lambda server, handler, count: handler.answer(200, data)


def _send_start(handler, data, sent):
    """Answers 200 announcing all of data, and sends its first `sent` bytes."""
    handler.send_response(200)
    handler.send_header("Content-Type", "application/octet-stream")
    handler.send_header("Content-Length", str(len(data)))
    handler.end_headers()
    handler.wfile.write(data[:sent])
    handler.wfile.flush()


def serve_partly_then_hold(data, sent):
    """Announces all of data, sends its first `sent` bytes and then holds the transfer open until
    the client goes away or the server stops (at most 60 s)."""
    def route(server, handler, count):
        _send_start(handler, data, sent)
        _hold_open(server, handler, 60)
    return route


def _hold_open(server, handler, seconds):
    """Sends nothing more and keeps the connection open until the client closes it, the server
    stops or `seconds` have passed."""
    handler.connection.settimeout(0.2)
    deadline = time.monotonic() + seconds
    while not server.release.is_set() and time.monotonic() < deadline:
        try:
            if handler.connection.recv(1) == b"":
                return
        except socket.timeout:
            continue
        except OSError:
            return


def hold_without_answer(seconds=60):
    """Takes the request and never answers it, not even with a status line: the connection stays
    open until the client gives up or the server stops (at most `seconds`)."""
    return lambda server, handler, count: _hold_open(server, handler, seconds)


def serve_partly_then_reset(data, sent, pause=0.3):
    """Announces all of data, sends its first `sent` bytes and, once the client has had `pause`
    seconds to read them, resets the connection: with SO_LINGER set to 0, closing sends RST
    rather than FIN."""
    def route(server, handler, count):
        _send_start(handler, data, sent)
        time.sleep(pause)
        connection = handler.connection
        connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        # The handler's reader holds a reference to the socket, so close() alone would wait for
        # it: the descriptor is taken out of the socket object and closed here and now.
        os.close(connection.detach())
    return route


def serve_with_excess(data, excess, hold=False):
    """Announces data's length but sends data followed by excess, in one write; then closes the
    connection, or with hold keeps it open (at most 60 s)."""
    def route(server, handler, count):
        handler.send_response(200)
        handler.send_header("Content-Type", "application/octet-stream")
        handler.send_header("Content-Length", str(len(data)))
        handler.end_headers()
        handler.wfile.write(data + excess)
        handler.wfile.flush()
        if hold:
            _hold_open(server, handler, 60)
    return route


def serve_endlessly(closed, limit=256 * 1024 * 1024, seconds=60):
    """Answers 200 without a length and sends zeros until the client closes the connection, which
    sets the event closed. A client that never stops still gets no more than `limit` bytes: the
    server then closes the connection itself, as it does after `seconds` or when it stops."""
    def route(server, handler, count):
        handler.send_response(200)
        handler.send_header("Content-Type", "application/octet-stream")
        handler.send_header("Connection", "close")
        handler.end_headers()
        handler.wfile.flush()
        connection = handler.connection
        connection.settimeout(0.2)
        block = bytes(64 * 1024)
        sent = 0
        deadline = time.monotonic() + seconds
        while sent < limit and not server.release.is_set() and time.monotonic() < deadline:
            try:
                sent += connection.send(block)
            except socket.timeout:
                continue
            except (BrokenPipeError, ConnectionResetError):
                closed.set()
                return
    return route


def redirect_to(location, status=302):
    """An empty redirect answer to location."""
    def route(server, handler, count):
        handler.send_response(status)
        handler.send_header("Location", location)
        handler.send_header("Content-Length", "0")
        handler.send_header("Connection", "close")
        handler.end_headers()
    return route


def mount_namespace_prefix(test, purpose, binds):
    """The command prefix that runs the program in a mount namespace of its own where each file
    of binds, (source, target), is mounted over its target: nothing changes on the machine, and
    the namespace ends with the program. The test is skipped, with the reason printed, where this
    process may not make one (it needs root)."""
    if os.geteuid() != 0:
        skip_test(test, "a mount namespace for %s needs root" % purpose)
    probe = subprocess.run(["unshare", "--mount", "true"], capture_output=True, text=True, timeout=20)
    if probe.returncode != 0:
        skip_test(test, "no mount namespace can be made here: " + (probe.stderr.strip() or "unshare failed"))
    mounts = " && ".join('mount --bind "${%d}" "${%d}"' % (2 * i + 1, 2 * i + 2) for i in range(len(binds)))
    return ["unshare", "--mount", "--propagation", "private", "sh", "-c",
            '%s && shift %d && exec "$@"' % (mounts, 2 * len(binds)), "sh",
            *(path for bind in binds for path in bind)]


# Where the system's libcurl finds the certificates that it trusts (curl-config --ca).
CA_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"


def trusted_certificate(test):
    """A certificate for 127.0.0.1 that the program trusts, and nothing else does: the server's
    ssl.SSLContext, and the command prefix that runs the program where the system's bundle of
    trusted certificates holds this one alone."""
    if not os.path.isfile(CA_BUNDLE):
        skip_test(test, "there is no bundle of trusted certificates at " + CA_BUNDLE)
    folder = tempfile.mkdtemp(prefix="velm-e2e-tls-")
    test.addCleanup(shutil.rmtree, folder, True)
    key, cert = os.path.join(folder, "key.pem"), os.path.join(folder, "cert.pem")
    prefix = mount_namespace_prefix(test, "the program's trusted certificates", [(cert, CA_BUNDLE)])
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-keyout", key, "-out", cert, "-subj", "/CN=velm-e2e %s" % os.path.basename(folder),
                    "-addext", "subjectAltName=IP:127.0.0.1"],
                   check=True, capture_output=True, timeout=60)

    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    return context, prefix


class SilentNameServer:
    """A name server of the test's own on port 53 of an address in 127.0.0.0/8 that the bind
    takes for it: it takes every query and never answers one. With listening=False nothing
    listens there: the socket that holds the address is connected to a peer that never sends,
    so the system refuses every query to it. names holds the name of each query, in order."""

    def __init__(self, test, listening=True):
        self.names = []
        self.lock = threading.Lock()
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        test.addCleanup(self.socket.close)
        for _ in range(200):
            self.address = "127.%d.%d.%d" % (random.randint(1, 254), random.randint(0, 255), random.randint(1, 254))
            try:
                self.socket.bind((self.address, 53))
                break
            except OSError as error:
                if error.errno == errno.EACCES:
                    skip_test(test, "a name server on port 53 needs root")
                if error.errno != errno.EADDRINUSE:
                    raise
        else:
            skip_test(test, "port 53 is taken on every address tried: a name server of the machine's holds it")
        if not listening:
            self.socket.connect((self.address, 1))
            return
        self.socket.settimeout(0.1)
        self.stopped = threading.Event()
        thread = threading.Thread(target=self._take_queries, daemon=True)
        thread.start()
        test.addCleanup(thread.join, 5)
        test.addCleanup(self.stopped.set)

    def _take_queries(self):
        while not self.stopped.is_set():
            try:
                query = self.socket.recv(4096)
            except socket.timeout:
                continue
            except OSError:
                return
            labels, at = [], 12  # the question follows the 12-byte header
            while at < len(query) and query[at] != 0:
                labels.append(query[at + 1:at + 1 + query[at]].decode("ascii", "replace"))
                at += 1 + query[at]
            with self.lock:
                self.names.append(".".join(labels))

    def asked_for(self, name):
        with self.lock:
            return name in self.names


def resolver_prefix(test, name_server, hosts=()):
    """The command prefix that runs the program where the system looks names up in a hosts file
    of hosts, pairs (address, name), and then asks name_server alone, giving it glibc's usual
    10 s a try, twice."""
    folder = tempfile.mkdtemp(prefix="velm-e2e-resolver-")
    test.addCleanup(shutil.rmtree, folder, True)
    files = {"resolv.conf": "nameserver %s\noptions timeout:10 attempts:2\n" % name_server.address,
             "hosts": "127.0.0.1 localhost\n" + "".join("%s %s\n" % pair for pair in hosts),
             "nsswitch.conf": "hosts: files dns\n"}
    for name, text in files.items():
        with open(os.path.join(folder, name), "w") as f:
            f.write(text)
    return mount_namespace_prefix(test, "the program's name server",
                                  [(os.path.join(folder, name), "/etc/" + name) for name in files])


#==================================================================================================
# What a run leaves on disk

Entry = collections.namedtuple("Entry", "kind size mtime_ns link digest")


def tree_snapshot(root):
    """{path relative to root: Entry} of everything below root, without following links. A file's
    digest is its SHA-256, so that a write that keeps size and time still shows."""
    entries = {}
    for folder, dirs, names in os.walk(root):
        for name in dirs + names:
            path = os.path.join(folder, name)
            st = os.lstat(path)
            link = digest = None
            if stat.S_ISLNK(st.st_mode):
                kind, link = "link", os.readlink(path)
            elif stat.S_ISDIR(st.st_mode):
                kind = "dir"
            elif stat.S_ISREG(st.st_mode):
                kind = "file"
                sha = hashlib.sha256()
                with open(path, "rb") as f:
                    for block in iter(lambda: f.read(1 << 20), b""):
                        sha.update(block)
                digest = sha.hexdigest()
            else:
                kind = "other"
            entries[os.path.relpath(path, root)] = Entry(kind, st.st_size if kind == "file" else 0,
                                                         st.st_mtime_ns, link, digest)
    return entries


def snapshot_changes(before, after, allowed=()):
    """The paths, outside those allowed (a path allows everything below it too), that were added,
    removed or changed between two snapshots of one folder."""
    def free(path):
        return any(path == a or path.startswith(a + os.sep) for a in allowed)
    changes = []
    for path in sorted(set(before) | set(after)):
        if free(path):
            continue
        if path not in after:
            changes.append(("removed", path))
        elif path not in before:
            changes.append(("added", path))
        elif before[path] != after[path]:
            changes.append(("changed", path))
    return changes


class Tmpfs:
    """A small volume of its own: a tmpfs mounted on a fresh folder for one test and unmounted
    when the test ends. The test is skipped, with the reason printed, where this process may not
    mount one."""

    def __init__(self, test, size):
        if os.geteuid() != 0:
            skip_test(test, "mounting a tmpfs needs root")
        self.path = tempfile.mkdtemp(prefix="velm-e2e-tmpfs-")
        done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%d,mode=0755" % size, "velm-e2e", self.path],
                              capture_output=True, text=True, timeout=20)
        if done.returncode != 0:
            os.rmdir(self.path)
            skip_test(test, "cannot mount a tmpfs: " + (done.stderr.strip() or "mount failed"))
        self.mounts = 1
        test.addCleanup(self.unmount)

    def free_bytes(self):
        st = os.statvfs(self.path)
        return st.f_bavail * st.f_frsize

    def make_read_only(self):
        """Lays a read-only view of the volume over its folder: from now on every path through
        the folder is read-only, while a file that is already open for writing can still be
        written. (A read-only remount of the volume itself is refused, with EBUSY, as long as any
        file on it is open for writing.)"""
        subprocess.run(["mount", "--bind", "-o", "ro", self.path, self.path], check=True,
                       capture_output=True, timeout=20)
        self.mounts += 1

    def unmount(self):
        while self.mounts > 0:
            done = subprocess.run(["umount", self.path], capture_output=True, timeout=20)
            if done.returncode != 0:
                # Something still holds it: detached now, freed once it lets go.
                subprocess.run(["umount", "-l", self.path], capture_output=True, timeout=20)
            self.mounts -= 1
        with contextlib.suppress(OSError):
            os.rmdir(self.path)


class WindowLog:
    """Every window of one run that the test saw while it waited for something: each look at the
    display (every 50 ms while waiting) records the windows of the run, so that a box shown and
    gone between two steps of the test still counts."""

    def __init__(self, run):
        self.run = run
        self.seen = set()  # (window id, name)
        self.most_at_once = 0

    def look(self):
        current = windows_of(self.run)
        self.seen.update((w.id, w.name) for w in current)
        self.most_at_once = max(self.most_at_once, len(current))
        return current

    def names(self):
        return sorted({name for _, name in self.seen})

    def wait_until(self, predicate, timeout, what):
        def step():
            self.look()
            return predicate()
        return wait_until(step, timeout, what)

    def wait_window(self, name, timeout):
        def find():
            for w in self.look():
                if w.name == name:
                    return w
            if not self.run.running():
                raise AssertionError("the program ended (exit code %s) before showing %r; it showed %s"
                                     % (self.run.process.returncode, name, self.names()))
            return None
        try:
            return wait_until(find, timeout, "a window named %r" % name)
        except AssertionError as error:
            raise AssertionError("%s; it showed %s" % (error, self.names())) from None

    def watch(self, seconds):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            self.look()
            time.sleep(0.05)

    def wait_exit(self, timeout):
        """The exit code, watching the windows until the program ends."""
        deadline = time.monotonic() + timeout
        while self.run.running() and time.monotonic() < deadline:
            self.look()
            time.sleep(0.05)
        if self.run.running():
            raise AssertionError("%s still running %.1f s later; it showed %s"
                                 % (self.run.product.key, timeout, self.names()))
        return self.run.wait_exit(1.0)


def hold_machine_lock(name, timeout=240):
    """An exclusive lock for the whole machine, kept open until the returned file is closed.

    Product names (the programs' single-instance locks) and ports are fixed per test class, so two
    runs of the suite on one machine (a developer's and a CI run, say) must take turns class by
    class rather than stop each other's programs from starting."""
    f = open(os.path.join("/var/tmp", "velm-e2e-%s.lock" % name), "w")
    deadline = time.monotonic() + timeout
    while True:
        try:
            fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return f
        except BlockingIOError:
            if time.monotonic() >= deadline:
                f.close()
                raise RuntimeError("another run of the %s tests held the machine for %d s" % (name, timeout))
            time.sleep(0.2)


class E2ETestCase(unittest.TestCase):
    """Assertions on the display shared by the end-to-end tests."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        lock = hold_machine_lock(cls.__name__)
        cls.addClassCleanup(lock.close)

    _case_cleanups = None

    def addCleanup(self, function, *args, **kwargs):
        # Inside a case, what a case starts ends with the case, so that a failed case leaves no
        # program or server behind for the next one.
        if self._case_cleanups is not None:
            self._case_cleanups.append((function, args, kwargs))
        else:
            super().addCleanup(function, *args, **kwargs)

    @contextlib.contextmanager
    def case(self, **params):
        """One row of a table of cases: a subTest with cleanups of its own."""
        with self.subTest(**params):
            self._case_cleanups = []
            try:
                yield
            finally:
                cleanups, self._case_cleanups = self._case_cleanups, None
                for function, args, kwargs in reversed(cleanups):
                    function(*args, **kwargs)

    def start(self, key_or_product, *args, **kwargs):
        prod = key_or_product if isinstance(key_or_product, Product) else product(key_or_product)
        return ProgramRun(self, prod, args, **kwargs)

    def start_to_first_box(self, prod, *args, **kwargs):
        """Starts a product and waits for its window and its first question."""
        run = self.start(prod, *args, **kwargs)
        main = wait_window(run.product.title, run)
        box = wait_box("Select download location", run)
        return run, main, box

    def start_default_run(self, prod, *args, **kwargs):
        """Starts a product and answers its first question with "Default"."""
        run, main, box = self.start_to_first_box(prod, *args, **kwargs)
        press(box, "Return")
        wait_gone(box)
        return run, main

    def assert_window_names(self, run, expected, settle=0.5):
        """The windows of run, by name, after a short settling time: exactly those expected."""
        time.sleep(settle)
        self.assertEqual(sorted(w.name for w in windows_of(run)), sorted(expected))

    def assert_text_colour(self, image, origin, bounds, background, colour, others=(), minimum=10):
        """Every pixel of the text inside bounds mixes only the background and colour, and some
        come close to the colour itself: the text is drawn in that colour."""
        background, colour = as_rgb(background), as_rgb(colour)
        pixels = text_pixels(image, origin, bounds, background, others)
        self.assertGreaterEqual(len(pixels), minimum, "too little text to be seen in %s" % (bounds,))
        amounts = [coverage(p, background, colour) for p in pixels]
        strays = [p for p, a in zip(pixels, amounts) if a is None]
        self.assertFalse(strays, "%d pixels in %s are no mix of %s and %s, such as %s"
                         % (len(strays), bounds, background, colour, strays[:5]))
        self.assertGreaterEqual(max(amounts), 0.75, "the text never reaches %s" % (colour,))

    def assert_ends(self, run, expected_code=0, timeout=EXIT_TIMEOUT):
        self.assertEqual(run.wait_exit(timeout), expected_code)
