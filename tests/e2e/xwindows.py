"""The few X11 calls the end-to-end tests need, made through ctypes on libX11.

There is no window manager on the test display, so every window and box of the program is a
top-level child of the root window, named by its title. This module lists them, reads their
pixels and sends them what a window manager's close button would send.

One connection is opened per test process and kept open for its whole life: Xvfb resets itself
(forgetting every atom interned so far) when its last client disconnects.
"""

import ctypes
import ctypes.util
import struct
import zlib

_lib = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")

Window = ctypes.c_ulong
Atom = ctypes.c_ulong

IS_VIEWABLE = 2
Z_PIXMAP = 2
ANY_PROPERTY_TYPE = 0
CLIENT_MESSAGE = 33


class XWindowAttributes(ctypes.Structure):
    _fields_ = [
        ("x", ctypes.c_int), ("y", ctypes.c_int),
        ("width", ctypes.c_int), ("height", ctypes.c_int),
        ("border_width", ctypes.c_int), ("depth", ctypes.c_int),
        ("visual", ctypes.c_void_p), ("root", Window),
        ("c_class", ctypes.c_int), ("bit_gravity", ctypes.c_int),
        ("win_gravity", ctypes.c_int), ("backing_store", ctypes.c_int),
        ("backing_planes", ctypes.c_ulong), ("backing_pixel", ctypes.c_ulong),
        ("save_under", ctypes.c_int), ("colormap", ctypes.c_ulong),
        ("map_installed", ctypes.c_int), ("map_state", ctypes.c_int),
        ("all_event_masks", ctypes.c_long), ("your_event_mask", ctypes.c_long),
        ("do_not_propagate_mask", ctypes.c_long), ("override_redirect", ctypes.c_int),
        ("screen", ctypes.c_void_p),
    ]


class XImage(ctypes.Structure):
    _fields_ = [
        ("width", ctypes.c_int), ("height", ctypes.c_int),
        ("xoffset", ctypes.c_int), ("format", ctypes.c_int),
        ("data", ctypes.POINTER(ctypes.c_ubyte)),
        ("byte_order", ctypes.c_int), ("bitmap_unit", ctypes.c_int),
        ("bitmap_bit_order", ctypes.c_int), ("bitmap_pad", ctypes.c_int),
        ("depth", ctypes.c_int), ("bytes_per_line", ctypes.c_int),
        ("bits_per_pixel", ctypes.c_int),
        ("red_mask", ctypes.c_ulong), ("green_mask", ctypes.c_ulong),
        ("blue_mask", ctypes.c_ulong),
        # obdata and the function table follow; they are not read here.
    ]


class XClientMessageEvent(ctypes.Structure):
    _fields_ = [
        ("type", ctypes.c_int), ("serial", ctypes.c_ulong),
        ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
        ("window", Window), ("message_type", Atom),
        ("format", ctypes.c_int), ("data", ctypes.c_long * 5),
    ]


class XEvent(ctypes.Union):
    _fields_ = [("xclient", XClientMessageEvent), ("pad", ctypes.c_long * 24)]


_lib.XOpenDisplay.restype = ctypes.c_void_p
_lib.XOpenDisplay.argtypes = [ctypes.c_char_p]
_lib.XDefaultRootWindow.restype = Window
_lib.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
_lib.XInternAtom.restype = Atom
_lib.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
_lib.XQueryTree.argtypes = [ctypes.c_void_p, Window, ctypes.POINTER(Window), ctypes.POINTER(Window),
                            ctypes.POINTER(ctypes.POINTER(Window)), ctypes.POINTER(ctypes.c_uint)]
_lib.XGetWindowAttributes.argtypes = [ctypes.c_void_p, Window, ctypes.POINTER(XWindowAttributes)]
_lib.XGetWindowProperty.argtypes = [ctypes.c_void_p, Window, Atom, ctypes.c_long, ctypes.c_long,
                                    ctypes.c_int, Atom, ctypes.POINTER(Atom), ctypes.POINTER(ctypes.c_int),
                                    ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.c_ulong),
                                    ctypes.POINTER(ctypes.c_void_p)]
_lib.XFree.argtypes = [ctypes.c_void_p]
_lib.XGetAtomName.restype = ctypes.c_void_p
_lib.XGetAtomName.argtypes = [ctypes.c_void_p, Atom]
_lib.XTranslateCoordinates.argtypes = [ctypes.c_void_p, Window, Window, ctypes.c_int, ctypes.c_int,
                                       ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_int),
                                       ctypes.POINTER(Window)]
_lib.XGetImage.restype = ctypes.POINTER(XImage)
_lib.XGetImage.argtypes = [ctypes.c_void_p, Window, ctypes.c_int, ctypes.c_int, ctypes.c_uint,
                           ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
_lib.XDestroyImage.argtypes = [ctypes.POINTER(XImage)]
_lib.XSendEvent.argtypes = [ctypes.c_void_p, Window, ctypes.c_int, ctypes.c_long, ctypes.POINTER(XEvent)]
_lib.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]

# A window may go away between the listing and the next query: such errors are expected here,
# and Xlib's default handler would end the test process.
_ERROR_HANDLER_TYPE = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
_ignore_errors = _ERROR_HANDLER_TYPE(lambda display, event: 0)
_lib.XSetErrorHandler(_ignore_errors)

_display = None


def display():
    global _display
    if _display is None:
        _display = _lib.XOpenDisplay(None)
        if not _display:
            raise RuntimeError("cannot open the X display (is DISPLAY set?)")
    return _display


def root():
    return _lib.XDefaultRootWindow(display())


def intern_atom(name):
    """Creates the atom if needed, as a window manager does for the hints it reads."""
    return _lib.XInternAtom(display(), name.encode(), 0)


def get_property(window, name):
    """(type name, format, list of items or bytes) of a window property, or None."""
    d = display()
    atom = _lib.XInternAtom(d, name.encode(), 1)
    if not atom:
        return None
    actual_type, actual_format = Atom(), ctypes.c_int()
    nitems, after, data = ctypes.c_ulong(), ctypes.c_ulong(), ctypes.c_void_p()
    status = _lib.XGetWindowProperty(d, window, atom, 0, 4096, 0, ANY_PROPERTY_TYPE,
                                     ctypes.byref(actual_type), ctypes.byref(actual_format),
                                     ctypes.byref(nitems), ctypes.byref(after), ctypes.byref(data))
    if status != 0 or not actual_type.value:
        if data.value:
            _lib.XFree(data)
        return None
    try:
        n = nitems.value
        if actual_format.value == 8:
            items = ctypes.string_at(data.value, n)
        elif actual_format.value == 16:
            items = list((ctypes.c_short * n).from_address(data.value))
        else:
            # Xlib hands 32-bit items over as longs.
            items = list((ctypes.c_long * n).from_address(data.value))
        return atom_name(actual_type.value), actual_format.value, items
    finally:
        _lib.XFree(data)


def atom_name(atom):
    p = _lib.XGetAtomName(display(), atom)
    if not p:
        return None
    try:
        return ctypes.string_at(p).decode()
    finally:
        _lib.XFree(p)


def window_name(window):
    """The title: _NET_WM_NAME, else WM_NAME (which the framework stores as UTF8_STRING)."""
    for name in ("_NET_WM_NAME", "WM_NAME"):
        prop = get_property(window, name)
        if prop is not None and prop[1] == 8:
            return prop[2].decode("latin-1" if prop[0] == "STRING" else "utf-8", "replace")
    return None


def geometry(window):
    """(x, y, width, height) of a window in root coordinates, or None when it is gone."""
    attrs = XWindowAttributes()
    if not _lib.XGetWindowAttributes(display(), window, ctypes.byref(attrs)):
        return None
    x, y, child = ctypes.c_int(), ctypes.c_int(), Window()
    _lib.XTranslateCoordinates(display(), window, root(), 0, 0, ctypes.byref(x), ctypes.byref(y),
                               ctypes.byref(child))
    return x.value, y.value, attrs.width, attrs.height


def top_level_windows():
    """[(id, name)] of the mapped top-level windows, bottom first."""
    d = display()
    root_return, parent_return = Window(), Window()
    children, count = ctypes.POINTER(Window)(), ctypes.c_uint()
    _lib.XSync(d, 0)
    if not _lib.XQueryTree(d, root(), ctypes.byref(root_return), ctypes.byref(parent_return),
                           ctypes.byref(children), ctypes.byref(count)):
        return []
    ids = [children[i] for i in range(count.value)]
    if children:
        _lib.XFree(children)
    result = []
    for w in ids:
        attrs = XWindowAttributes()
        if not _lib.XGetWindowAttributes(d, w, ctypes.byref(attrs)):
            continue
        if attrs.map_state != IS_VIEWABLE:
            continue
        result.append((w, window_name(w)))
    return result


def _send_client_message(window, message_type, value):
    d = display()
    event = XEvent()
    event.xclient.type = CLIENT_MESSAGE
    event.xclient.window = window
    event.xclient.message_type = intern_atom(message_type)
    event.xclient.format = 32
    event.xclient.data[0] = value
    event.xclient.data[1] = 0  # CurrentTime
    if not _lib.XSendEvent(d, window, 0, 0, ctypes.byref(event)):
        raise RuntimeError("XSendEvent failed")
    _lib.XSync(d, 0)


def send_close(window):
    """What a window manager's close button sends: WM_PROTOCOLS with WM_DELETE_WINDOW."""
    _send_client_message(window, "WM_PROTOCOLS", intern_atom("WM_DELETE_WINDOW"))


def send_nudge(window):
    """A client message of a type that no program acts on: all it does is arrive, and so make
    the program's connection readable."""
    _send_client_message(window, "VELM_TEST_NUDGE", 0)


class Image:
    """An RGB picture read from the screen; pixel (x, y) is an (r, g, b) tuple."""

    def __init__(self, width, height, rgb):
        self.width, self.height, self.rgb = width, height, rgb

    def pixel(self, x, y):
        i = (y * self.width + x) * 3
        return tuple(self.rgb[i:i + 3])

    def save_png(self, path):
        raw = b"".join(b"\x00" + self.rgb[r * self.width * 3:(r + 1) * self.width * 3] for r in range(self.height))

        def chunk(kind, body):
            return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

        with open(path, "wb") as f:
            f.write(b"\x89PNG\r\n\x1a\n")
            f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", self.width, self.height, 8, 2, 0, 0, 0)))
            f.write(chunk(b"IDAT", zlib.compress(raw)))
            f.write(chunk(b"IEND", b""))


def _mask_shift(mask):
    shift = 0
    while mask and not mask & 1:
        mask >>= 1
        shift += 1
    return shift


def screenshot(window=None):
    """The pixels of a window (what the screen shows inside its area) or of the whole screen."""
    d = display()
    target = window or root()
    g = geometry(target)
    if g is None:
        raise RuntimeError("window 0x%x is gone" % target)
    _, _, width, height = g
    _lib.XSync(d, 0)
    image = _lib.XGetImage(d, target, 0, 0, width, height, 0xFFFFFFFF, Z_PIXMAP)
    if not image:
        raise RuntimeError("XGetImage failed for 0x%x" % target)
    try:
        im = image.contents
        if im.bits_per_pixel != 32:
            raise RuntimeError("unexpected %d bits per pixel" % im.bits_per_pixel)
        data = ctypes.string_at(im.data, im.bytes_per_line * im.height)
        rgb = bytearray(width * height * 3)
        standard = (im.byte_order == 0 and im.bytes_per_line == width * 4
                    and (im.red_mask, im.green_mask, im.blue_mask) == (0xFF0000, 0xFF00, 0xFF))
        if standard:
            # Each pixel is stored as blue, green, red, padding.
            rgb[0::3], rgb[1::3], rgb[2::3] = data[2::4], data[1::4], data[0::4]
        else:
            shifts = [_mask_shift(m) for m in (im.red_mask, im.green_mask, im.blue_mask)]
            order = "little" if im.byte_order == 0 else "big"
            o = 0
            for y in range(height):
                row = y * im.bytes_per_line
                for x in range(width):
                    v = int.from_bytes(data[row + 4 * x:row + 4 * x + 4], order)
                    rgb[o:o + 3] = bytes(((v >> s) & 0xFF) for s in shifts)
                    o += 3
        return Image(width, height, bytes(rgb))
    finally:
        _lib.XDestroyImage(image)
