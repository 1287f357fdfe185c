#!/usr/bin/python3
"""Talking while another program has the keyboard focus, driven from outside as the desktop
would: the push-to-talk key held anywhere, the session bus's methods, the command line.

One copy of the program calls this script's partner (which speaks the conversation protocol on
loopback and counts the voice blocks it receives), with a private sound server for its
microphone, on a display with a window manager. Another program's window (xev) has the focus
throughout. Checked, at the partner:
1. `xdotool keydown` on the chosen key makes the program send voice blocks; `keyup` stops them.
   The key still reaches the focused window (xev prints it).
2. dbus-send StartTalking / StopTalking do the same.
3. `Voxilen --ptt-press` / `--ptt-release` from a shell do the same.
4. A press whose release never comes ends at the limit (60 s), with a log line.

Usage: desktop_e2e.py EXECUTABLE WORK_DIR SHOT_DIR PULSE_ENV_FILE
"""

import os
import subprocess
import sys
import threading
import time

import pyatspi

from e2e_support import (Copy, Failure, call, drive, find, log, need, press, runtime_dir,
                         screenshot, shot_of, sound_server, started, text_of, top_level,
                         wait_for)
from screenshots import Partner

PC_VOICE = 2
KEY = "F9"
TALK_LIMIT_S = 60  # the program's limit for a press whose release never comes
QUIET_S = 1.5  # no block for this long: the program has stopped talking


class Listener:
    """Counts the voice blocks the partner receives, on a thread of its own."""

    def __init__(self, partner):
        self.partner = partner
        self.blocks = 0
        self.last = time.monotonic()
        self.error = None
        self.partner.conn.settimeout(None)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        try:
            while True:
                command, _ = self.partner.read_packet()
                if command == PC_VOICE:
                    self.blocks += 1
                    self.last = time.monotonic()
        except Exception as e:  # the connection ends with the test
            self.error = e

    def talking(self, what):
        """Waits for new voice blocks."""
        before = self.blocks
        wait_for(f"voice blocks after {what}", lambda: self.blocks >= before + 2, timeout=15)
        log(f"{what}: voice arrives ({self.blocks - before} blocks so far)")

    def quiet(self, what, timeout=10):
        """Waits until no block has come for QUIET_S, and checks that none follows."""
        wait_for(f"the voice to stop after {what}",
                 lambda: time.monotonic() - self.last > QUIET_S, timeout=timeout)
        count = self.blocks
        time.sleep(QUIET_S)
        if self.blocks != count:
            raise Failure(f"voice goes on after {what}")
        log(f"{what}: the voice has stopped ({count} blocks in all)")


def run_tool(args, env=None):
    result = subprocess.run(args, capture_output=True, text=True, timeout=20, env=env)
    if result.returncode != 0:
        raise Failure(f"{args[0]} failed ({result.returncode}): {result.stderr.strip()}")
    return result.stdout


def dbus_call(method):
    run_tool(["dbus-send", "--session", "--print-reply", "--dest=org.voxilen.Voxilen",
              "/org/voxilen/Voxilen", f"org.voxilen.Voxilen.{method}"])


def choose_key(copy, shot_dir):
    """設定 > デスクトップ: the key chooser pressed with the mouse, then the key itself."""
    app = copy.app()
    press(find(need(app, "menu bar"), "menu item", "設定"))
    settings = top_level(app, "dialog", "設定")
    # The tabs come after the dialog appeared on the accessibility bus: looked up afresh.
    press(wait_for("the desktop page's tab", lambda: find(
        top_level(app, "dialog", "設定"), "page tab", "デスクトップ")))
    chooser = need(settings, "push button", "プッシュトゥトークキー")
    chooser.queryComponent().grabFocus()
    wait_for("the chooser focused", lambda: chooser.getState().contains(pyatspi.STATE_FOCUSED))
    press(chooser)
    wait_for("the chooser waiting for a key",
             lambda: "キーを押してください" in (chooser.description or ""))
    run_tool(["xdotool", "key", KEY])
    wait_for(f"the chooser showing {KEY}", lambda: chooser.description == KEY)
    shot_of(shot_dir, "settings-desktop-key", settings)
    press(need(settings, "push button", "OK"))
    wait_for("the settings dialog closed", lambda: find(app, "dialog", "設定") is None)
    log(f"{KEY} chosen in the settings dialog")


def run(exe, work, shot_dir, pulse_env):
    pyatspi.Registry.getDesktop(0)
    partner = Partner("はなこ")
    copy = Copy(work, "A", exe, runtime_dir=runtime_dir(work, "a"),
                sound=sound_server(pulse_env), ini=(
                    f"[Global]\nConversationPort={partner.port}\nTransferPort=1\n"
                    "ServerListen=0\n[Personal]\nMyName=たろう\n"))
    copy.start("+0+0")
    main = copy.window()
    log_pane = need(main, "text", "ログ")
    wait_for("the log", lambda: "接続待機中止" in text_of(log_pane))
    choose_key(copy, shot_dir)
    if "プッシュトゥトークキー" in text_of(log_pane):
        raise Failure(f"the key is not watched: {text_of(log_pane)}")
    press(need(call(copy, "はなこ"), "push button", "接続"))
    partner.answer_call()
    wait_for("the partner in the member list", lambda: copy.member_names() == ["はなこ"])
    voice = Listener(partner)

    # Another program has the focus: xev shows the keys it gets.
    xev_out = os.path.join(work, "xev.txt")
    with open(xev_out, "w") as out:
        xev = subprocess.Popen(["xev", "-event", "keyboard", "-name", "elsewhere",
                                "-geometry", "300x200+600+400"], stdout=out,
                               stderr=subprocess.DEVNULL)
    started.append(xev)
    wid = wait_for("the other window", lambda: run_tool(
        ["xdotool", "search", "--name", "^elsewhere$"]).split())[-1]
    run_tool(["xdotool", "windowactivate", "--sync", wid])
    wait_for("the other window focused",
             lambda: run_tool(["xdotool", "getwindowfocus"]).strip() == wid)
    time.sleep(0.5)

    # 1. The key held anywhere.
    run_tool(["xdotool", "keydown", KEY])
    voice.talking("keydown " + KEY)
    screenshot(shot_dir, "talking-by-key")
    if run_tool(["xdotool", "getwindowfocus"]).strip() != wid:
        raise Failure("the program took the focus")
    run_tool(["xdotool", "keyup", KEY])
    voice.quiet("keyup " + KEY)
    with open(xev_out) as f:
        seen = f.read()
    for kind in ("KeyPress", "KeyRelease"):
        if not any(kind in block and f", {KEY})" in block for block in seen.split("\n\n")):
            raise Failure(f"the focused window did not get the {kind} of {KEY}:\n{seen}")
    log(f"the focused window got {KEY} pressed and released")

    # 2. The session bus's methods.
    dbus_call("StartTalking")
    voice.talking("StartTalking")
    dbus_call("StopTalking")
    voice.quiet("StopTalking")

    # 3. The command line, handing over to the running copy.
    shell_env = dict(os.environ, XDG_RUNTIME_DIR=copy.runtime_dir)
    run_tool([exe, "--ptt-press"], env=shell_env)
    voice.talking("--ptt-press")
    run_tool([exe, "--ptt-release"], env=shell_env)
    voice.quiet("--ptt-release")

    # 4. A release that never comes: the talk ends at the limit.
    began = time.monotonic()
    dbus_call("StartTalking")
    voice.talking("StartTalking without StopTalking")
    voice.quiet("the limit", timeout=TALK_LIMIT_S + 20)
    took = time.monotonic() - began
    if took < TALK_LIMIT_S - 1:
        raise Failure(f"the talk ended after {took:.0f} s, before the limit")
    wait_for("the log line", lambda: "離す操作が届きませんでした" in text_of(log_pane))
    log(f"a lost release ended the talk after {took:.0f} s (limit {TALK_LIMIT_S} s)")
    if voice.error is not None and not isinstance(voice.error, Failure):
        raise Failure(f"the partner's connection failed: {voice.error}")
    partner.close()


def main():
    exe, work, shot_dir, pulse_env = sys.argv[1:5]
    return drive(lambda: run(exe, work, shot_dir, pulse_env), shot_dir, work)


if __name__ == "__main__":
    sys.exit(main())
