#!/usr/bin/python3
"""The unpacked program as its user runs it.

1. Started from a folder the user cannot write (the package's usr/bin), it reads and writes
   its settings in $XDG_CONFIG_HOME/Voxilen/Voxilen.Ini, and a file a partner sends is saved
   in "Recieved" under the user's download folder; nothing appears beside the executable.
2. A copy of the same executable in a folder of the user's own, started from elsewhere, keeps
   Voxilen.Ini and "Recieved" beside itself and leaves the user's places alone.

The partner is a raw socket from its own loopback address: it calls, is accepted in the
incoming-call dialog, offers a file, and sends it once the user has accepted the offer in the
transfer window. The windows are worked through the accessibility tree.

Usage: package_run.py EXECUTABLE HOME SHOT_DIR
Runs as the user whose home folder HOME is, inside a D-Bus session on an X display.
"""

import os
import shutil
import signal
import socket
import struct
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import e2e_support  # noqa: E402
from e2e_support import (Failure, app_of, drive, free_port, log, menu_item, need,  # noqa: E402
                         press, started, text_of, top_level, wait_for)
import pyatspi  # noqa: E402
from peers import (PC_TRANSFER_REPLY, PC_TRANSFER_REQUEST, RC_ACCEPTED, Partner,  # noqa: E402
                   packet, read_packet)

TITLE = "ぼくしれん"
INCOMING = "接続要求を受け付けました。"
OFFER = "ファイル受信依頼を受信しました。"
# A build under a sanitizer on a busy machine takes a while to come up.
START_TIMEOUT = 60


def settings_text(port):
    # The transfer port is picked free as well: the one after a free port may belong to any
    # connection on the machine, and a data listener that cannot open answers no offer.
    transfer = free_port()
    while transfer == port:
        transfer = free_port()
    return (f"[Global]\r\nConversationPort={port}\r\nTransferPort={transfer}\r\n"
            "ServerListen=0\r\n[Personal]\r\nMyName=うけて\r\n").encode("cp932")


def write_private(path, data):
    os.makedirs(os.path.dirname(path), mode=0o700, exist_ok=True)
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "wb") as f:
        f.write(data)


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def entries(folder):
    return sorted(os.listdir(folder)) if os.path.isdir(folder) else []


class Program:
    """One run of an executable with the user's environment; cwd is where it is started."""

    def __init__(self, exe, home, config_home, cwd, name):
        self.exe = exe
        self.home = home
        self.config_home = config_home
        self.cwd = cwd
        self.stderr_path = os.path.join(home, f"stderr-{name}.txt")
        self.process = None

    def start(self):
        runtime = os.path.join(self.home, "run")
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        env = dict(os.environ)
        env.update(QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_QPA_PLATFORM="xcb", LC_ALL="C.UTF-8",
                   HOME=self.home, XDG_CONFIG_HOME=self.config_home, XDG_RUNTIME_DIR=runtime)
        with open(self.stderr_path, "wb") as stderr:
            self.process = subprocess.Popen([self.exe], cwd=self.cwd, env=env,
                                            stdout=subprocess.DEVNULL, stderr=stderr)
        started.append(self.process)
        e2e_support.copies.append(self)
        return self

    def stderr(self):
        return read_bytes(self.stderr_path).decode(errors="replace")

    def app(self):
        return wait_for(f"{self.exe} on the accessibility bus", lambda: app_of(self.process),
                        START_TIMEOUT)

    def window(self):
        return e2e_support.top_level_where(
            self.app(), "frame", lambda n: n == TITLE or n.startswith(TITLE + " - "), "the main window")

    def log_text(self):
        return text_of(need(self.window(), "text", "ログ"))

    def listen(self):
        """接続 > 待ち受けしない: the choice is written to the settings, then it listens."""
        press(menu_item(self.app(), "接続", "待ち受けしない"))
        wait_for("listening", lambda: "接続待機開始。" in self.log_text(), START_TIMEOUT)

    def end(self):
        self.process.send_signal(signal.SIGTERM)
        code = self.process.wait(timeout=20)
        if code != 0:
            raise Failure(f"{self.exe} ended with {code}")


def receive_file(program, port, address, name, content):
    """A partner from address calls, is accepted, offers name and sends content; the user
    accepts the offer with the name proposed."""
    app = program.app()
    partner = Partner(port, address)
    try:
        partner.handshake("おくりて".encode("cp932"))
        press(need(top_level(app, "dialog", INCOMING), "push button", "接続"))
        partner.wait_accepted()

        data_port = free_port()
        name_bytes = name.encode("cp932")
        partner.send(packet(PC_TRANSFER_REQUEST,
                            struct.pack("<HHIH", 0, len(name_bytes), len(content), data_port)
                            + name_bytes))
        window = top_level(app, "dialog", OFFER)
        field = need(window, "text", "ファイル名")
        wait_for("the offered name", lambda: text_of(field) == name)
        press(need(window, "push button", "OK"))
        while True:  # voice or anything else the program sends is skipped
            command, body = read_packet(partner.sock, 10)
            if command == PC_TRANSFER_REPLY:
                if body[2] != RC_ACCEPTED:
                    raise Failure(f"the offer was answered {body[2]}")
                break

        data = socket.socket()
        data.bind((address, 0))
        data.settimeout(10)
        data.connect(("127.0.0.1", data_port))
        data.sendall(content)
        acknowledged, pending = 0, b""
        while acknowledged < len(content):
            part = data.recv(4096)
            if not part:
                raise Failure(f"the data connection closed at {acknowledged} bytes")
            pending += part
            while len(pending) >= 8:
                acknowledged = struct.unpack("<q", pending[:8])[0]
                pending = pending[8:]
        data.close()
    finally:
        partner.close()



def expect_saved(program, path, content):
    """The program's log says it saved path, and path holds content."""
    line = f"{path} を保存しました。"
    try:
        wait_for(line, lambda: line in program.log_text())
    except Failure:
        raise Failure(f"no '{line}' in the log:\n{program.log_text()}")
    wait_for("the received file", lambda: read_bytes(path) == content)


def run(installed, home):
    pyatspi.Registry.getDesktop(0)
    bin_folder = os.path.dirname(installed)
    config_home = os.path.join(home, "xdg-config")
    downloads = os.path.join(home, "Downloads")
    os.makedirs(downloads)
    if os.access(bin_folder, os.W_OK):
        raise Failure(f"{bin_folder} is writable: the test would prove nothing")

    # --- 1. The installed program -------------------------------------------------------------
    port = free_port()
    settings = os.path.join(config_home, "Voxilen", "Voxilen.Ini")
    write_private(settings, settings_text(port))
    before = entries(bin_folder)
    program = Program(installed, home, config_home, bin_folder, "installed").start()
    program.window()
    program.listen()  # it listens on the port of the settings under XDG_CONFIG_HOME
    content = os.urandom(70000)
    receive_file(program, port, "127.0.0.7", "資料 1.bin", content)
    saved = os.path.join(downloads, "Recieved", "資料 1.bin")
    expect_saved(program, saved, content)
    program.end()
    written = read_bytes(settings).decode("cp932")
    if "ServerListen=1" not in written or f"ConversationPort={port}" not in written:
        raise Failure(f"the settings under XDG_CONFIG_HOME read:\n{written}")
    if entries(bin_folder) != before:
        raise Failure(f"the program's folder changed: {entries(bin_folder)}")
    if os.path.exists(os.path.join(home, ".config", "Voxilen")):
        raise Failure("settings went to ~/.config although XDG_CONFIG_HOME was set")
    log(f"installed: settings in {settings}, the file saved as {saved}, "
        f"{bin_folder} untouched")

    # --- 2. A copy in a folder of the user's own ------------------------------------------
    own = os.path.join(home, "portable")
    os.makedirs(own)
    copy = os.path.join(own, "Voxilen")
    shutil.copy2(installed, copy)
    port = free_port()
    beside = os.path.join(own, "Voxilen.Ini")
    write_private(beside, settings_text(port))
    user_settings = read_bytes(settings)
    program = Program(copy, home, config_home, home, "copy").start()
    program.window()
    program.listen()
    content = os.urandom(3000)
    receive_file(program, port, "127.0.0.8", "b.txt", content)
    expect_saved(program, os.path.join(own, "Recieved", "b.txt"), content)
    program.end()
    if "ServerListen=1" not in read_bytes(beside).decode("cp932"):
        raise Failure("the copy did not write Voxilen.Ini beside itself")
    if read_bytes(settings) != user_settings:
        raise Failure("the copy changed the settings under XDG_CONFIG_HOME")
    if entries(os.path.join(downloads, "Recieved")) != ["資料 1.bin"]:
        raise Failure("the copy saved into the download folder")
    if "Voxilen.Ini" in entries(home):
        raise Failure("the copy wrote its settings where it was started")
    log(f"a copy in {own}: Voxilen.Ini and Recieved beside it")


def main():
    installed, home, shots = sys.argv[1:4]
    return drive(lambda: run(installed, home), shots, home)


if __name__ == "__main__":
    sys.exit(main())
