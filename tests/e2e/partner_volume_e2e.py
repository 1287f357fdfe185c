#!/usr/bin/python3
"""How loud each partner is played, and the speaker chosen in the settings dialog, measured on
the monitors of a private sound server, with the real program driven from outside.

Copy A listens on loopback with the sound server of the calling script. Its partners are this
script: callers that speak the conversation protocol as an older copy does (one from 127.0.0.1,
one from 127.0.0.2, since A takes one call per address) and send voice blocks of a steady tone
each, 441 Hz and 689 Hz, at a pace that keeps the mixer from running dry. A plays them 5% higher
on its speaker (spk); the level of each tone on spk's monitor is measured (Goertzel) over the
stretches where the sound does not break off.

1. Per-partner volume, read from A's settings when a partner joins: both at 100 % (the
   reference), たろう at 50 % (its level halves within 10 %, じろう's stays within 10 %), たろう
   muted (nothing of it, and じろう as loud as it is alone: twice its level beside an unmuted
   partner).
2. The speaker chosen in 設定 > 音声 survives a restart: with a second speaker loaded, it is
   chosen in the dialog while the dialog is open (the list takes it in without reopening), and
   a third one loaded and unloaded comes and goes from the list; OK, quit, start again: the log
   names the chosen speaker, and a partner's tone is heard on its monitor and not on spk's.

Runs inside a D-Bus session on an X display that the calling script provides. Every process it
starts is ended by its own process id; the sinks it loads are unloaded.
Usage: partner_volume_e2e.py EXECUTABLE WORK_DIR OUTPUT_DIR PULSE_ENV
"""

import math
import os
import re
import socket
import struct
import subprocess
import sys
import threading
import time

import pyatspi

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "hostile"))
from peers import voice_block, voice_packet  # noqa: E402  (the wire's voice coding)

from e2e_audio import MonitorRecorder, envelope, tone_level
from e2e_support import (MAGIC, Copy, Failure, STEP_TIMEOUT, accept, click, drive, end, find,
                         free_port, log, need, press, runtime_dir, shot_of, showing,
                         sound_server, started, text_of, top_level, wait_for, walk, packet,
                         read_exactly)

PC_CONNECT, PC_CONNECT_REPLY = 1, 6
RC_ACCEPTED = 1

RATE = 11025  # the program's voice rate; the recorders take the monitors at it too
PLAY_RATE = RATE * 105 // 100  # partners are played 5% faster (and higher)
BLOCK = 4410  # one voice block (0.4 s)
AMPLITUDE = 60  # of the 8-bit samples' 127: 200 % of the mean of two does not clip
TONES = {"たろう": 441.0, "じろう": 689.0}
BLOCKS = 12  # per phase: about 4.5 s of tone
TOLERANCE = 0.10



def tone_blocks(hz, count):
    """count blocks of one unbroken 8-bit tone."""
    samples = bytes(128 + round(AMPLITUDE * math.sin(2 * math.pi * hz * i / RATE))
                    for i in range(count * BLOCK))
    return [samples[i:i + BLOCK] for i in range(0, len(samples), BLOCK)]



class Caller:
    """A partner that calls the program as an older copy does, then sends voice when told to.
    What the program sends is read and dropped on a thread of its own."""

    def __init__(self, name, port, source):
        self.name = name
        self.sock = socket.socket()
        self.sock.bind((source, 0))
        self.sock.settimeout(STEP_TIMEOUT)
        self.sock.connect(("127.0.0.1", port))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        encoded = name.encode("cp932")
        comment = "音量のテスト".encode("cp932")
        self.sock.sendall(packet(PC_CONNECT, struct.pack("<HHHH", 0, len(encoded), len(comment), 0)
                                 + encoded + comment))

    def answered(self):
        """Waits for the program's answer; true when it accepted."""
        header = read_exactly(self.sock, 14)
        total, command = struct.unpack("<IB", header[9:14])
        body = read_exactly(self.sock, total - 14)
        if command != PC_CONNECT_REPLY or body[2] != RC_ACCEPTED:
            return False
        self.sock.settimeout(None)
        threading.Thread(target=self._drain, daemon=True).start()
        return True

    def _drain(self):
        try:
            while self.sock.recv(65536):
                pass
        except OSError:
            pass

    def send(self, data):
        self.sock.sendall(data)

    def close(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()


def pactl(sound, *args):
    done = subprocess.run(["pactl", *args], env=dict(os.environ, **sound), capture_output=True,
                          text=True, timeout=STEP_TIMEOUT)
    if done.returncode != 0:
        raise Failure(f"pactl {' '.join(args)}: {done.stderr.strip()}")
    return done.stdout.strip()


class Sinks:
    """Null sinks loaded for the test, unloaded at the end (or earlier, by name)."""

    def __init__(self, sound):
        self.sound, self.modules = sound, {}

    def load(self, name, description):
        self.modules[name] = pactl(self.sound, "load-module", "module-null-sink",
                                   f"sink_name={name}", "norewinds=1",
                                   f"sink_properties=\"device.description='{description}'\"")

    def unload(self, name):
        module = self.modules.pop(name, None)
        if module is not None:
            pactl(self.sound, "unload-module", module)

    def close(self):
        for name in list(self.modules):
            try:
                self.unload(name)
            except Failure:
                pass


def call_in(copy, port, names):
    """The callers of names call the copy one after another (each from an address of its own);
    the copy accepts each."""
    callers = []
    for i, name in enumerate(names):
        caller = Caller(name, port, f"127.0.0.{i + 1}")
        callers.append(caller)
        accept(copy)
        if not caller.answered():
            raise Failure(f"{name}'s call was not accepted")
        wait_for(f"{name} in the member list", lambda n=name: n in copy.member_names())
    return callers


def hang_up(copy, callers):
    for caller in callers:
        caller.close()
    wait_for("the member list empty", lambda: copy.member_names() == [])


def talk(callers, pace=0.37):
    """Every caller sends its tone at once, two blocks ahead and then one block every pace
    seconds: a little faster than the program plays them (0.38 s a block), so that the mixer
    holds some of each partner throughout and the sound does not break off."""
    blocks = {c.name: tone_blocks(TONES[c.name], BLOCKS) for c in callers}
    start = time.monotonic()
    for k in range(BLOCKS):
        due = start + max(k - 1, 0) * pace
        time.sleep(max(0.0, due - time.monotonic()))
        for caller in callers:
            samples = blocks[caller.name][k]
            caller.send(voice_packet(len(samples), voice_block(samples)))


def record(source, sound):
    r = MonitorRecorder(source, sound, RATE)
    started.append(r.process)
    r.wait_running()
    return r


def steady_levels(samples, names):
    """The level of each partner's tone (as played, 5% higher) over 0.2 s windows in which the
    sound goes on without a break: the median over those windows, and how many there were."""
    window, step = RATE // 5, RATE // 10
    frames = envelope(samples, RATE)
    loud = sorted(frames)[len(frames) * 9 // 10] if frames else 0
    if loud < 1000:
        raise Failure(f"A played nothing (loudness {loud:.0f})")
    levels = {name: [] for name in names}
    frame = RATE // 100  # samples per frame of the envelope
    for at in range(0, len(samples) - window, step):
        inside = frames[at // frame:(at + window) // frame]
        if not inside or min(inside) < 0.3 * loud:
            continue  # the sound starts, ends or breaks off in this window
        piece = samples[at:at + window]
        for name in names:
            levels[name].append(tone_level(piece, RATE, TONES[name] * PLAY_RATE / RATE))
    counts = {len(v) for v in levels.values()}
    if min(counts) < 5:
        raise Failure(f"A played too little of the tones without a break ({min(counts)} windows)")
    return {name: sorted(v)[len(v) // 2] for name, v in levels.items()}, min(counts)


def set_volumes(ini_path, volumes):
    """Writes each partner's volume and mute into A's remembered partners (A reads them when the
    partner joins)."""
    with open(ini_path, "rb") as f:
        text = f.read().decode("cp932")
    for name, (volume, mute) in volumes.items():
        section = re.search(r"\[(Partner\d+)\]\r\nPartnerName=" + re.escape(name) +
                            r"\r\n(?:(?!\[).*\r\n)*", text)
        if section is None:
            raise Failure(f"{name} is not remembered in A's settings")
        body = re.sub(r"(Volume|Mute)=.*\r\n", "", section.group(0))
        body += f"Volume={volume}\r\nMute={1 if mute else 0}\r\n"
        text = text[:section.start()] + body + text[section.end():]
    with open(ini_path, "wb") as f:
        f.write(text.encode("cp932"))


def volume_phase(a, port, ini_path, sound, label, volumes, out_dir):
    set_volumes(ini_path, volumes)
    callers = call_in(a, port, list(TONES))
    try:
        spk = record("spk.monitor", sound)
        talk(callers)
        time.sleep(BLOCK / RATE + 1.0)  # the backlog is played out
        samples = spk.stop()
        if out_dir:
            spk.save(os.path.join(out_dir, f"heard-{label}.wav"))
    finally:
        hang_up(a, callers)
    levels, windows = steady_levels(samples, list(TONES))
    log(f"{label}: " + ", ".join(f"{n} {volumes[n][0]} %{' muted' if volumes[n][1] else ''} "
                                 f"level {levels[n]:.0f}" for n in TONES) +
        f" ({windows} steady windows)")
    return levels


def check_ratio(what, got, wanted):
    log(f"{what}: {got:.3f} (goal {wanted:.2f} within {TOLERANCE:.0%})")
    if abs(got - wanted) > TOLERANCE * wanted:
        raise Failure(f"{what} is {got:.3f}, not {wanted:.2f} within {TOLERANCE:.0%}")


def volumes(a, port, ini_path, sound, out_dir):
    first, second = list(TONES)
    both = volume_phase(a, port, ini_path, sound, "both-100", {first: (100, False),
                                                               second: (100, False)}, out_dir)
    if min(both.values()) < 0.25 * AMPLITUDE * 256:
        raise Failure(f"the partners are too quiet at 100 %: {both}")
    half = volume_phase(a, port, ini_path, sound, "first-50", {first: (50, False),
                                                               second: (100, False)}, out_dir)
    check_ratio(f"{first} at 50 % against 100 %", half[first] / both[first], 0.5)
    check_ratio(f"{second} at 100 % beside it", half[second] / both[second], 1.0)
    muted = volume_phase(a, port, ini_path, sound, "first-muted", {first: (100, True),
                                                                   second: (100, False)}, out_dir)
    left = muted[first] / both[first]
    log(f"{first} muted: {left:.3f} of its level at 100 % (goal below 0.05)")
    if left > 0.05:
        raise Failure(f"{first} is still heard while muted ({left:.3f})")
    # A muted partner does not count in the mixer's mean: the other is heard as if alone.
    check_ratio(f"{second} beside a muted partner", muted[second] / both[second], 2.0)


def combo_items(combo):
    """The texts a combo box offers (its list's items, from the accessibility tree)."""
    names = []
    for i in range(combo.childCount):
        view = combo.getChildAtIndex(i)
        if view is None:
            continue
        for j in range(view.childCount):
            item = view.getChildAtIndex(j)
            if item is not None and item.getRoleName() in ("list item", "table cell"):
                names.append(item.name)
    return names


def choose_in_combo(combo, text):
    """Chooses text in a combo box as a user does: its list opened with the mouse, Home, Down
    to the item, Enter (the open list holds the keyboard)."""
    index = combo_items(combo).index(text)
    click(combo)
    time.sleep(0.3)
    keys = [0xFF50] + [0xFF54] * index + [0xFF0D]  # Home, Down..., Return
    for key in keys:
        pyatspi.Registry.generateKeyboardEvent(key, None, pyatspi.KEY_SYM)
        time.sleep(0.05)


CHOSEN, SPARE = ("e2e_headset", "Headset Speakers"), ("e2e_spare", "Spare Speakers")


def chosen_speaker(a, port, ini_path, sound, sinks, out_dir):
    """The speaker chosen in 設定 > 音声 (a list that follows devices while it is open), kept
    across a restart."""
    sinks.load(*CHOSEN)
    app = a.app()
    press(find(need(app, "menu bar"), "menu item", "設定"))
    settings = top_level(app, "dialog", "設定")
    press(wait_for("the sound page's tab", lambda: find(
        top_level(app, "dialog", "設定"), "page tab", "音声")))
    # The toolkit names a combo box after its current item: the speaker's list is the one
    # offering the loaded speaker.
    speaker = wait_for(f"{CHOSEN[1]} offered", lambda: next(
        (c for c in walk(settings) if c.getRoleName() == "combo box" and showing(c)
         and CHOSEN[1] in combo_items(c)), None))
    log("the sound page's combo boxes: " + "; ".join(
        f"'{c.name}': {combo_items(c)}" for c in walk(settings)
        if c.getRoleName() == "combo box" and showing(c)))

    # Devices that come and go while the dialog is open.
    began = time.monotonic()
    sinks.load(*SPARE)
    wait_for(f"{SPARE[1]} offered while the dialog is open",
             lambda: SPARE[1] in combo_items(speaker))
    came = time.monotonic() - began
    shot_of(out_dir, "settings-sound-devices", settings)
    began = time.monotonic()
    sinks.unload(SPARE[0])
    wait_for(f"{SPARE[1]} withdrawn", lambda: SPARE[1] not in combo_items(speaker))
    log(f"the open dialog's list took in a loaded speaker after {came:.1f} s and let an "
        f"unloaded one go after {time.monotonic() - began:.1f} s (polled every 1 s)")

    choose_in_combo(speaker, CHOSEN[1])
    shot_of(out_dir, "settings-sound-chosen", settings)
    press(need(settings, "push button", "OK"))
    wait_for("the settings dialog closed", lambda: find(app, "dialog", "設定") is None)
    with open(ini_path, "rb") as f:
        ini = f.read().decode("cp932")
    if f"SpeakerId={CHOSEN[0]}\r\n" not in ini or f"Speaker={CHOSEN[1]}\r\n" not in ini:
        raise Failure(f"the choice is not in the settings file:\n{ini}")
    log(f"{CHOSEN[1]} chosen in the dialog and written to the settings file")

    end(a)
    a.start("+0+0")
    line = f"スピーカー: {CHOSEN[1]} を使います。"
    wait_for(f"'{line}' in the log after the restart",
             lambda: line in text_of(need(a.window(), "text", "ログ")))
    log(f"after the restart the log says: {line}")

    name = list(TONES)[0]
    set_volumes(ini_path, {name: (100, False)})  # muted by the volume phases
    callers = call_in(a, port, [name])
    try:
        chosen = record(f"{CHOSEN[0]}.monitor", sound)
        other = record("spk.monitor", sound)
        talk(callers)
        time.sleep(BLOCK / RATE + 1.0)
        heard, elsewhere = chosen.stop(), other.stop()
    finally:
        hang_up(a, callers)
    hz = TONES[name] * PLAY_RATE / RATE
    level = max(tone_level(heard[i:i + RATE // 5], RATE, hz)
                for i in range(0, max(len(heard) - RATE // 5, 1), RATE // 10))
    stray = max(tone_level(elsewhere[i:i + RATE // 5], RATE, hz)
                for i in range(0, max(len(elsewhere) - RATE // 5, 1), RATE // 10))
    log(f"a partner's tone after the restart: level {level:.0f} on {CHOSEN[1]}, "
        f"{stray:.0f} on the default speaker")
    if level < 0.25 * AMPLITUDE * 256 or stray > 0.02 * level:
        raise Failure("the partner was not heard on the chosen speaker alone")


def main():
    exe, work = sys.argv[1], sys.argv[2]
    out_dir = sys.argv[3] if sys.argv[3] else None
    sound = sound_server(sys.argv[4])
    if out_dir and os.path.exists(os.path.join(out_dir, "failure.png")):
        os.remove(os.path.join(out_dir, "failure.png"))  # left by an earlier run

    def run():
        pyatspi.Registry.getDesktop(0)  # the registry runs before the copy starts
        port = free_port()
        partners = "".join(f"[Partner{i}]\nPartnerName={name}\nHostName=127.0.0.{i + 1}\n"
                           for i, name in enumerate(TONES))
        a = Copy(work, "A", exe, runtime_dir=runtime_dir(work, "a"), sound=sound, ini=(
            f"[Global]\nConversationPort={port}\nTransferPort={port + 1}\nServerListen=1\n"
            "[Personal]\nMyName=はなこ\n" + partners))
        ini_path = os.path.join(a.folder, "Voxilen.Ini")
        a.start("+0+0")
        wait_for("A listening", lambda: "接続待機開始。" in text_of(need(a.window(), "text", "ログ")))
        volumes(a, port, ini_path, sound, out_dir)
        sinks = Sinks(sound)
        try:
            chosen_speaker(a, port, ini_path, sound, sinks, out_dir)
        finally:
            sinks.close()
        end(a)
        log("A closed with exit code 0")

    return drive(run, out_dir, work)


if __name__ == "__main__":
    sys.exit(main())
