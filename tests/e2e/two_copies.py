#!/usr/bin/python3
"""Two copies of the real program, driven from outside through the accessibility tree.

Copy A listens, copy B calls it through the connect dialog, A accepts the call in the
incoming-call dialog, B types a chat line that shows up in A's received text, B talks into its
microphone while holding 音声送信 and A plays it (when a private sound server is given), a third
start in A's login is refused with the single-instance message, B drops all connections, calls
again from its history and is ended like a session ends it, and A sees it go.

Runs inside a D-Bus session on an X display that the calling script provides. Every process it
starts is ended by its own process id.
Usage: two_copies.py EXECUTABLE WORK_DIR SHOT_DIR [PULSE_ENV_FILE]
"""

import os
import shutil
import signal
import socket
import subprocess
import sys
import math
import struct
import time
import wave

import pyatspi

TITLE = "ぼくしれん"
ALREADY_RUNNING = "「ぼくしれん．ｅｘｅ」は既に起動されています。"
STEP_TIMEOUT = 10.0

started = []  # processes this script started
copies = []
pulse = {}  # PULSE_* settings of the private sound server; empty when there is none


class Failure(Exception):
    pass


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


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


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


def click(acc):
    ext = acc.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    pyatspi.Registry.generateMouseEvent(ext.x + ext.width // 2, ext.y + ext.height // 2, "b1c")


class Copy:
    """One copy of the program in a folder of its own with its own settings file and login."""

    def __init__(self, work, name, exe, ini, runtime_dir, exe_name="Voxilen"):
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
        self.process = None

    def start(self, geometry=None):
        env = dict(os.environ)
        env.update(QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_QPA_PLATFORM="xcb",
                   XDG_RUNTIME_DIR=self.runtime_dir, LC_ALL="C.UTF-8")
        env.update(pulse)  # the private sound server, when there is one
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
        return top_level(self.app(), "frame", TITLE)

    def members(self):
        return need(self.window(), "list", "メンバーリスト")

    def member_names(self):
        lst = self.members()
        return [lst.getChildAtIndex(i).name for i in range(lst.childCount)]


def screenshot(shot_dir, name):
    if shot_dir:
        subprocess.run(["import", "-window", "root", os.path.join(shot_dir, name + ".png")],
                       check=False, timeout=20)


def runtime_dir(work, name):
    path = os.path.join(work, "run-" + name)
    os.makedirs(path, mode=0o700)
    return path


def run(exe, work, shot_dir):
    pyatspi.Registry.getDesktop(0)  # the registry runs before the copies start
    port = free_port()
    run_a = runtime_dir(work, "a")
    a = Copy(work, "A", exe, runtime_dir=run_a, ini=(
        f"[Global]\nConversationPort={port}\nTransferPort={port + 1}\nServerListen=1\n"
        "[Personal]\nMyName=はなこ\n"))
    # B calls on its own conversation port, the one A listens on; it does not listen itself.
    b = Copy(work, "B", exe, runtime_dir=runtime_dir(work, "b"), ini=(
        f"[Global]\nConversationPort={port}\nTransferPort={port + 2}\nServerListen=0\n"
        "[Personal]\nMyName=たろう\n"))

    a.start("+0+0")
    wa = a.window()
    log_a = need(wa, "text", "ログ")
    wait_for("A listening", lambda: "接続待機開始。" in text_of(log_a))
    b.start("+560+0")
    wb = b.window()
    log_b = need(wb, "text", "ログ")
    wait_for("B not listening", lambda: "接続待機中止" in text_of(log_b))
    log(f"both copies up, A listens on {port}")

    # B calls A through the connect dialog.
    dialog = call(b, "はなこさん")
    screenshot(shot_dir, "1-connect-dialog")
    press(need(dialog, "push button", "接続"))

    # A is asked and accepts.
    incoming = top_level(a.app(), "dialog", "接続要求を受け付けました。")
    caller = need(incoming, "combo box")
    wait_for("the caller's name in the incoming-call dialog",
             lambda: text_of(find(caller, "text") or caller) == "たろう")
    wait_for("the caller's comment", lambda: text_of(need(incoming, "text", "コメント")) == "E2E から")
    screenshot(shot_dir, "2-incoming-call")
    press(need(incoming, "push button", "接続"))
    wait_for("both member lists", lambda: a.member_names() == ["たろう"]
             and b.member_names() == ["はなこさん"])
    log("connected: A lists たろう, B lists はなこさん")

    # B types a line and presses Enter; A shows it with B's name.
    edit = need(wb, "text", "送信テキスト")
    edit.queryEditableText().setTextContents("こんにちは、①髙﨑さん")
    click(edit)
    time.sleep(0.2)
    pyatspi.Registry.generateKeyboardEvent(0xFF0D, None, pyatspi.KEY_SYM)  # Return
    received = need(wa, "text", "受信テキスト")
    wait_for("the line in A's received text",
             lambda: " (たろう) こんにちは、①髙﨑さん" in text_of(received))
    wait_for("B's field emptied", lambda: text_of(edit) == "")
    if text_of(need(wb, "text", "受信テキスト")) != "":
        raise Failure("B shows its own line")
    log("chat line arrived: " + text_of(received).strip())
    screenshot(shot_dir, "3-chatting")

    if pulse:
        talk(wb, work, shot_dir)
    else:
        log("no sound server: talking skipped")

    # A second start in A's login, from another folder under another name, is refused.
    c = Copy(work, "C", exe, runtime_dir=run_a, exe_name="VoxilenCopy", ini="[Global]\n")
    c.start()
    box = top_level(c.app(), "alert", TITLE)
    need(box, "label", ALREADY_RUNNING)
    if find(c.app(), "frame", TITLE) is not None:
        raise Failure("the refused copy opened a main window")
    screenshot(shot_dir, "4-already-running")
    press(need(box, "push button", "OK"))
    code = c.process.wait(timeout=STEP_TIMEOUT)
    if code != 0:
        raise Failure(f"the refused copy ended with {code}")
    if os.path.exists(os.path.join(c.folder, "VoxilenCopy.Ini")) and \
            open(os.path.join(c.folder, "VoxilenCopy.Ini"), "rb").read() != b"[Global]\r\n":
        raise Failure("the refused copy touched its settings")
    if a.member_names() != ["たろう"] or a.process.poll() is not None:
        raise Failure("the running copy was disturbed")
    log("second start refused with exit code 0; A untouched")

    # B drops every connection; both lists empty.
    press(menu_item(b.app(), "接続", "すべて切断"))
    wait_for("both member lists empty", lambda: a.member_names() == [] and b.member_names() == [])
    wait_for("B's log line", lambda: "すべての接続を切断しました。" in text_of(log_b))
    screenshot(shot_dir, "5-disconnected")
    log("all connections dropped")

    # B calls again, picking A from its history; then B is ended as a session ends it (SIGTERM):
    # it closes its window as the user would, and A sees the connection go.
    dialog = call(b, "はなこさん", remembered=True)
    press(need(dialog, "push button", "接続"))
    accept(a)
    wait_for("both member lists", lambda: a.member_names() == ["たろう"]
             and b.member_names() == ["はなこさん"])
    end(b)
    wait_for("A's member list empty", lambda: a.member_names() == [])
    end(a)
    log("both copies closed with exit code 0")

TONE_HZ = 440.0
PLAYBACK_SPEED_UP = 1.05  # partners are heard 5% faster than they spoke


def write_tone(path, seconds, rate=44100):
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(b"".join(
            struct.pack("<h", int(12000 * math.sin(2 * math.pi * TONE_HZ * i / rate)))
            for i in range(int(seconds * rate))))


def tone_in(path):
    """The loud part of a recording (first channel): its length in seconds, and its frequency
    from the periods between the rising crossings of a Schmitt trigger. Blocks played faster
    than they were recorded leave short gaps between them; those periods are left out."""
    with wave.open(path, "rb") as w:
        channels, width, rate = w.getnchannels(), w.getsampwidth(), w.getframerate()
        raw = w.readframes(w.getnframes())
    if width != 2:
        raise Failure(f"unexpected recording format: {width} bytes per sample")
    samples = struct.unpack(f"<{len(raw) // 2}h", raw)[::channels]
    loud = [i for i, x in enumerate(samples) if abs(x) > 2000]
    if not loud:
        return 0.0, 0.0
    rising, armed = [], False
    for i, x in enumerate(samples):
        if x < -1000:
            armed = True
        elif x > 1000 and armed:
            rising.append(i)
            armed = False
    periods = sorted(b - a for a, b in zip(rising, rising[1:]))
    if not periods:
        return 0.0, 0.0
    median = periods[len(periods) // 2]
    whole = [p for p in periods if p < 1.5 * median]
    return (loud[-1] - loud[0]) / rate, rate * len(whole) / sum(whole)


def talk(speaker_window, work, shot_dir):
    """The speaker holds 音声送信 with the mouse while a tone plays into its microphone; the
    listener plays it 5% faster. Both copies use the one private sound server."""
    tone, heard = os.path.join(work, "tone.wav"), os.path.join(work, "heard.wav")
    write_tone(tone, 1.5)
    env = dict(os.environ, **pulse)
    recorder = subprocess.Popen(["parecord", "--latency-msec=20", "-d", "spk.monitor",
                                 "--file-format=wav", heard], env=env)
    started.append(recorder)
    button = need(speaker_window, "push button", "音声送信")
    ext = button.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    x, y = ext.x + ext.width // 2, ext.y + ext.height // 2
    pyatspi.Registry.generateMouseEvent(x, y, "b1p")
    time.sleep(0.3)
    subprocess.run(["paplay", "-d", "micfeed", tone], env=env, check=True, timeout=STEP_TIMEOUT)
    screenshot(shot_dir, "3b-talking")
    pyatspi.Registry.generateMouseEvent(x, y, "b1r")
    time.sleep(2.0)  # the last block travels, is decoded and played out
    recorder.send_signal(signal.SIGINT)
    recorder.wait(timeout=STEP_TIMEOUT)
    seconds, hz = tone_in(heard)
    expected = TONE_HZ * PLAYBACK_SPEED_UP
    log(f"heard {seconds:.2f} s of a {hz:.0f} Hz tone (spoken: 1.50 s at {TONE_HZ:.0f} Hz)")
    if seconds < 1.0 or abs(hz - expected) > 0.03 * expected:
        raise Failure(f"the listener did not play the tone: {seconds:.2f} s at {hz:.0f} Hz")


def call(copy, partner_name, remembered=False):
    """Picks 接続 > 接続 and places the call from the connect dialog."""
    press(menu_item(copy.app(), "接続", "接続"))
    dialog = top_level(copy.app(), "dialog", "接続先を記入してください。")
    partner = need(dialog, "combo box", "相手の名前")
    partner_text = find(partner, "text") or partner
    partner_text.queryEditableText().setTextContents(partner_name)
    address = need(dialog, "text", "接続先のアドレス")
    if remembered:
        wait_for("the remembered address", lambda: text_of(address) == "127.0.0.1")
    else:
        address.queryEditableText().setTextContents("127.0.0.1")
        need(dialog, "text", "コメント").queryEditableText().setTextContents("E2E から")
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


def main():
    exe, work = sys.argv[1], sys.argv[2]
    shot_dir = sys.argv[3] if len(sys.argv) > 3 and sys.argv[3] else None
    if len(sys.argv) > 4 and sys.argv[4]:
        # Lines "export NAME=value" written by scripts/pulse/start.sh; the login's runtime
        # folder stays each copy's own.
        with open(sys.argv[4]) as f:
            for line in f:
                name, _, value = line.strip().removeprefix("export ").partition("=")
                if name.startswith("PULSE_"):
                    pulse[name] = value
    if shot_dir:
        os.makedirs(shot_dir, exist_ok=True)
    began = time.monotonic()
    try:
        run(exe, work, shot_dir)
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


if __name__ == "__main__":
    sys.exit(main())
