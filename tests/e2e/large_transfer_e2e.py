#!/usr/bin/python3
"""A large file (256 MiB) sent between two real copies of the program at full speed, driven
from outside through the accessibility tree.

Copy A listens; B calls it and A accepts. B offers the file from its member list's pop-up menu;
A's receiving window shows the offer with the size ("たろうさんから <name>（268.4 MB）") and OK
accepts it. While the file travels both windows show bytes done of total, the rate and the time
left (pictures of both windows are taken then); at the end both offer 開く and フォルダを開く
(pictures again), and the file in A's "Recieved" folder equals the one sent byte for byte.

Runs inside a D-Bus session on an X display that the calling script provides. Every process it
starts is ended by its own process id.
Usage: large_transfer_e2e.py EXECUTABLE WORK_DIR SHOT_DIR
"""

import filecmp
import os
import sys
import time

from e2e_support import (Failure, drive, end, find, log, need, press, screenshot, shot_of, value_of,
                         wait_for)
from transfer_e2e import (caption, connected_copies, fill_and_offer, offer_from_member_list,
                          receiving_window)

FILE_SIZE = 256 * 1024 * 1024
SENT_NAME = "大きな資料.bin"
SIZE_TEXT = "268.4 MB"


def status_of(window):
    """The line under the bar (its accessible name is its text); "" when there is none."""
    for contains in (" / ", "完了", "さんから "):
        label = find(window, "label", contains=contains)
        if label is not None:
            return label.name or ""
    return ""


def run(exe, work, shot_dir):
    a, b, _, _, _ = connected_copies(exe, work)

    source = os.path.join(work, SENT_NAME)
    with open(source, "wb") as f:
        for _ in range(FILE_SIZE // (1 << 20)):
            f.write(os.urandom(1 << 20))
    saved = os.path.join(a.folder, "Recieved", SENT_NAME)

    send = offer_from_member_list(b, "はなこ")
    fill_and_offer(send, source)
    recv = receiving_window(a, SENT_NAME)
    offer = status_of(recv)
    if offer != f"たろうさんから {SENT_NAME}（{SIZE_TEXT}）":
        raise Failure(f"the offer reads '{offer}'")
    log(f"the offer reads '{offer}'")
    shot_of(shot_dir, "1-offer", recv)
    press(need(recv, "push button", "OK"))
    accepted = time.monotonic()

    bar_a, bar_b = need(recv, "progress bar"), need(send, "progress bar")
    sending, receiving = SENT_NAME + " を送信中です。", SENT_NAME + " を受信中です。"
    sent_done, recv_done = SENT_NAME + " の送信を完了しました。", SENT_NAME + " の受信を完了しました。"
    shots, mid = [], {}
    while True:
        captions = {"recv": caption(recv), "send": caption(send)}
        if captions == {"recv": recv_done, "send": sent_done}:
            completed = time.monotonic()
            break
        if not shots and captions == {"recv": receiving, "send": sending}:
            try:
                values = [value_of(bar_a)[0], value_of(bar_b)[0]]
            except Exception:
                values = [0, 0]
            texts = [status_of(recv), status_of(send)]
            if min(values) > 0 and all("残り" in t for t in texts):
                shots = [shot_of(shot_dir, "2-receiving-mid-transfer", recv, wait=False),
                         shot_of(shot_dir, "2-sending-mid-transfer", send, wait=False)]
                mid = {"recv": texts[0], "send": texts[1]}
        if time.monotonic() - accepted > 120:
            raise Failure(f"the transfer did not end: {captions}")
        time.sleep(0.005)
    for shot in shots:
        if shot is not None:
            shot.wait(timeout=20)
    log(f"{FILE_SIZE >> 20} MiB took {completed - accepted:.2f} s from A's OK "
        f"({FILE_SIZE / (completed - accepted) / 1e6:.1f} MB/s, the accessibility bus's "
        f"looks included)")
    if mid:
        log(f"mid-way A showed '{mid['recv']}', B '{mid['send']}'")
    else:
        log("the transfer was too quick for a look at both windows mid-way")

    for who, window in (("A", recv), ("B", send)):
        wait_for(f"{who} offering to open the file",
                 lambda w=window: find(w, "push button", "開く") is not None and
                 find(w, "push button", "フォルダを開く") is not None, timeout=10)
    texts = {"recv": status_of(recv), "send": status_of(send)}
    log(f"at the end A shows '{texts['recv']}', B '{texts['send']}'")
    shot_of(shot_dir, "3-receiving-done", recv)
    shot_of(shot_dir, "3-sending-done", send)
    screenshot(shot_dir, "3-both-done")
    for who, text in texts.items():
        if not text.startswith(SIZE_TEXT + "\u3000完了"):
            raise Failure(f"{who} at the end: '{text}'")
    if not filecmp.cmp(source, saved, shallow=False):
        raise Failure("the received file differs from the one sent")
    log("the file arrived whole")
    end(b)
    end(a)


def main():
    exe, work = sys.argv[1], sys.argv[2]
    shot_dir = sys.argv[3] if len(sys.argv) > 3 and sys.argv[3] else None
    return drive(lambda: run(exe, work, shot_dir), shot_dir, work)


if __name__ == "__main__":
    sys.exit(main())
