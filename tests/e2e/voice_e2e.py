#!/usr/bin/python3
"""Voice between real copies of the program, from the microphone of one to the speaker of
another, driven from outside through the accessibility tree.

Copy A listens; B calls it directly, C calls it through a relay that leaves from 127.0.0.2 (a
partner on another machine: A refuses a second call from an address already connected). A and
B share one private sound server and X display; C has a sound server and a display of its own,
as a partner elsewhere would: its own microphone, and its own mouse to hold its talk button
while B holds B's (one X server has one pointer, and a copy stops talking when its window loses
the focus). Only A is ever talked to, so A's speaker (spk on the first server) carries nothing
but what A plays.

1. B holds 音声送信 with the mouse while speech goes into its microphone; A's speaker and B's
   microphone feed are recorded on one clock. The program cuts the speech into 0.4 s blocks and
   A plays each block 5% faster as soon as it arrives, so a block starts about one block's time
   after its first sound went into the microphone, and a short silence follows it until the next
   arrives. Checked: every block of speech is heard once, in order, with nothing but silence
   between blocks, sped up by 5% (its samples correlate with the block sped up and not with the
   block as spoken); the speech is heard as long as it was spoken (up to 5% shorter when blocks
   queue up behind a late one, longer by the time a block came late); the delay from the first
   sound into B's microphone to the first sound out of A's speaker, reported as the median of
   several runs, stays within one block's time plus DELAY_MARGIN in the best run (a busy machine
   makes single runs late).
   The same speech runs are made twice, side by side: first with B calling A in the clear (B's
   settings file marks A as a partner that answered in the clear lately, as an older copy
   does), then, after B has hung up and the mark is gone, with B calling A encrypted. The
   median mouth-to-ear delay of each and their difference are reported.
2. B and C talk at once, 440 Hz into B's microphone and 660 Hz into C's: A plays both, mixed,
   at 462 and 693 Hz over the same time. (Their blocks arrive out of step: at first the mixer
   often holds one partner's block only and plays it alone; once both have voice waiting, every
   block is mixed.)

Runs inside a D-Bus session on an X display that the calling script provides. Every process it
starts is ended by its own process id.
Usage: voice_e2e.py EXECUTABLE WORK_DIR OUTPUT_DIR PULSE_ENV_AB PULSE_ENV_C DISPLAY_C
"""

import os
import socket
import statistics
import subprocess
import sys
import threading
import time

import pyatspi

from e2e_audio import (MonitorRecorder, best_alignment, cut_gaps, envelope, locate, offset,
                       onset, peak, pearson, stretched, tone_level, write_tone)
from e2e_support import (Copy, Failure, Pointer, STEP_TIMEOUT, accept, call, centre, drive,
                         end, free_port, log, menu_item, need, press, runtime_dir, screenshot,
                         sound_server, started, text_of, wait_for)

RATE = 11025  # what the recorders take from the monitors: the program's own rate
SPEED_UP = 1.05  # partners are heard 5% faster than they spoke
BLOCK = 4410  # one voice block, in samples (0.4 s)
HEARD_BLOCK = round(BLOCK / SPEED_UP)  # a block as played, in samples
COMPARED = HEARD_BLOCK - 20  # the part of a played block that is compared
SENTENCE = "Can you hear me clearly on the line today? One, two, three."
SPEECH_RUNS = 3
DELAY_MARGIN = 0.06  # s: the most the delay may exceed one block's time
LATE = 3 * RATE  # how much later than expected a block may come (a starved machine is slow)
TONE_B, TONE_C = 440.0, 660.0
TONE_SECONDS = 4.0


class Relay:
    """Carries every connection made to 127.0.0.1:port on to 127.0.0.1:target, leaving from
    another loopback address, so that the target sees the caller at that address."""

    def __init__(self, target, source="127.0.0.2"):
        self.target, self.source = target, source
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen()
        self.port = self.listener.getsockname()[1]
        self.sockets = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                inner, _ = self.listener.accept()
            except OSError:
                return
            outer = socket.socket()
            try:
                outer.bind((self.source, 0))
                outer.connect(("127.0.0.1", self.target))
            except OSError:
                inner.close()
                outer.close()
                continue
            for s in (inner, outer):
                s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                self.sockets.append(s)
            threading.Thread(target=self._pump, args=(inner, outer), daemon=True).start()
            threading.Thread(target=self._pump, args=(outer, inner), daemon=True).start()

    @staticmethod
    def _pump(src, dst):
        try:
            while True:
                data = src.recv(65536)
                if not data:
                    break
                dst.sendall(data)
            dst.shutdown(socket.SHUT_WR)
        except OSError:
            pass

    def close(self):
        self.listener.close()
        for s in self.sockets:
            s.close()


class Talker:
    """Holds a copy's 音声送信 down with the left mouse button: through the accessibility
    registry on the driver's display, or through the XTEST extension of another display."""

    def __init__(self, window, pointer=None):
        self.button = need(window, "push button", "音声送信")
        self.pointer = pointer

    def _mouse(self, down):
        x, y = centre(self.button)
        if self.pointer:
            self.pointer.button(x, y, down)
        else:
            pyatspi.Registry.generateMouseEvent(x, y, "b1p" if down else "b1r")

    def press(self):
        self._mouse(True)

    def release(self):
        self._mouse(False)


def member_state(copy, index=0):
    """The protection of a member of copy's list, as its description begins: 暗号化なし,
    暗号化 or 暗号化・確認済み."""
    item = copy.members().getChildAtIndex(index)
    return (item.description or "").split("\n")[0]


def mark_plain(copy, peer, since):
    """Writes into copy's settings file that peer answered in the clear at since (a time in
    seconds; 0 forgets it), as the program does after an older partner hung up on its hello."""
    path = os.path.join(copy.folder, "Voxilen.Ini")
    with open(path, "rb") as f:
        lines = f.read().decode("cp932").split("\r\n")
    section, found = None, None
    for i, line in enumerate(lines):
        if line.startswith("[") and line.endswith("]"):
            section = line[1:-1]
        elif section and section.startswith("Peer") and line == f"Peer={peer}":
            found = section
    if found is None:
        n = 0
        while f"[Peer{n}]" in lines:
            n += 1
        while lines and lines[-1] == "":
            lines.pop()
        lines += [f"[Peer{n}]", f"Peer={peer}", f"PlainSince={since}", ""]
    else:
        out, section = [], None
        for line in lines:
            if line.startswith("[") and line.endswith("]"):
                section = line[1:-1]
            if section == found and line.startswith("PlainSince="):
                continue
            out.append(line)
            if line == f"[{found}]":
                out.append(f"PlainSince={since}")
        lines = out
    with open(path, "wb") as f:
        f.write("\r\n".join(lines).encode("cp932"))


def mouth_to_ear(results):
    """The medians of the first sound and of the start of every block, in seconds."""
    return (statistics.median(r["first_delay"] for r in results),
            statistics.median(d for r in results for d in r["block_delays"]))


def window_ready(copy, log_line):
    window = copy.window()
    text = need(window, "text", "ログ")
    wait_for(f"'{log_line}' in the log", lambda: log_line in text_of(text))
    return window


def place_call(caller, callee, partner_name):
    """caller fills the connect dialog and calls; callee accepts."""
    dialog = call(caller, partner_name)
    press(need(dialog, "push button", "接続"))
    accept(callee)


def feed(sound, path):
    """Starts playing path into a server's microphone feed."""
    p = subprocess.Popen(["paplay", "-d", "micfeed", path], env=dict(os.environ, **sound))
    started.append(p)
    return p


def recorder(source, sound):
    r = MonitorRecorder(source, sound, RATE)
    started.append(r.process)
    return r


def analyse_speech(mic, spk):
    """Lays what A played (spk) beside what went into B's microphone (mic), block by block."""
    s, h = mic.samples, spk.samples
    shift = round((spk.start() - mic.start()) * RATE)  # heard sample i was at spoken i + shift
    loud_s, loud_h = peak(s), peak(h)
    if loud_s < 2000:
        raise Failure("the speech did not reach the microphone feed")
    if loud_h < 0.25 * loud_s:
        raise Failure(f"A played nothing like the speech (peak {loud_h} against {loud_s})")
    on_s, off_s = onset(s, 0.03 * loud_s), offset(s, 0.03 * loud_s)
    on_h, off_h = onset(h, 0.03 * loud_h), offset(h, 0.03 * loud_h)
    result = {"first_delay": (on_h + shift - on_s) / RATE,
              "spoken": (off_s - on_s) / RATE, "heard": (off_h - on_h) / RATE}
    fast = stretched(s, SPEED_UP)  # fast[j] is s[j * 1.05]

    # Where blocks begin: after the short silences between blocks, while A keeps up and each
    # block waits for the next. Each candidate is placed in the speech; true ones agree on the
    # block grid of the recorder. When A has fallen behind, blocks follow one another without
    # a gap, the speech is heard sped up in one piece and any grid will do.
    found = []
    for at in cut_gaps(h, RATE, loud=0.02 * loud_h):
        lo = int((at + shift - 0.8 * RATE) / SPEED_UP)
        hi = int((at + shift - 0.3 * RATE) / SPEED_UP)
        j, r = locate(h[at:at + COMPARED], fast, lo, hi)
        if j is not None and r >= 0.8:
            found.append((j * SPEED_UP) % BLOCK)

    def agreeing(phase):
        return sum(abs((p - phase + BLOCK / 2) % BLOCK - BLOCK / 2) <= 20 for p in found)
    phase = max(found, key=agreeing) if found else on_s % BLOCK
    result["grid"] = agreeing(phase) >= 2

    # Every block that holds speech, looked for after the one before: sped up by 5%, and as
    # spoken. Between two blocks nothing but silence may be heard.
    blocks = []
    for k in range(int((on_s - phase) // BLOCK), int((off_s - phase) // BLOCK) + 1):
        at = int(phase + k * BLOCK)
        piece = s[max(at, 0):at + BLOCK]
        blocks.append((k, at, (sum(x * x for x in piece) / BLOCK) ** 0.5))
    loudest = max(r for _, _, r in blocks)
    model = [0.0] * len(h)
    result.update(block_delays=[], fast=[], same=[])
    last = None  # the last block found: its number, where it was spoken, where it was heard
    for k, at, rms in blocks:
        if rms < 0.1 * loudest or at < 0:
            continue
        as_fast = fast[round(at / SPEED_UP):round(at / SPEED_UP) + COMPARED]
        if last is None:
            windows = [(at - shift + int(0.3 * RATE), at - shift + int(0.8 * RATE)),
                       (at - shift + int(0.3 * RATE), at - shift + LATE)]
        else:
            # Where the block would be heard at the delay of the last one; a backlog shrinks
            # by up to 5% of the time between them, a late block comes later.
            expected = last[2] + at - last[1]
            drain = (at - last[1]) // 20 + int(0.03 * RATE)
            windows = [(expected - drain, expected + int(0.1 * RATE)),
                       (expected - drain, expected + LATE)]
        for lo, hi in windows:
            heard_at, r_fast = locate(as_fast, h, lo, hi)
            if heard_at is not None and r_fast >= 0.85:
                break
        if heard_at is None or r_fast < 0.85:
            raise Failure(f"the block spoken at {at / RATE:.2f} s was not heard "
                          f"(best correlation {r_fast:.2f})")
        if last is not None:
            if heard_at < last[2] + (k - last[0]) * HEARD_BLOCK - 20:
                raise Failure(f"the block spoken at {at / RATE:.2f} s was heard over the one "
                              "before")
            between = h[last[2] + HEARD_BLOCK + 10:heard_at - 10]
            if k == last[0] + 1 and len(between) > 0.03 * RATE and \
                    peak(between) > 0.1 * loud_h:
                raise Failure(f"A played something else before the block spoken at "
                              f"{at / RATE:.2f} s")
        # The block as spoken matches best within a few ms of the same place.
        near = int(0.03 * RATE)
        _, r_same = locate(s[at:at + COMPARED], h, heard_at - near, heard_at + near)
        result["block_delays"].append((heard_at + shift - at) / RATE)
        result["fast"].append(r_fast)
        result["same"].append(r_same)
        model[heard_at:heard_at + COMPARED] = as_fast
        last = (k, at, heard_at)

    # Envelopes (10 ms) over the whole speech: the blocks as placed above, the speech as
    # spoken, and the speech sped up by 5% in one piece.
    span = slice(max(on_h - RATE // 10, 0), off_h + RATE // 10)
    heard_env = envelope(h[span], RATE)
    result["env_blocks"] = pearson(heard_env, envelope(model[span], RATE))
    whole = envelope(h, RATE)
    spoken_env = envelope(s[max(on_s - RATE // 10, 0):off_s + RATE // 10], RATE)
    result["env_same"] = best_alignment(whole, spoken_env, range(len(whole)))[1]
    result["env_fast"] = best_alignment(whole, stretched(spoken_env, SPEED_UP),
                                        range(len(whole)))[1]
    return result


def speech_run(index, talker, sound, speech, out_dir):
    """B talks while speech goes into its microphone; A plays it."""
    mic, spk = recorder("micfeed.monitor", sound), recorder("spk.monitor", sound)
    mic.wait_running()
    spk.wait_running()
    talker.press()
    time.sleep(0.6)
    feed(sound, speech).wait(timeout=STEP_TIMEOUT)
    time.sleep(0.5)
    talker.release()
    time.sleep(1.2)  # the last block travels, is decoded and played out
    mic.stop()
    spk.stop()
    if out_dir:
        mic.save(os.path.join(out_dir, f"spoken-{index}.wav"))
        spk.save(os.path.join(out_dir, f"heard-{index}.wav"))
        with open(os.path.join(out_dir, f"clock-{index}.txt"), "w") as f:
            f.write(f"{mic.start()} {spk.start()}\n")  # when each recording began
    result = analyse_speech(mic, spk)
    log(f"speech run {index}: first sound heard after {result['first_delay'] * 1000:.0f} ms, "
        f"blocks begin {min(result['block_delays']) * 1000:.0f}.."
        f"{max(result['block_delays']) * 1000:.0f} ms after they were spoken; "
        f"spoken {result['spoken']:.2f} s, heard {result['heard']:.2f} s"
        + ("" if result["grid"] else "; A had fallen behind, the blocks followed one another"))
    log(f"  {len(result['fast'])} blocks, correlation with the block sped up 5%: "
        f"{min(result['fast']):.3f}..{max(result['fast']):.3f} "
        f"(as spoken: median {statistics.median(result['same']):.3f}); envelopes: "
        f"blocks sped up {result['env_blocks']:.3f}, speech as spoken "
        f"{result['env_same']:.3f}, speech sped up in one piece {result['env_fast']:.3f}")
    if statistics.median(result["same"]) > statistics.median(result["fast"]) - 0.3:
        raise Failure("the blocks were not played 5% faster")
    if result["env_blocks"] < 0.9:
        raise Failure(f"what A played does not follow the speech "
                      f"(envelope correlation {result['env_blocks']:.3f})")
    # Blocks that wait for the next one keep the speech as long as it was spoken, blocks that
    # follow one another shorten it by up to 5%; blocks that come late lengthen it.
    late = max(0.0, max(result["block_delays"]) - result["block_delays"][0])
    if not (result["spoken"] / SPEED_UP - 0.1 <= result["heard"]
            <= result["spoken"] + late + 0.1):
        raise Failure(f"A played {result['heard']:.2f} s of {result['spoken']:.2f} s of speech")
    return result


def mixed_run(talkers, sounds, work, out_dir, displays):
    """B and C talk at once, each into its own microphone; A plays both."""
    tones = []
    for hz in (TONE_B, TONE_C):
        path = os.path.join(work, f"tone-{hz:.0f}.wav")
        write_tone(path, TONE_SECONDS, hz, amplitude=8000)
        tones.append(path)
    spk = recorder("spk.monitor", sounds[0])
    spk.wait_running()
    for talker in talkers:
        talker.press()
    time.sleep(0.6)
    feeds = [feed(sound, tone) for sound, tone in zip(sounds, tones)]
    time.sleep(1.0)
    for name, display in displays:
        screenshot(out_dir, f"2-both-talking-{name}", display)
    for p in feeds:
        p.wait(timeout=STEP_TIMEOUT)
    time.sleep(0.5)
    for talker in talkers:
        talker.release()
    time.sleep(1.2)
    h = spk.stop()
    if out_dir:
        spk.save(os.path.join(out_dir, "heard-mixed.wav"))

    # Levels of both tones as played (5% higher) and as spoken, 0.2 s at a time.
    window = RATE // 5
    levels = []
    for at in range(0, len(h) - window, window // 2):
        piece = h[at:at + window]
        levels.append([tone_level(piece, RATE, hz) for hz in
                       (TONE_B * SPEED_UP, TONE_C * SPEED_UP, TONE_B, TONE_C)])
    top_b = max((lv[0] for lv in levels), default=0)
    top_c = max((lv[1] for lv in levels), default=0)
    if top_b < 1000 or top_c < 1000:
        raise Failure(f"A did not play both tones (levels {top_b:.0f} and {top_c:.0f})")
    heard_b = [lv[0] >= 0.5 * top_b and lv[0] >= 3 * lv[2] for lv in levels]
    heard_c = [lv[1] >= 0.5 * top_c and lv[1] >= 3 * lv[3] for lv in levels]
    both = [b and c for b, c in zip(heard_b, heard_c)]
    longest = run = 0
    for b in both:
        run = run + 1 if b else 0
        longest = max(longest, run)
    step = window / 2 / RATE
    together = (longest + 1) * step if longest else 0.0
    alone = sum(b != c for b, c in zip(heard_b, heard_c)) * step
    log(f"mixed: A played {TONE_B * SPEED_UP:.0f} Hz and {TONE_C * SPEED_UP:.0f} Hz together "
        f"for {together:.1f} s, one of them alone for {alone:.1f} s (each spoken for "
        f"{TONE_SECONDS:.1f} s)")
    if together < 1.5:
        raise Failure(f"the two partners were heard together for only {together:.1f} s")


def run(exe, work, out_dir, sound_ab, sound_c, display_c):
    pyatspi.Registry.getDesktop(0)  # the registry runs before the copies start
    port = free_port()
    relay = Relay(port)
    pointer_c = Pointer(display_c)
    try:
        a = Copy(work, "A", exe, runtime_dir=runtime_dir(work, "a"), sound=sound_ab, ini=(
            f"[Global]\nConversationPort={port}\nTransferPort={port + 1}\nServerListen=1\n"
            "[Personal]\nMyName=はなこ\n"))
        b = Copy(work, "B", exe, runtime_dir=runtime_dir(work, "b"), sound=sound_ab, ini=(
            f"[Global]\nConversationPort={port}\nTransferPort={port + 2}\nServerListen=0\n"
            "[Personal]\nMyName=たろう\n"))
        # C calls on the relay's port.
        c = Copy(work, "C", exe, runtime_dir=runtime_dir(work, "c"), sound=sound_c,
                 display=display_c, ini=(
                     f"[Global]\nConversationPort={relay.port}\nTransferPort={port + 3}\n"
                     "ServerListen=0\n[Personal]\nMyName=じろう\n"))
        a.start("+0+0")
        b.start("+560+0")
        c.start("+0+0")
        window_ready(a, "接続待機開始。")
        wb = window_ready(b, "接続待機中止")
        wc = window_ready(c, "接続待機中止")

        speech = os.path.join(work, "speech.wav")
        subprocess.run(["espeak-ng", "-w", speech, SENTENCE], check=True, timeout=STEP_TIMEOUT)
        talker_b, talker_c = Talker(wb), Talker(wc, pointer_c)

        # In the clear first: B takes A for an older partner and calls without TLS.
        peer = f"call 127.0.0.1 {port}"
        mark_plain(b, peer, int(time.time()))
        place_call(b, a, "はなこ")
        wait_for("B listed at A", lambda: a.member_names() == ["たろう"])
        if member_state(a) != "暗号化なし" or member_state(b) != "暗号化なし":
            raise Failure(f"B's call was not in the clear: {member_state(a)}, {member_state(b)}")
        log("B called A in the clear")
        plain = [speech_run(f"plain-{i}", talker_b, sound_ab, speech, out_dir)
                 for i in range(SPEECH_RUNS)]
        press(menu_item(b.app(), "接続", "すべて切断"))
        wait_for("both member lists empty",
                 lambda: a.member_names() == [] and b.member_names() == [])
        mark_plain(b, peer, 0)

        place_call(b, a, "はなこ")
        wait_for("B listed at A", lambda: a.member_names() == ["たろう"])
        if not member_state(a).startswith("暗号化") or member_state(a) == "暗号化なし":
            raise Failure(f"B's second call was not encrypted: {member_state(a)}")
        place_call(c, a, "はなこ")
        wait_for("all member lists", lambda: a.member_names() == ["たろう", "じろう"]
                 and b.member_names() == ["はなこ"] and c.member_names() == ["はなこ"])
        screenshot(out_dir, "1-connected-A-B")
        screenshot(out_dir, "1-connected-C", display_c)
        log("connected: A lists たろう and じろう (through the relay, from 127.0.0.2)")

        results = [speech_run(i, talker_b, sound_ab, speech, out_dir)
                   for i in range(SPEECH_RUNS)]
        firsts = [r["first_delay"] for r in results]
        first_tls, blocks = mouth_to_ear(results)
        first_plain, blocks_plain = mouth_to_ear(plain)
        log(f"mouth-to-ear delay, median of {SPEECH_RUNS} runs: first sound "
            f"{first_tls * 1000:.0f} ms; start of a block {blocks * 1000:.0f} ms "
            f"(one block is {BLOCK / RATE * 1000:.0f} ms)")
        log(f"mouth-to-ear, in the clear against encrypted (medians of {SPEECH_RUNS} runs "
            f"each): first sound {first_plain * 1000:.0f} ms plain, {first_tls * 1000:.0f} ms "
            f"TLS, difference {(first_tls - first_plain) * 1000:+.0f} ms; start of a block "
            f"{blocks_plain * 1000:.0f} ms plain, {blocks * 1000:.0f} ms TLS, difference "
            f"{(blocks - blocks_plain) * 1000:+.0f} ms (goal: at most +10 ms)")
        if out_dir:
            with open(os.path.join(out_dir, "mouth-to-ear.txt"), "w") as f:
                f.write(f"first_plain_ms {first_plain * 1000:.1f}\n"
                        f"first_tls_ms {first_tls * 1000:.1f}\n"
                        f"block_plain_ms {blocks_plain * 1000:.1f}\n"
                        f"block_tls_ms {blocks * 1000:.1f}\n")
        # A busy machine makes single runs late; every run late is the program's doing.
        if min(firsts) > BLOCK / RATE + DELAY_MARGIN:
            raise Failure(f"the voice is late in every run: at best {min(firsts) * 1000:.0f} ms "
                          "from mouth to ear")

        mixed_run([talker_b, talker_c], [sound_ab, sound_c], work, out_dir,
                  [("A-B", None), ("C", display_c)])

        end(c)
        end(b)
        wait_for("A's member list empty", lambda: a.member_names() == [])
        end(a)
        log("all copies closed with exit code 0")
    finally:
        pointer_c.close()
        relay.close()


def main():
    exe, work = sys.argv[1], sys.argv[2]
    out_dir = sys.argv[3] if sys.argv[3] else None
    sound_ab, sound_c = sound_server(sys.argv[4]), sound_server(sys.argv[5])
    display_c = sys.argv[6]
    if out_dir and os.path.exists(os.path.join(out_dir, "failure.png")):
        os.remove(os.path.join(out_dir, "failure.png"))  # left by an earlier run
    return drive(lambda: run(exe, work, out_dir, sound_ab, sound_c, display_c), out_dir, work)


if __name__ == "__main__":
    sys.exit(main())
