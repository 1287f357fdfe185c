#!/usr/bin/python3
"""The tray icon on a desktop with a tray (trayer, an XEmbed system tray) and a window manager,
driven as a user would: the icon's menu opened with the right button and worked from the
keyboard (the toolkit keeps pop-up menus off the accessibility tree).

The copy closes into the tray (CloseToTray=1). Checked:
1. 待ち受け in the menu switches listening on (the log says so).
2. ウィンドウを隠す hides the window, ウィンドウを表示 brings it back; closing the window hides it
   into the tray and the program goes on.
3. The icon changes while a call waits and while chat lines are unread, and is plain again once
   the window is seen.
4. すべて切断 ends the partner's connection; 終了 ends the program.

Usage: tray_e2e.py EXECUTABLE WORK_DIR SHOT_DIR
"""

import hashlib
import os
import re
import subprocess
import sys
import time

import pyatspi

from e2e_support import (TITLE, Copy, Failure, accept, drive, free_port, log, need, runtime_dir,
                         screenshot, showing, started, text_of, wait_for)
from notices_e2e import Caller

MENU_SHOW_HIDE, MENU_LISTEN, MENU_DISCONNECT, MENU_QUIT = 0, 1, 2, 3


def tool(*args):
    return subprocess.run(list(args), capture_output=True, text=True, timeout=20).stdout


ICON_WINDOW = re.compile(r'^\s*0x[0-9a-f]+ .*\("Voxilen" [^)]*\)\s+(\d+)x(\d+)[+-]\d+[+-]\d+\s+'
                         r'\+(-?\d+)\+(-?\d+)')


def tray_icon():
    """The icon's window in the tray: a window of the program no bigger than an icon, where it
    is on the screen."""
    for line in tool("xwininfo", "-root", "-tree").splitlines():
        found = ICON_WINDOW.match(line)
        if found:
            width, height, x, y = map(int, found.groups())
            if 8 <= width <= 64 and 8 <= height <= 64:
                return (x + width // 2, y + height // 2,
                        {"X": x, "Y": y, "WIDTH": width, "HEIGHT": height})
    return None


def icon_pixels(place):
    x, y, shell = place
    out = subprocess.run(["import", "-window", "root", "-crop",
                          f"{shell['WIDTH']}x{shell['HEIGHT']}+{shell['X']}+{shell['Y']}",
                          "+repage", "rgb:-"], capture_output=True, timeout=20).stdout
    return hashlib.sha1(out).hexdigest()


def choose(place, index, shot=None):
    """Opens the icon's menu and chooses the index-th item (from 0)."""
    x, y, _ = place
    tool("xdotool", "mousemove", str(x), str(y), "click", "3")
    time.sleep(0.5)  # the menu opens and takes the keyboard
    if shot:
        shot()
    tool("xdotool", "key", *(["Down"] * (index + 1)), "Return")


def run(exe, work, shot_dir):
    pyatspi.Registry.getDesktop(0)
    port = free_port()
    copy = Copy(work, "A", exe, runtime_dir=runtime_dir(work, "a"), ini=(
        f"[Global]\nConversationPort={port}\nTransferPort={free_port()}\nServerListen=0\n"
        "CloseToTray=1\nDesktopNotices=0\n[Personal]\nMyName=たろう\n"))
    copy.start("+0+0")
    main = copy.window()
    log_pane = need(main, "text", "ログ")
    wait_for("the log", lambda: "接続待機中止" in text_of(log_pane))
    place = wait_for("the tray icon", tray_icon)
    log(f"the tray icon is at {place[0]},{place[1]}")
    plain = wait_for("the icon drawn", lambda: icon_pixels(place))

    # 1. Listening from the tray.
    choose(place, MENU_LISTEN, lambda: screenshot(shot_dir, "tray-menu"))
    wait_for("listening", lambda: "接続待機開始" in text_of(log_pane))
    log("待ち受け from the tray switched listening on")

    # 2. Hiding and showing; closing hides.
    choose(place, MENU_SHOW_HIDE)
    wait_for("the window hidden", lambda: not showing(copy.window()))
    choose(place, MENU_SHOW_HIDE)
    wait_for("the window shown", lambda: showing(copy.window()))
    log("the menu hides and shows the window")
    tool("wmctrl", "-c", TITLE + " - たろう")
    wait_for("the window hidden by closing", lambda: not showing(copy.window()))
    time.sleep(0.5)
    if copy.process.poll() is not None:
        raise Failure("closing the window ended the program")
    log("closing the window hid it into the tray")

    # 3. The icon while a call waits and while lines are unread.
    caller = Caller(port, "はなこ", "")
    waiting = wait_for("the icon of a waiting call", lambda: icon_pixels(place) != plain and
                       icon_pixels(place))
    screenshot(shot_dir, "tray-call-waiting")
    accept(copy)
    if caller.reply() != 1:
        raise Failure("the call was not accepted")
    wait_for("the partner in the member list", lambda: copy.member_names() == ["はなこ"])
    # The call was answered in its own dialog; the window stays in the tray.
    if showing(copy.window()):
        raise Failure("answering the call brought the window out of the tray")
    caller.text("聞こえますか？")
    unread = wait_for("the icon of unread lines",
                      lambda: icon_pixels(place) not in (plain, waiting) and icon_pixels(place))
    log("the icon differs while a call waits and while lines are unread")
    choose(place, MENU_SHOW_HIDE)
    wait_for("the window shown", lambda: showing(copy.window()))
    wait_for("the plain icon once the window is seen", lambda: icon_pixels(place) == plain)
    del unread

    # 4. すべて切断 and 終了.
    choose(place, MENU_DISCONNECT)
    caller.sock.settimeout(10)
    if caller.sock.recv(1) != b"":
        raise Failure("the partner's connection did not end")
    log("すべて切断 from the tray ended the partner's connection")
    wait_for("the member list empty", lambda: copy.member_names() == [])
    choose(place, MENU_QUIT)
    code = copy.process.wait(timeout=10)
    if code != 0:
        raise Failure(f"the program ended with {code}")
    log("終了 from the tray ended the program")
    caller.close()


def main():
    exe, work, shot_dir = sys.argv[1:4]
    return drive(lambda: run(exe, work, shot_dir), shot_dir, work)


if __name__ == "__main__":
    sys.exit(main())
