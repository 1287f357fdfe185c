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
import signal
import subprocess
import sys
import time

import pyatspi

from e2e_audio import tone_in, write_tone
from e2e_support import (TITLE, Copy, Failure, STEP_TIMEOUT, accept, call, click, drive, end,
                         find, free_port, log, menu_item, need, press, runtime_dir, screenshot,
                         sound_server, started, text_of, top_level, wait_for)

ALREADY_RUNNING = "「ぼくしれん．ｅｘｅ」は既に起動されています。"

pulse = {}  # PULSE_* settings of the private sound server; empty when there is none

TONE_HZ = 440.0
PLAYBACK_SPEED_UP = 1.05  # partners are heard 5% faster than they spoke


def run(exe, work, shot_dir):
    pyatspi.Registry.getDesktop(0)  # the registry runs before the copies start
    port = free_port()
    run_a = runtime_dir(work, "a")
    a = Copy(work, "A", exe, runtime_dir=run_a, ini=(
        f"[Global]\nConversationPort={port}\nTransferPort={port + 1}\nServerListen=1\n"
        "[Personal]\nMyName=はなこ\n"), sound=pulse)
    # B calls on its own conversation port, the one A listens on; it does not listen itself.
    b = Copy(work, "B", exe, runtime_dir=runtime_dir(work, "b"), ini=(
        f"[Global]\nConversationPort={port}\nTransferPort={port + 2}\nServerListen=0\n"
        "[Personal]\nMyName=たろう\n"), sound=pulse)

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
    c = Copy(work, "C", exe, runtime_dir=run_a, exe_name="VoxilenCopy", ini="[Global]\n",
             sound=pulse)
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


def talk(speaker_window, work, shot_dir):
    """The speaker holds 音声送信 with the mouse while a tone plays into its microphone; the
    listener plays it 5% faster. Both copies use the one private sound server."""
    tone, heard = os.path.join(work, "tone.wav"), os.path.join(work, "heard.wav")
    write_tone(tone, 1.5, TONE_HZ)
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


def main():
    exe, work = sys.argv[1], sys.argv[2]
    shot_dir = sys.argv[3] if len(sys.argv) > 3 and sys.argv[3] else None
    pulse.update(sound_server(sys.argv[4] if len(sys.argv) > 4 else None))
    return drive(lambda: run(exe, work, shot_dir), shot_dir, work)


if __name__ == "__main__":
    sys.exit(main())
