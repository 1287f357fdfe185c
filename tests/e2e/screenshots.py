#!/usr/bin/python3
"""Pictures of every window of the real program, for looking at by eye: that the Japanese
texts render, nothing is cut off and the layout reads naturally. Not a test: it checks only
what it needs to get from one window to the next.

Run it through its runner, which starts a private X display and D-Bus session:
    bash tests/e2e/run_screenshots.sh build/default/src/app/Voxilen OUTPUT_DIR

One copy of the program runs in a folder of its own. Its partner is this script, speaking the
conversation protocol on loopback, so that every window can be shown in a set state:
    01-main-window        the main window, not listening, nobody connected
    02-settings           設定
    03-connect            接続 > 接続, filled in
    04-main-connected     the main window with the partner in the member list
    05-about              ヘルプ > バージョン情報
    06-member-menu        the member list's pop-up menu
    07-send-choose        the sending transfer window as it opens (lower right of the screen)
    08-send-under-way     the sending window with the file half acknowledged by the partner
    09-receive-offer      the receiving window proposing the partner's file
    10-receive-under-way  the receiving window with half the file in
    11-receive-done       the receiving window once the whole file is saved
    12-screen             the whole screen at the end
Each is the window cut from the screen with a few pixels around it. Without a window manager
there are no title bars: the captions are only on the accessibility tree, and the script prints
each window's caption next to its picture's name.
With a private sound server (its env file as PULSE_ENV), the sound page lists its devices and
the member pop-up carries the partner's volume.
Usage: screenshots.py EXECUTABLE WORK_DIR OUTPUT_DIR [PULSE_ENV]
"""

import os
import socket
import struct
import sys
import time

import pyatspi

from e2e_support import (MAGIC, Copy, Failure, call, choose_from_popup, click, drive, find, free_port,
                         log, menu_item, need, press, runtime_dir, screenshot, shot_of, showing,
                         sound_server, text_of, top_level, top_level_where, value_of, wait_for,
                         walk, packet, read_exactly)

PC_CONNECT, PC_TRANSFER_REQUEST, PC_CONNECT_REPLY, PC_TRANSFER_REPLY = 1, 4, 6, 7
RC_ACCEPTED = 1
PIECE = 256
FILE_SIZE = 2 * 1024 * 1024 + 77



def reply(command, result, text=b""):
    return packet(command, struct.pack("<HBH", 0, result, len(text)) + text)



class Partner:
    """The program's partner on the conversation port: accepts its call and then speaks when
    told to."""

    def __init__(self, name):
        self.name = name
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen()
        self.port = self.listener.getsockname()[1]
        self.conn = None

    def answer_call(self):
        """As an older copy does: a call that starts with anything but the magic (the
        program's encrypted hello) is hung up on, and the program calls again in the clear."""
        self.listener.settimeout(10)
        for _ in range(2):
            self.conn, _ = self.listener.accept()
            self.conn.settimeout(10)
            if self.conn.recv(len(MAGIC), socket.MSG_PEEK | socket.MSG_WAITALL) == MAGIC:
                break
            self.conn.close()
        command, body = self.read_packet()
        if command != PC_CONNECT:
            raise Failure(f"the call began with command {command}")
        _, name_len, _, _ = struct.unpack("<HHHH", body[:8])
        caller = body[8:8 + name_len]
        self.conn.sendall(reply(PC_CONNECT_REPLY, RC_ACCEPTED, caller + "さん、いらしゃい".encode("cp932")))

    def read_packet(self):
        header = read_exactly(self.conn, 14)
        if header[:7] != MAGIC:
            raise Failure("a packet without the magic")
        total, command = struct.unpack("<IB", header[9:14])
        return command, read_exactly(self.conn, total - 14)

    def next_packet(self, wanted):
        """The next packet of that command; voice and chat lines on the way are passed over."""
        while True:
            command, body = self.read_packet()
            if command == wanted:
                return body

    def close(self):
        for s in (self.conn, self.listener):
            if s is not None:
                s.close()


def receive_offer(partner, data_listener, shot_dir, send):
    """The program offers a file: accept it, take half, show the window, then take the rest."""
    body = partner.next_packet(PC_TRANSFER_REQUEST)
    _, name_len, size, port = struct.unpack("<HHIH", body[:10])
    log(f"offered {body[10:10 + name_len].decode('cp932')}, {size} bytes, data port {port}")
    partner.conn.sendall(reply(PC_TRANSFER_REPLY, RC_ACCEPTED))
    data_listener.settimeout(10)
    data, _ = data_listener.accept()
    data.settimeout(10)
    count = 0

    def take(until):
        nonlocal count
        while count < until:
            chunk = data.recv(min(PIECE, until - count))
            if not chunk:
                raise Failure("the sender closed the data connection")
            count += len(chunk)
            data.sendall(struct.pack("<q", count))

    take(size // 2)
    wait_for("the sending window's caption", lambda: "を送信中です。" in (send.name or ""))
    bar_behind(need(send, "progress bar"), count, "acknowledged")
    shoot(shot_dir, "08-send-under-way", send)
    take(size)
    data.close()


def send_offer(partner, app, shot_dir, name, port):
    """The partner offers a file: the program's receiving window; once accepted, half of the
    file, then the rest."""
    encoded = name.encode("cp932")
    partner.conn.sendall(packet(PC_TRANSFER_REQUEST,
                                struct.pack("<HHIH", 0, len(encoded), FILE_SIZE, port) + encoded))
    window = top_level_where(app, "dialog", lambda c: c == "ファイル受信依頼を受信しました。",
                             "the receiving window")
    wait_for("the proposed name", lambda: text_of(need(window, "text", "ファイル名")) == name)
    shoot(shot_dir, "09-receive-offer", window)
    press(need(window, "push button", "OK"))
    body = partner.next_packet(PC_TRANSFER_REPLY)
    if body[2] != RC_ACCEPTED:
        raise Failure(f"the offer was answered with {body[2]}")
    data = socket.create_connection(("127.0.0.1", port), timeout=10)
    payload = os.urandom(FILE_SIZE)
    for start in range(0, FILE_SIZE // 2, PIECE):
        data.sendall(payload[start:min(start + PIECE, FILE_SIZE // 2)])
    wait_for("the receiving window's caption", lambda: "を受信中です。" in (window.name or ""))
    bar_behind(need(window, "progress bar"), FILE_SIZE // 2, "sent to it")
    shoot(shot_dir, "10-receive-under-way", window)
    for start in range(FILE_SIZE // 2, FILE_SIZE, PIECE):
        data.sendall(payload[start:min(start + PIECE, FILE_SIZE)])
    wait_for("the receiving window's caption",
             lambda: (window.name or "").endswith(" の受信を完了しました。"))
    shoot(shot_dir, "11-receive-done", window)
    data.close()
    press(need(window, "push button", "キャンセル"))


def bar_behind(bar, count, what):
    """Gives the bar a second to show count; says so when it does not."""
    try:
        wait_for("the bar", lambda: value_of(bar)[0] == count, timeout=1.0)
    except Failure:
        log(f"the bar stays at {value_of(bar)[0]:.0f} while {count} bytes are {what}")


def shoot(shot_dir, name, window):
    shot_of(shot_dir, name, window)
    log(f"{name}: {window.getRoleName()} '{window.name}'")


def show_device_lists(shot_dir, settings):
    """The microphone's and the speaker's lists opened, one after the other (whole screen: an
    open list may reach beyond the dialog)."""
    combos = [c for c in walk(settings) if c.getRoleName() == "combo box" and showing(c)]
    for n, combo in enumerate(combos[:2]):
        name = f"02b{n + 1}-settings-音声-{('マイク', 'スピーカー')[n]}の一覧"
        click(combo)
        time.sleep(0.5)  # opened and drawn
        screenshot(shot_dir, name)
        log(f"{name}: the whole screen")
        pyatspi.Registry.generateKeyboardEvent(0xFF1B, None, pyatspi.KEY_SYM)  # Escape
        time.sleep(0.3)


def run(exe, work, shot_dir, sound=None):
    pyatspi.Registry.getDesktop(0)  # the registry runs before the copy starts
    partner = Partner("はなこ")
    transfer_port = free_port()
    data_listener = socket.socket()
    data_listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    data_listener.bind(("127.0.0.1", transfer_port))
    data_listener.listen()
    # The program calls on its own conversation port, where this script listens; it does not
    # listen itself. Its offers name its transfer port, where this script listens too.
    copy = Copy(work, "A", exe, runtime_dir=runtime_dir(work, "a"), ini=(
        f"[Global]\nConversationPort={partner.port}\nTransferPort={transfer_port}\n"
        "ServerListen=0\n[Personal]\nMyName=たろう\n"), sound=sound)
    copy.start("+0+0")
    main = copy.window()
    wait_for("the log", lambda: "接続待機中止" in text_of(need(main, "text", "ログ")))
    app = copy.app()
    shoot(shot_dir, "01-main-window", main)

    press(find(need(app, "menu bar"), "menu item", "設定"))
    settings = top_level(app, "dialog", "設定")
    wait_for("this computer's address", lambda: text_of(need(settings, "text", "このＰＣのアドレス")))
    shoot(shot_dir, "02-settings", settings)
    tabs = need(settings, "page tab list")
    for i, caption in enumerate(("接続先", "音声", "暗号化", "デスクトップ")):
        press(need(tabs, "page tab", caption))
        time.sleep(0.5)  # drawn
        shoot(shot_dir, f"02{chr(ord('a') + i)}-settings-{caption}", settings)
        if caption == "音声" and sound:
            show_device_lists(shot_dir, settings)
    press(need(settings, "push button", "閉じる"))

    dialog = call(copy, "はなこ", comment="窓の写真を撮ります")
    shoot(shot_dir, "03-connect", dialog)
    press(need(dialog, "push button", "接続"))
    partner.answer_call()
    wait_for("the partner in the member list", lambda: copy.member_names() == ["はなこ"])
    shoot(shot_dir, "04-main-connected", main)

    press(menu_item(app, "ヘルプ", "バージョン情報"))
    about = top_level(app, "dialog", "バージョン情報")
    shoot(shot_dir, "05-about", about)
    press(need(about, "push button", "OK"))

    item = need(copy.members(), "list item", "はなこ")
    choose_from_popup(item, 0, lambda: screenshot(shot_dir, "06-member-menu"))
    log("06-member-menu: the whole screen")
    send = top_level_where(app, "dialog", lambda c: c == "送信ファイルを選択してください。",
                           "the sending window")
    shoot(shot_dir, "07-send-choose", send)
    source = os.path.join(work, "旅行の写真.jpg")
    with open(source, "wb") as f:
        f.write(os.urandom(FILE_SIZE))
    need(send, "text", "ファイル名").queryEditableText().setTextContents(source)
    press(need(send, "push button", "OK"))
    receive_offer(partner, data_listener, shot_dir, send)
    wait_for("the sending window's caption", lambda: (send.name or "").endswith("の送信を完了しました。"))
    press(need(send, "push button", "キャンセル"))
    wait_for("the sending window closed",
             lambda: find(app, "dialog", contains="の送信を完了しました。") is None)

    send_offer(partner, app, shot_dir, "議事録（第３回）.txt", free_port())
    screenshot(shot_dir, "12-screen")
    log("12-screen: the whole screen")
    partner.close()
    data_listener.close()


def main():
    exe, work, shot_dir = sys.argv[1], sys.argv[2], sys.argv[3]
    sound = sound_server(sys.argv[4]) if len(sys.argv) > 4 and sys.argv[4] else None
    return drive(lambda: run(exe, work, shot_dir, sound), shot_dir, work)


if __name__ == "__main__":
    sys.exit(main())
