#!/usr/bin/python3
"""Pictures of where partners should dial: the settings dialog's 接続先 page and the
"自分の接続先" view, with a real router mapping and global IPv6 addresses. Run inside the LAN
namespace of the router test (router_test.py PROBE shots EXE OUTDIR), which makes the router."""
import sys

from e2e_support import (Copy, drive, find, log, menu_item, need, press, runtime_dir, shot_of,
                         text_of, top_level, wait_for)


def run(exe, work, shot_dir):
    copy = Copy(work, "A", exe, runtime_dir=runtime_dir(work, "a"), ini=(
        "[Global]\nConversationPort=9911\nTransferPort=9912\nServerListen=1\n"
        "[Personal]\nMyName=たろう\n"))
    copy.start("+0+0")
    main = copy.window()
    journal = need(main, "text", "ログ")
    wait_for("both ports mapped",
             lambda: text_of(journal).count("ルーターのポートを開きました") == 2)
    log(text_of(journal))
    app = copy.app()
    press(find(need(app, "menu bar"), "menu item", "設定"))
    settings = top_level(app, "dialog", "設定")
    press(need(settings, "page tab", "接続先"))
    wait_for("the router's address on the page",
             lambda: find(settings, "label", contains="11.22.33.1:9911"))
    need(settings, "label", contains="2001:db8:77::2")
    shot_of(shot_dir, "01-settings-reach", settings)
    press(need(settings, "push button", "閉じる"))

    press(menu_item(app, "接続", "自分の接続先"))
    view = top_level(app, "dialog", "自分の接続先")
    need(view, "label", contains="11.22.33.1:9911")
    shot_of(shot_dir, "02-reach-view", view)
    press(need(view, "push button", "閉じる"))


def main():
    exe, work, shot_dir = sys.argv[1], sys.argv[2], sys.argv[3]
    return drive(lambda: run(exe, work, shot_dir), shot_dir, work)


if __name__ == "__main__":
    sys.exit(main())
