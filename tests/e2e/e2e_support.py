"""What the end-to-end drivers share: starting copies of the real program in folders of their
own, finding and working their widgets through the accessibility tree, screenshots, and ending
exactly the processes a driver started.

Runs inside a D-Bus session on an X display that the calling script provides (session.sh).
"""

import ctypes
import os
import random
import shutil
import signal
import socket
import struct
import subprocess
import time

import pyatspi

TITLE = "ぼくしれん"
STEP_TIMEOUT = 10.0

started = []  # processes the driver started, ended by their own process id
copies = []  # copies of the program the driver started


class Failure(Exception):
    pass


# The wire as an older partner speaks it, for the scripted partners of the tests: a packet is the
# magic, two bytes of nothing, its whole length and its command, then its body.
MAGIC = b"VOXILEN"


def packet(command, body):
    return MAGIC + b"\0\0" + struct.pack("<IB", 14 + len(body), command) + body


def read_exactly(sock, count):
    data = b""
    while len(data) < count:
        chunk = sock.recv(count - len(data))
        if not chunk:
            raise Failure("the program closed the connection")
        data += chunk
    return data


def log(text):
    print(f"[e2e {time.strftime('%H:%M:%S')}] {text}", flush=True)


def wait_for(what, predicate, timeout=STEP_TIMEOUT):
    deadline = time.monotonic() + timeout
    while True:
        try:
            result = predicate()
        except Exception:  # a widget that went away mid-walk: look again
            result = None
        if result:
            return result
        if time.monotonic() > deadline:
            raise Failure(f"timed out waiting for {what}")
        time.sleep(0.05)


_ports_given = set()


def _ephemeral_low():
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            return int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        return 32768


def free_port():
    """A port nobody listens on, for a program that opens it a moment later. It comes from
    below the range the system hands out to outgoing connections: a port from that range may
    be taken by any connection in between (the program then fails with "Address already in
    use"). Not the same port twice in one run."""
    low = _ephemeral_low()
    rng = random.Random(os.getpid() ^ time.monotonic_ns())
    for _ in range(200):
        port = rng.randrange(max(1024, low - 12000), low)
        if port in _ports_given:
            continue
        try:
            with socket.socket() as s:
                s.bind(("", port))
        except OSError:
            continue
        _ports_given.add(port)
        return port
    raise RuntimeError("no free port below the ephemeral range")


def walk(acc):
    yield acc
    for i in range(acc.childCount):
        child = acc.getChildAtIndex(i)
        if child is not None:
            yield from walk(child)


def find(root, role, name=None, contains=None):
    for acc in walk(root):
        if acc.getRoleName() != role:
            continue
        if name is not None and acc.name != name:
            continue
        if contains is not None and contains not in (acc.name or ""):
            continue
        return acc
    return None


def need(root, role, name=None, contains=None):
    return wait_for(f"{role} '{name or contains}'", lambda: find(root, role, name, contains))


def text_of(acc):
    t = acc.queryText()
    return t.getText(0, t.characterCount)


def press(acc):
    acc.queryAction().doAction(0)


def app_of(process):
    desktop = pyatspi.Registry.getDesktop(0)
    for i in range(desktop.childCount):
        app = desktop.getChildAtIndex(i)
        try:
            if app is not None and app.get_process_id() == process.pid:
                return app
        except Exception:
            pass
    return None


def menu_item(app, menu, item):
    """The item of a menu bar's menu, found by the menu's caption and its own."""
    bar = need(app, "menu bar")
    for i in range(bar.childCount):
        top = bar.getChildAtIndex(i)
        if top.name == menu and top.childCount > 0:
            found = find(top.getChildAtIndex(0), "menu item", item)
            if found is not None:
                return found
    raise Failure(f"no menu item {menu} > {item}")


def top_level(app, role, name):
    return wait_for(f"{role} '{name}'", lambda: next(
        (app.getChildAtIndex(i) for i in range(app.childCount)
         if app.getChildAtIndex(i).getRoleName() == role and app.getChildAtIndex(i).name == name),
        None))


def centre(acc):
    ext = acc.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    return ext.x + ext.width // 2, ext.y + ext.height // 2


def click(acc):
    x, y = centre(acc)
    pyatspi.Registry.generateMouseEvent(x, y, "b1c")


class Pointer:
    """The mouse of another X display, moved and pressed through its XTEST extension (the
    accessibility registry drives the first display only)."""

    def __init__(self, display):
        self.x11 = ctypes.CDLL("libX11.so.6")
        self.xtst = ctypes.CDLL("libXtst.so.6")
        self.x11.XOpenDisplay.restype = ctypes.c_void_p
        self.x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
        self.x11.XFlush.argtypes = [ctypes.c_void_p]
        self.x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
        self.xtst.XTestFakeMotionEvent.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int,
                                                   ctypes.c_int, ctypes.c_ulong]
        self.xtst.XTestFakeButtonEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int,
                                                   ctypes.c_ulong]
        self.dpy = self.x11.XOpenDisplay(display.encode())
        if not self.dpy:
            raise Failure(f"cannot open display {display}")

    def button(self, x, y, down):
        self.xtst.XTestFakeMotionEvent(self.dpy, -1, x, y, 0)
        self.xtst.XTestFakeButtonEvent(self.dpy, 1, 1 if down else 0, 0)
        self.x11.XFlush(self.dpy)

    def close(self):
        if self.dpy:
            self.x11.XCloseDisplay(self.dpy)
            self.dpy = None


class Copy:
    """One copy of the program in a folder of its own with its own settings file and login.
    sound: the PULSE_* settings of the sound server it plays to and records from (none: the
    system's); display: the X display it shows on (none: the driver's)."""

    def __init__(self, work, name, exe, ini, runtime_dir, exe_name="Voxilen", sound=None,
                 display=None):
        self.folder = os.path.join(work, name)
        os.makedirs(self.folder)
        self.exe = os.path.join(self.folder, exe_name)
        shutil.copy2(exe, self.exe)
        help_page = os.path.join(os.path.dirname(exe), "Voxilen.html")
        if os.path.exists(help_page):
            shutil.copy2(help_page, self.folder)
        with open(os.path.join(self.folder, exe_name + ".Ini"), "wb") as f:
            f.write(ini.replace("\n", "\r\n").encode("cp932"))
        self.runtime_dir = runtime_dir
        self.sound = dict(sound or {})
        self.display = display
        self.process = None

    def start(self, geometry=None):
        env = dict(os.environ)
        env.update(QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_QPA_PLATFORM="xcb",
                   XDG_RUNTIME_DIR=self.runtime_dir, LC_ALL="C.UTF-8")
        env.update(self.sound)
        if self.display:
            env["DISPLAY"] = self.display
        # -geometry is the toolkit's own X11 option: it only places the window.
        args = [self.exe] + (["-geometry", geometry] if geometry else [])
        self.stderr_path = os.path.join(self.folder, "stderr.txt")
        with open(self.stderr_path, "wb") as stderr:
            self.process = subprocess.Popen(args, cwd=self.folder, env=env,
                                            stdout=subprocess.DEVNULL, stderr=stderr)
        started.append(self.process)
        copies.append(self)
        return self

    def stderr(self):
        with open(self.stderr_path, "rb") as f:
            return f.read().decode(errors="replace")

    def app(self):
        return wait_for(f"{self.exe} on the accessibility bus", lambda: app_of(self.process))

    def window(self):
        # The title carries the own name: "ぼくしれん - はなこ".
        return top_level_where(self.app(), "frame",
                               lambda n: n == TITLE or n.startswith(TITLE + " - "),
                               f"the main window of {self.exe}")

    def members(self):
        return need(self.window(), "list", "メンバーリスト")

    def member_names(self):
        lst = self.members()
        return [lst.getChildAtIndex(i).name for i in range(lst.childCount)]


def screenshot(shot_dir, name, display=None):
    if shot_dir:
        where = ["-display", display] if display else []
        subprocess.run(["import"] + where + ["-window", "root",
                                             os.path.join(shot_dir, name + ".png")],
                       check=False, timeout=20)


def runtime_dir(work, name):
    path = os.path.join(work, "run-" + name)
    os.makedirs(path, mode=0o700)
    return path


def call(copy, partner_name, remembered=False, comment="E2E から", address="127.0.0.1"):
    """Picks 接続 > 接続 and fills the connect dialog; the caller presses its 接続 button."""
    press(menu_item(copy.app(), "接続", "接続"))
    dialog = top_level(copy.app(), "dialog", "接続先を記入してください。")
    partner = need(dialog, "combo box", "相手の名前")
    partner_text = find(partner, "text") or partner
    partner_text.queryEditableText().setTextContents(partner_name)
    address_field = need(dialog, "text", "接続先のアドレス")
    if remembered:
        wait_for("the remembered address", lambda: text_of(address_field) == address)
    else:
        address_field.queryEditableText().setTextContents(address)
        need(dialog, "text", "コメント").queryEditableText().setTextContents(comment)
    return dialog


def accept(copy):
    incoming = top_level(copy.app(), "dialog", "接続要求を受け付けました。")
    press(need(incoming, "push button", "接続"))


def end(copy):
    copy.process.send_signal(signal.SIGTERM)
    code = copy.process.wait(timeout=STEP_TIMEOUT)
    if code != 0:
        raise Failure(f"{copy.exe} ended with {code}")


def stop_started():
    for p in started:
        if p.poll() is None:
            p.send_signal(signal.SIGTERM)
    for p in started:
        try:
            p.wait(timeout=5)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()


def sound_server(env_file):
    """The PULSE_* settings from the "export NAME=value" lines that scripts/pulse/start.sh
    wrote; a copy's login runtime folder stays its own."""
    settings = {}
    if env_file:
        with open(env_file) as f:
            for line in f:
                name, _, value = line.strip().removeprefix("export ").partition("=")
                if name.startswith("PULSE_"):
                    settings[name] = value
    return settings


def drive(body, shot_dir, work):
    """Runs body(); on a failure takes a screenshot, shows what the copies wrote to stderr and
    returns 1. Every started process is ended either way."""
    if shot_dir:
        os.makedirs(shot_dir, exist_ok=True)
    began = time.monotonic()
    try:
        body()
    except Failure as failure:
        screenshot(shot_dir or work, "failure")
        log(f"FAILED: {failure}")
        stop_started()
        for copy in copies:
            text = copy.stderr().strip()
            if text:
                log(f"what {copy.exe} wrote to stderr:\n{text}")
        return 1
    finally:
        stop_started()
    log(f"passed in {time.monotonic() - began:.1f} s")
    return 0


# --- Windows that change their caption, values, pop-up menus, pictures of one window ----------

def top_levels(app, role):
    """The app's top-level windows of a role, as they are now."""
    found = []
    for i in range(app.childCount):
        child = app.getChildAtIndex(i)
        if child is not None and child.getRoleName() == role:
            found.append(child)
    return found


def top_level_where(app, role, predicate, what, timeout=STEP_TIMEOUT):
    """Waits for a top-level window of a role whose caption satisfies predicate."""
    return wait_for(what, lambda: next(
        (w for w in top_levels(app, role) if predicate(w.name or "")), None), timeout)


def showing(acc):
    return acc.getState().contains(pyatspi.STATE_SHOWING)


def value_of(acc):
    """(current, maximum) of a control with a value, a progress bar for one."""
    value = acc.queryValue()
    return value.currentValue, value.maximumValue


def right_click(acc):
    x, y = centre(acc)
    pyatspi.Registry.generateMouseEvent(x, y, "b3c")


def choose_from_popup(acc, index, while_up=None):
    """Right-clicks acc and chooses the index-th item (from 0) of the pop-up menu that opens.
    The toolkit keeps pop-up menus off the accessibility tree; while one is up it holds the
    keyboard, so it is worked as a user would: Down to the item, Enter. while_up() runs while
    the menu is on screen (a screenshot, say)."""
    right_click(acc)
    time.sleep(0.3)  # the menu opens and takes the keyboard
    if while_up is not None:
        while_up()
    for _ in range(index + 1):
        pyatspi.Registry.generateKeyboardEvent(0xFF54, None, pyatspi.KEY_SYM)  # Down
    pyatspi.Registry.generateKeyboardEvent(0xFF0D, None, pyatspi.KEY_SYM)  # Return


def shot_of(shot_dir, name, acc, display=None, margin=4, wait=True):
    """A picture of one window: the screen cut to the window's place, a few pixels around it.
    wait=False returns the running capture (a Popen) instead of its file's path."""
    if not shot_dir:
        return None
    ext = acc.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    x, y = max(ext.x - margin, 0), max(ext.y - margin, 0)
    geometry = f"{ext.width + 2 * margin}x{ext.height + 2 * margin}+{x}+{y}"
    path = os.path.join(shot_dir, name + ".png")
    where = ["-display", display] if display else []
    capture = subprocess.Popen(["import"] + where + ["-window", "root", "-crop", geometry,
                                                     "+repage", path])
    if not wait:
        started.append(capture)
        return capture
    capture.wait(timeout=20)
    return path
