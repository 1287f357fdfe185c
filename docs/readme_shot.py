#!/usr/bin/python3
"""The main window for the README: one copy of the program listening, two partners (raw
sockets on loopback) called in and accepted, a few chat lines exchanged.

Run it through readme_shot.sh, which starts a private X display and D-Bus session.
Usage: readme_shot.py EXECUTABLE WORK_DIR OUTPUT_PNG
"""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "hostile"))

from e2e_support import (Copy, click, drive, find, free_port, need, press,  # noqa: E402
                         runtime_dir, shot_of, text_of, top_level, wait_for)
import pyatspi  # noqa: E402
from peers import Partner, text_packet  # noqa: E402

INCOMING = "接続要求を受け付けました。"


def call_in(app, port, address, name):
    partner = Partner(port, address)
    partner.handshake(name.encode("cp932"))
    press(need(top_level(app, "dialog", INCOMING), "push button", "接続"))
    partner.wait_accepted()
    partner.start_reading()
    return partner


def run(exe, work, output):
    pyatspi.Registry.getDesktop(0)
    port = free_port()
    me = Copy(work, "A", exe, runtime_dir=runtime_dir(work, "a"), ini=(
        f"[Global]\nConversationPort={port}\nTransferPort={port + 1}\nServerListen=1\n"
        "[Personal]\nMyName=たろう\n"))
    me.start("+0+0")
    window = me.window()
    app = me.app()
    wait_for("listening", lambda: "接続待機開始。" in text_of(need(window, "text", "ログ")))
    hanako = call_in(app, port, "127.0.0.2", "はなこ")
    jiro = call_in(app, port, "127.0.0.3", "じろう")
    wait_for("both members", lambda: sorted(me.member_names()) == ["じろう", "はなこ"])

    received = need(window, "text", "受信テキスト")
    hanako.send(text_packet("こんにちは、聞こえますか？".encode("cp932")))
    wait_for("the first line", lambda: "聞こえますか" in text_of(received))
    edit = need(window, "text", "送信テキスト")
    click(edit)
    edit.queryEditableText().setTextContents("はい、よく聞こえます。資料をあとで送りますね。")
    pyatspi.Registry.generateKeyboardEvent(0xFF0D, None, pyatspi.KEY_SYM)  # Return
    wait_for("the line sent", lambda: hanako.received_texts())
    jiro.send(text_packet("じろうです。ぼくも入れてください。".encode("cp932")))
    wait_for("the second line", lambda: "じろうです" in text_of(received))
    click(find(me.members(), "list item", "はなこ"))
    shot_of(os.path.dirname(output), os.path.splitext(os.path.basename(output))[0], window)


def main():
    exe, work, output = sys.argv[1:4]
    return drive(lambda: run(exe, work, output), None, work)


if __name__ == "__main__":
    sys.exit(main())
