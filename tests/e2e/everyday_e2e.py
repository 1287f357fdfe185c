#!/usr/bin/python3
"""Everyday use of the real program under a window manager, driven from outside as a user
would: through the accessibility tree, the keyboard and the mouse.

A copy whose port is taken comes up first and then says it does not listen, and why; the item
switches listening on once the port is free. A chat line is being typed when a call arrives:
Return at once neither accepts nor loses the line, Return a second later accepts. The status
line reads true when listening, when not (with the reason), when connected and without sound.
The member list's pop-up opens from the keyboard, Qt's file dialog speaks Japanese, a line
Shift-JIS cannot carry is shown before it goes, a port outside 1-65535 is refused, a refused
call and a hang-up are told to the caller, the window asks before closing with partners, and
a second start raises the running window. Every dialog is photographed on the way.

Usage: everyday_e2e.py EXECUTABLE WORK_DIR SHOT_DIR [PULSE_ENV_FILE]
"""

import ctypes
import os
import socket
import subprocess
import sys
import time

import pyatspi

from e2e_support import (TITLE, Copy, Failure, STEP_TIMEOUT, click, drive, find, free_port,
                         log, menu_item, need, press, runtime_dir, screenshot, shot_of, showing,
                         sound_server, text_of, top_level, top_level_where, top_levels,
                         wait_for)

ACCEPT_KEY_GUARD_S = 1.0  # Return and Space do nothing this long after a call appears

pulse = {}


class Keyboard:
    """The keyboard of the display, through XTEST: what the focused window gets under a
    window manager, modifiers included."""

    def __init__(self):
        self.x11 = ctypes.CDLL("libX11.so.6")
        self.xtst = ctypes.CDLL("libXtst.so.6")
        self.x11.XOpenDisplay.restype = ctypes.c_void_p
        self.x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
        self.x11.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
        self.x11.XKeysymToKeycode.restype = ctypes.c_ubyte
        self.x11.XFlush.argtypes = [ctypes.c_void_p]
        self.xtst.XTestFakeKeyEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int,
                                                ctypes.c_ulong]
        self.dpy = self.x11.XOpenDisplay(os.environ["DISPLAY"].encode())
        if not self.dpy:
            raise Failure("cannot open the display for the keyboard")

    def key(self, keysym, *modifiers):
        codes = [self.x11.XKeysymToKeycode(self.dpy, m) for m in modifiers]
        code = self.x11.XKeysymToKeycode(self.dpy, keysym)
        if code == 0:
            raise Failure(f"no key for keysym {keysym:#x}")
        for c in codes:
            self.xtst.XTestFakeKeyEvent(self.dpy, c, 1, 0)
        self.xtst.XTestFakeKeyEvent(self.dpy, code, 1, 0)
        self.xtst.XTestFakeKeyEvent(self.dpy, code, 0, 0)
        for c in reversed(codes):
            self.xtst.XTestFakeKeyEvent(self.dpy, c, 0, 0)
        self.x11.XFlush(self.dpy)
        time.sleep(0.05)

    def type(self, ascii_text):
        for ch in ascii_text:
            self.key(ord(ch))


RETURN, ESCAPE, TAB, MENU, F10 = 0xFF0D, 0xFF1B, 0xFF09, 0xFF67, 0xFFC7
SHIFT, CONTROL = 0xFFE1, 0xFFE3


def status(copy, name):
    """The text of a status-line label found by its description's caption."""
    bar = need(copy.window(), "status bar")
    for i in range(bar.childCount):
        label = bar.getChildAtIndex(i)
        if label is not None and label.description == name and showing(label):
            return label.name or ""
    return ""


def wait_status(copy, name, predicate, what):
    return wait_for(what, lambda: predicate(status(copy, name)))


def focused(acc):
    return acc.getState().contains(pyatspi.STATE_FOCUSED)


def active(acc):
    return acc.getState().contains(pyatspi.STATE_ACTIVE)


def window_of(copy):
    return top_level_where(copy.app(), "frame", lambda n: n == TITLE or n.startswith(TITLE + " - "),
                           "the main window")


def stacking(display_title_a, display_title_b):
    """Whether the window titled a is above the one titled b in the window manager's stacking
    order (bottom to top)."""
    ids = subprocess.run(["xprop", "-root", "_NET_CLIENT_LIST_STACKING"], capture_output=True,
                         text=True, check=True).stdout.split("#", 1)[1].replace(",", " ").split()
    names = []
    for wid in ids:
        out = subprocess.run(["xprop", "-id", wid, "_NET_WM_NAME"], capture_output=True,
                             text=True).stdout
        names.append(out.split("=", 1)[1].strip().strip('"') if "=" in out else "")
    return names.index(display_title_a) > names.index(display_title_b)


def shoot(shot_dir, name, acc):
    shot_of(shot_dir, name, acc)
    log(f"picture {name}: {acc.getRoleName()} '{acc.name}'")


def run(exe, work, shot_dir):
    pyatspi.Registry.getDesktop(0)
    keys = Keyboard()
    port = free_port()
    # Another program holds A's conversation port.
    blocker = socket.socket()
    blocker.bind(("0.0.0.0", port))
    blocker.listen()
    run_a = runtime_dir(work, "a")
    a = Copy(work, "A", exe, runtime_dir=run_a, sound=pulse, ini=(
        f"[Global]\nConversationPort={port}\nTransferPort={port + 1}\nServerListen=1\n"
        "[Personal]\nMyName=はなこ\n"))
    b = Copy(work, "B", exe, runtime_dir=runtime_dir(work, "b"), sound=pulse, ini=(
        f"[Global]\nConversationPort={port}\nTransferPort={port + 2}\nServerListen=0\n"
        "[Personal]\nMyName=たろう\n"))

    # --- A failed listen: the window first, then the message; nothing says it listens. ------
    a.start("+0+0")
    app_a = a.app()
    box = top_level(app_a, "alert", TITLE)
    wa = window_of(a)
    if not showing(wa):
        raise Failure("the error box came before the main window")
    in_use = f"ポート {port} は他のプログラムが使用中です。"
    need(box, "label", contains=in_use)
    shoot(shot_dir, "02-listen-error-box", box)
    press(need(box, "push button", "OK"))
    wait_status(a, "待ち受けの状態", lambda t: t.startswith("待ち受けしていません：" + in_use),
                "the status line saying why A does not listen")
    menu_item(app_a, "接続", "待ち受けしない")  # not 待ち受けする
    log_a = need(wa, "text", "ログ")
    wait_for("the reason in A's log", lambda: f"ポート {port} で待ち受けできません。" in text_of(log_a))
    if wa.name != "ぼくしれん - はなこ":
        raise Failure(f"A's title is '{wa.name}'")
    shoot(shot_dir, "01-main-not-listening", wa)
    log("a port in use: 待ち受けしない, the reason in the status line and the log")

    blocker.close()
    press(menu_item(app_a, "接続", "待ち受けしない"))
    wait_status(a, "待ち受けの状態", lambda t: t == f"待ち受け中（ポート {port}）", "A listening")
    menu_item(app_a, "接続", "待ち受けする")
    wait_status(a, "接続している相手の数", lambda t: t == "相手 0 人", "nobody connected")
    if pulse:
        if status(a, "音声の入出力装置"):
            raise Failure("A says it has no sound")
    shoot(shot_dir, "03-main-listening", wa)

    # --- B: a port outside 1-65535 is refused in the settings dialog. ----------------------
    b.start("+560+0")
    wb = window_of(b)
    app_b = b.app()
    click(need(wb, "text", "送信テキスト"))
    keys.key(ord(","), CONTROL)  # the settings dialog from the keyboard
    settings = top_level(app_b, "dialog", "設定")
    wait_for("this computer's address", lambda: text_of(need(settings, "text", "このＰＣのアドレス")))
    shoot(shot_dir, "04-settings", settings)
    # An editable combo box reads as its text: the first one is the conversation port.
    port_box = need(settings, "combo box")
    port_text = find(port_box, "text") or port_box
    port_text.queryEditableText().setTextContents("70000")
    press(need(settings, "push button", "OK"))
    refusal = top_level(app_b, "alert", TITLE)
    need(refusal, "label", "ポートは 1 から 65535 までの数字でなければなりません。")
    shoot(shot_dir, "05-settings-port-refused", refusal)
    press(need(refusal, "push button", "OK"))
    wait_for("the settings dialog kept", lambda: find(app_b, "dialog", "設定") is not None)
    press(need(settings, "push button", "閉じる"))

    # --- A chat line being typed in A when B's call arrives. ------------------------------------
    edit_a = need(wa, "text", "送信テキスト")
    click(edit_a)
    wait_for("A's line focused", lambda: focused(edit_a))
    time.sleep(0.3)  # the window manager has given the window the keyboard
    keys.type("typing a line")
    wait_for("the typed line", lambda: text_of(edit_a) == "typing a line")

    press(menu_item(app_b, "接続", "接続"))
    dialog = top_level(app_b, "dialog", "接続先を記入してください。")
    partner = need(dialog, "combo box", "相手の名前")
    (find(partner, "text") or partner).queryEditableText().setTextContents("はなこさん")
    need(dialog, "text", "接続先のアドレス").queryEditableText().setTextContents("127.0.0.1")
    need(dialog, "text", "コメント").queryEditableText().setTextContents("急ぎの用です")
    shoot(shot_dir, "06-connect", dialog)
    press(need(dialog, "push button", "接続"))

    incoming = top_level(app_a, "dialog", "接続要求を受け付けました。")
    appeared = time.monotonic()  # the dialog has been up at least since then
    keys.key(RETURN)  # the end of the line, just as the call appears
    keys.key(ord(" "))
    sent = time.monotonic() - appeared
    # Judged only when the keys surely came within the first second (the dialog may have been
    # up a little before it was seen; a loaded machine may be slow to send the keys).
    judged = sent < ACCEPT_KEY_GUARD_S / 2
    time.sleep(0.3)
    if judged:
        if a.member_names():
            raise Failure("Return typed at once accepted the call")
        if find(app_a, "dialog", "接続要求を受け付けました。") is None:
            raise Failure("the incoming call went away at an early Return")
        left = need(incoming, "label", "応答までの残り時間")
        wait_for("the time left", lambda: (left.description or "").startswith("残り 2:5")
                 or (left.description or "").startswith("残り 3:00"))
        shoot(shot_dir, "07-incoming-call", incoming)
        while time.monotonic() - appeared < ACCEPT_KEY_GUARD_S + 0.3:
            time.sleep(0.05)
        keys.key(RETURN)  # now Return is the default button: 接続
    else:
        log(f"the keys took {sent:.2f} s: too late to judge the first second")
        if find(app_a, "dialog", "接続要求を受け付けました。") is not None:
            keys.key(RETURN)
    wait_for("both member lists", lambda: a.member_names() == ["たろう"]
             and b.member_names() == ["はなこさん"])
    wait_for("A's line intact and focused again",
             lambda: text_of(edit_a) == "typing a line" and focused(edit_a))
    log("Return at once neither accepted nor lost the line; a second later it accepted")

    wait_status(a, "接続している相手の数", lambda t: t == "相手 1 人", "A: one partner")
    wait_status(b, "接続している相手の数", lambda t: t == "相手 1 人", "B: one partner")
    if not status(b, "待ち受けの状態") == "待ち受けしていません":
        raise Failure(f"B's status: {status(b, '待ち受けの状態')}")
    shoot(shot_dir, "08-main-connected", wa)

    # --- The member list's pop-up from the keyboard, and Qt's file dialog in Japanese. -------
    members_b = b.members()
    click(members_b)
    wait_for("B's member list focused", lambda: focused(members_b))
    keys.key(MENU)
    time.sleep(0.3)
    keys.key(RETURN)  # ファイル転送, the item the menu opens at
    send = top_level_where(app_b, "dialog", lambda n: n == "送信ファイルを選択してください。",
                           "B's sending window from the keyboard")
    log("the Menu key opened the member's pop-up")
    press(need(send, "push button", "参照"))
    chooser = wait_for("Qt's file dialog", lambda: next(
        (w for w in top_levels(app_b, "dialog") if showing(w) and w.name != send.name), None))
    wait_for("Japanese in the file dialog", lambda: find(chooser, "label", contains="ファイル")
             or find(chooser, "push button", contains="開く"))
    shoot(shot_dir, "09-file-dialog", chooser)
    cancel = find(chooser, "push button", contains="キャンセル")
    if cancel is None:
        raise Failure("the file dialog has no キャンセル button")
    press(cancel)
    press(need(send, "push button", "キャンセル"))
    wait_for("the sending window gone", lambda: find(app_b, "dialog", "送信ファイルを選択してください。") is None)
    # Shift+F10 too.
    click(members_b)
    keys.key(F10, SHIFT)
    time.sleep(0.3)
    keys.key(ESCAPE)

    # --- A line Shift-JIS cannot carry. --------------------------------------------------------
    edit_b = need(wb, "text", "送信テキスト")
    edit_b.queryEditableText().setTextContents("やあ😀 𠮷野家")
    click(edit_b)
    time.sleep(0.2)
    keys.key(0xFF57)  # End
    keys.key(RETURN)
    lossy = top_level(app_b, "alert", TITLE)
    need(lossy, "label", contains="😀𠮷")
    shoot(shot_dir, "10-lossy-line", lossy)
    press(need(lossy, "push button", "編集に戻る"))
    wait_for("the line kept for editing", lambda: text_of(edit_b) == "やあ😀 𠮷野家")
    log_line = need(wa, "text", "受信テキスト")
    if "やあ" in text_of(log_line):
        raise Failure("the line went although the user chose to edit it")

    # --- About and the help. -------------------------------------------------------------------
    press(menu_item(app_a, "ヘルプ", "バージョン情報"))
    about = top_level(app_a, "dialog", "バージョン情報")
    need(about, "label", "バージョン")
    shoot(shot_dir, "11-about", about)
    press(need(about, "push button", "OK"))

    # --- Closing with a partner asks first; No keeps everything. ------------------------------
    # The title bar's close button, as the window manager sends it.
    subprocess.run(["wmctrl", "-c", "ぼくしれん - はなこ"], check=True, timeout=STEP_TIMEOUT)
    question = top_level(app_a, "alert", "ぼくしれん - はなこ")
    need(question, "label", "1 人の相手と接続しています。切断して終了しますか？")
    shoot(shot_dir, "12-close-question", question)
    no = find(question, "push button", contains="いいえ")
    if no is None:
        raise Failure("the question has no いいえ button (Qt's translations)")
    press(no)
    if a.member_names() != ["たろう"]:
        raise Failure("いいえ closed the connection")

    # --- A hangs up: B is told. A refused call is told too. ------------------------------------
    press(menu_item(app_a, "接続", "すべて切断"))
    wait_status(b, "接続についてのお知らせ", lambda t: t == "はなこさん との接続が切れました。",
                "B told of the hang-up")
    shoot(shot_dir, "13-main-partner-hung-up", wb)
    press(menu_item(app_b, "接続", "接続"))
    dialog = top_level(app_b, "dialog", "接続先を記入してください。")
    partner = need(dialog, "combo box", "相手の名前")
    (find(partner, "text") or partner).queryEditableText().setTextContents("はなこさん")
    wait_for("the remembered address",
             lambda: text_of(need(dialog, "text", "接続先のアドレス")) == "127.0.0.1")
    # The history list shows each partner with its address.
    click(find(partner, "text") or partner)
    time.sleep(0.2)
    keys.key(0xFF54, 0xFFE9)  # Alt+Down opens the list
    time.sleep(0.4)
    screenshot(shot_dir, "06b-history-list")
    log("picture 06b-history-list: the whole screen")
    keys.key(ESCAPE)
    time.sleep(0.2)
    if find(app_b, "dialog", "接続先を記入してください。") is None:
        raise Failure("Escape in the history list closed the connect dialog")
    press(need(dialog, "push button", "接続"))
    incoming = top_level(app_a, "dialog", "接続要求を受け付けました。")
    press(need(incoming, "push button", "拒否"))
    wait_status(b, "接続についてのお知らせ", lambda t: t == "127.0.0.1 に接続を断られました。",
                "B told of the refusal")
    log("B was told of the hang-up and of the refusal in its status line")

    # --- A second start in A's login raises A's window. ---------------------------------------
    click(need(wb, "text", "ログ"))
    wait_for("B on top", lambda: stacking("ぼくしれん - たろう", "ぼくしれん - はなこ"))
    third = Copy(work, "A2", exe, runtime_dir=run_a, ini="[Personal]\nMyName=さぶろう\n")
    third.start()
    wait_for("A raised above B", lambda: stacking("ぼくしれん - はなこ", "ぼくしれん - たろう"))
    refused = top_level(third.app(), "alert", TITLE)
    shoot(shot_dir, "14-already-running", refused)
    press(need(refused, "push button", "OK"))
    if third.process.wait(timeout=STEP_TIMEOUT) != 0:
        raise Failure("the second start did not end cleanly")
    log("a second start raised the running window")


def run_without_sound(exe, work, shot_dir):
    """A copy with no sound device says so in its status line."""
    c = Copy(work, "C", exe, runtime_dir=runtime_dir(work, "c"),
             ini="[Global]\nServerListen=0\n[Personal]\nMyName=しろう\n",
             sound={"PULSE_SERVER": "unix:/nonexistent"})
    c.start("+0+420")
    wait_status(c, "音声の入出力装置", lambda t: t == "音声は使えません", "the missing sound device")
    shoot(shot_dir, "15-main-no-sound", window_of(c))
    # The help without a browser says where the file is.
    press(menu_item(c.app(), "ヘルプ", "ぼくしれんヘルプ"))
    box = top_level(c.app(), "alert", TITLE)
    need(box, "label", contains="Voxilen.html")
    shoot(shot_dir, "16-help-without-browser", box)
    press(need(box, "push button", "OK"))


def main():
    global pulse
    exe, work, shot_dir = sys.argv[1], sys.argv[2], sys.argv[3]
    pulse = sound_server(sys.argv[4] if len(sys.argv) > 4 else "")

    def body():
        run(exe, work, shot_dir)
        run_without_sound(exe, work, shot_dir)
    return drive(body, shot_dir, work)


if __name__ == "__main__":
    sys.exit(main())
