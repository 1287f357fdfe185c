#!/usr/bin/python3
"""Notices on the desktop while the window is out of sight, received by a fake notification
server (python3-dbusmock's notification_daemon, offering actions) on the test's own session
bus. A caller speaking the conversation protocol on loopback plays the partner; another
program's window (xev) has the focus, so the program's window is behind it.

1. A call arrives: Notify carries 接続要求 with the caller's name and address, the actions
   接続 and 拒否, critical urgency and the desktop entry; the window asks for attention.
   Invoking 接続 accepts the call (the caller gets its pcConnectReply 1) and withdraws the
   notice.
2. Two chat lines: the second notice replaces the first and counts both.
3. A file offer: a notice names the file.
4. A second call answered in the window: its notice is withdrawn.

Usage: notices_e2e.py EXECUTABLE WORK_DIR SHOT_DIR
"""

import os
import socket
import struct
import subprocess
import sys
import time

import dbus
import pyatspi

from e2e_support import (Copy, Failure, accept, drive, find, free_port, log, need, press,
                         runtime_dir, screenshot, started, text_of, top_level, wait_for)
from screenshots import MAGIC, packet, read_exactly

PC_CONNECT, PC_TEXT, PC_TRANSFER_REQUEST, PC_CONNECT_REPLY = 1, 3, 4, 6
NOTIFICATIONS = "org.freedesktop.Notifications"


class Caller:
    """A partner that calls the program on its conversation port."""

    def __init__(self, port, name, comment):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=30)
        name_b, comment_b = name.encode("cp932"), comment.encode("cp932")
        self.sock.sendall(packet(PC_CONNECT, struct.pack("<HHHH", 0, len(name_b), len(comment_b),
                                                         0) + name_b + comment_b))

    def reply(self):
        header = read_exactly(self.sock, 14)
        if header[:7] != MAGIC:
            raise Failure("a reply without the magic")
        total, command = struct.unpack("<IB", header[9:14])
        body = read_exactly(self.sock, total - 14)
        if command != PC_CONNECT_REPLY:
            raise Failure(f"the answer was command {command}")
        return body[2]

    def text(self, line):
        b = line.encode("cp932")
        self.sock.sendall(packet(PC_TEXT, struct.pack("<HH", 0, len(b)) + b))

    def offer(self, name, size, port):
        b = name.encode("cp932")
        self.sock.sendall(packet(PC_TRANSFER_REQUEST, struct.pack("<HHIH", 0, len(b), size, port) + b))

    def close(self):
        self.sock.close()


class NoticeServer:
    """The fake notification server and what it was asked."""

    def __init__(self):
        self.process = subprocess.Popen(
            [sys.executable, "-m", "dbusmock", "--template", "notification_daemon",
             "--parameters", '{"capabilities": "body actions"}'],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        started.append(self.process)
        bus = dbus.SessionBus()
        wait_for("the notification server", lambda: bus.name_has_owner(NOTIFICATIONS))
        obj = bus.get_object(NOTIFICATIONS, "/org/freedesktop/Notifications")
        self.mock = dbus.Interface(obj, "org.freedesktop.DBus.Mock")
        self.seen = 0

    def calls(self, method):
        return [list(args) for _, name, args in self.mock.GetCalls() if name == method]

    def next_notify(self, what):
        """The next Notify call: (replaces_id, summary, body, actions, hints) and its id."""
        found = wait_for(what, lambda: len(self.calls("Notify")) > self.seen and
                         self.calls("Notify")[self.seen])
        self.seen += 1
        _, replaces, _, summary, body, actions, hints, _ = found
        # The server numbers new notices from 1 in order; a replacing one keeps its number.
        number = int(replaces) if replaces else self.new_ids()
        log(f"Notify: {summary!r} {body!r} actions={list(map(str, actions))} "
            f"urgency={int(hints.get('urgency', -1))} id={number}")
        return (int(replaces), str(summary), str(body), [str(a) for a in actions],
                {str(k): v for k, v in hints.items()}, number)

    def new_ids(self):
        return sum(1 for c in self.calls("Notify")[:self.seen] if not c[1])

    def invoke(self, number, key):
        self.mock.EmitSignal("org.freedesktop.Notifications", "ActionInvoked", "us",
                             [dbus.UInt32(number), key])

    def closed(self, number):
        return any(int(c[0]) == number for c in self.calls("CloseNotification"))


def focus_elsewhere(wid):
    """Gives the focus to the other window until it stays there for a second: a slow build's
    window may still be being mapped, and the window manager focuses it when it is."""
    def focused():
        return subprocess.run(["xdotool", "getwindowfocus"], capture_output=True,
                              text=True).stdout.strip() == wid

    def settled():
        subprocess.run(["xdotool", "windowactivate", "--sync", wid], check=True, timeout=20)
        until = time.monotonic() + 1.0
        while time.monotonic() < until:
            if not focused():
                return False
            time.sleep(0.1)
        return True

    wait_for("the other window focused", settled, timeout=30)


def demands_attention(title):
    ids = subprocess.run(["xdotool", "search", "--name", f"^{title}"], capture_output=True,
                         text=True).stdout.split()
    for wid in ids:
        state = subprocess.run(["xprop", "-id", wid, "_NET_WM_STATE", "WM_HINTS"],
                               capture_output=True, text=True).stdout
        if "_NET_WM_STATE_DEMANDS_ATTENTION" in state or "urgency hint" in state.lower():
            return True
    return False


def check(condition, what):
    if not condition:
        raise Failure(what)


def run(exe, work, shot_dir):
    pyatspi.Registry.getDesktop(0)
    server = NoticeServer()
    port = free_port()
    copy = Copy(work, "A", exe, runtime_dir=runtime_dir(work, "a"), ini=(
        f"[Global]\nConversationPort={port}\nTransferPort={free_port()}\nServerListen=1\n"
        "[Personal]\nMyName=たろう\n"))
    copy.start("+0+0")
    main = copy.window()
    wait_for("listening", lambda: "接続待機開始" in text_of(need(main, "text", "ログ")))

    with open(os.path.join(work, "xev.txt"), "w") as out:
        xev = subprocess.Popen(["xev", "-event", "keyboard", "-name", "elsewhere",
                                "-geometry", "400x300+300+200"], stdout=out,
                               stderr=subprocess.DEVNULL)
    started.append(xev)
    wid = wait_for("the other window", lambda: subprocess.run(
        ["xdotool", "search", "--name", "^elsewhere$"], capture_output=True,
        text=True).stdout.split())[-1]
    focus_elsewhere(wid)

    # 1. A call while the window is behind another program's.
    caller = Caller(port, "はなこ", "もしもし")
    _, summary, body, actions, hints, number = server.next_notify("the call's notice")
    check(summary == "接続要求", f"summary {summary!r}")
    check("はなこ" in body and "もしもし" in body and "から接続要求が来ています。" in body,
          f"body {body!r}")
    check(actions == ["accept", "接続", "refuse", "拒否"], f"actions {actions}")
    check(int(hints.get("urgency", -1)) == 2, f"urgency {hints.get('urgency')}")
    check(str(hints.get("desktop-entry")) == "voxilen", f"desktop entry {hints.get('desktop-entry')}")
    wait_for("the window asking for attention", lambda: demands_attention("ぼくしれん"))
    log("the main window asks for attention")
    server.invoke(number, "accept")
    result = caller.reply()
    check(result == 1, f"the caller got pcConnectReply {result}")
    log("接続 on the notice accepted the call: pcConnectReply 1")
    wait_for("the notice withdrawn", lambda: server.closed(number))
    wait_for("the partner in the member list", lambda: copy.member_names() == ["はなこ"])

    # 2. Chat lines, grouped. The call's dialog had the focus for a moment: it goes back.
    focus_elsewhere(wid)
    wait_for("the main window inactive",
             lambda: not main.getState().contains(pyatspi.STATE_ACTIVE))
    caller.text("こんにちは")
    _, summary, body, _, _, first = server.next_notify("the first line's notice")
    check(summary == "はなこ さんからのメッセージ" and body == "(はなこ) こんにちは",
          f"first line: {summary!r} {body!r}")
    wait_for("the window asking for attention", lambda: demands_attention("ぼくしれん"))
    # The window manager flashes the title of a window that asks for attention.
    for i in range(3):
        screenshot(shot_dir, f"attention-{i}")
        time.sleep(0.3)
    caller.text("聞こえますか？")
    replaces, summary, body, _, _, _ = server.next_notify("the second line's notice")
    check(replaces == first, f"the second line's notice replaces {replaces}, not {first}")
    check(summary == "新しいメッセージ 2 件" and body == "(はなこ) 聞こえますか？",
          f"second line: {summary!r} {body!r}")

    # 3. A file offer.
    caller.offer("議事録.txt", 12345, free_port())
    _, summary, body, _, _, _ = server.next_notify("the offer's notice")
    check(summary == "ファイル受信依頼" and "「議事録.txt」" in body and "12,345" in body,
          f"offer: {summary!r} {body!r}")

    # 4. A call answered in the window.
    caller.close()
    wait_for("the partner gone", lambda: copy.member_names() == [])
    focus_elsewhere(wid)
    second = Caller(port, "じろう", "")
    _, summary, _, _, _, number = server.next_notify("the second call's notice")
    check(summary == "接続要求", f"summary {summary!r}")
    accept(copy)
    check(second.reply() == 1, "the second caller was not accepted")
    wait_for("the second notice withdrawn", lambda: server.closed(number))
    log("answering in the window withdrew the notice")

    # 5. The setting turns the notices off.
    app = copy.app()
    press(find(need(app, "menu bar"), "menu item", "設定"))
    press(wait_for("the desktop page's tab", lambda: find(
        top_level(app, "dialog", "設定"), "page tab", "デスクトップ")))
    settings = top_level(app, "dialog", "設定")
    box = need(settings, "check box", contains="通知する")
    check(box.getState().contains(pyatspi.STATE_CHECKED), "the notices are on by default")
    press(box)
    wait_for("the box cleared", lambda: not box.getState().contains(pyatspi.STATE_CHECKED))
    press(need(settings, "push button", "OK"))
    wait_for("the settings dialog closed", lambda: find(app, "dialog", "設定") is None)
    focus_elsewhere(wid)
    second.text("通知なしで届く行")
    wait_for("the line in the window",
             lambda: "通知なしで届く行" in text_of(need(copy.window(), "text", "受信テキスト")))
    time.sleep(1.0)  # a notice would be on its way by now
    check(len(server.calls("Notify")) == server.seen, "a notice came with the notices off")
    log("with the notices off, a chat line came without a notice")
    second.close()


def main():
    exe, work, shot_dir = sys.argv[1:4]
    return drive(lambda: run(exe, work, shot_dir), shot_dir, work)


if __name__ == "__main__":
    sys.exit(main())
