"""Sound for the end-to-end drivers: test tones and speech to feed a microphone, recorders of a
private sound server's monitors whose samples can be placed on one clock, and the measures that
compare what was heard with what was said. Plain Python: wave, array, math.
"""

import array
import math
import operator
import os
import signal
import struct
import subprocess
import threading
import time
import wave


class SoundError(Exception):
    pass


def write_tone(path, seconds, hz, rate=44100, amplitude=12000):
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(b"".join(
            struct.pack("<h", int(amplitude * math.sin(2 * math.pi * hz * i / rate)))
            for i in range(int(seconds * rate))))


def read_wav(path):
    """Rate and the first channel's samples of a 16-bit WAV file."""
    with wave.open(path, "rb") as w:
        channels, width, rate = w.getnchannels(), w.getsampwidth(), w.getframerate()
        raw = w.readframes(w.getnframes())
    if width != 2:
        raise SoundError(f"unexpected recording format: {width} bytes per sample")
    samples = array.array("h")
    samples.frombytes(raw[:len(raw) // 2 * 2])
    return rate, samples[::channels]


def tone_in(path):
    """The loud part of a recording (first channel): its length in seconds, and its frequency
    from the periods between the rising crossings of a Schmitt trigger. Blocks played faster
    than they were recorded leave short gaps between them; those periods are left out."""
    rate, samples = read_wav(path)
    loud = [i for i, x in enumerate(samples) if abs(x) > 2000]
    if not loud:
        return 0.0, 0.0
    rising, armed = [], False
    for i, x in enumerate(samples):
        if x < -1000:
            armed = True
        elif x > 1000 and armed:
            rising.append(i)
            armed = False
    periods = sorted(b - a for a, b in zip(rising, rising[1:]))
    if not periods:
        return 0.0, 0.0
    median = periods[len(periods) // 2]
    whole = [p for p in periods if p < 1.5 * median]
    return (loud[-1] - loud[0]) / rate, rate * len(whole) / sum(whole)


class MonitorRecorder:
    """Records one source of a sound server (a sink's monitor) as 16-bit mono samples through
    parec, and notes when each piece reached this process. Sample i was captured at about
    start + i / rate on time.monotonic()'s clock; start is the earliest moment consistent with
    every piece (a piece can arrive late, never early), so recorders of the same server can be
    laid on one time line."""

    def __init__(self, source, sound_env, rate=11025, latency_ms=10):
        self.source, self.rate = source, rate
        self.samples = array.array("h")
        self._pending = b""
        self._arrivals = []  # (monotonic time, samples received up to then)
        self.process = subprocess.Popen(
            ["parec", "--raw", f"--latency-msec={latency_ms}", "-d", source,
             "--format=s16le", f"--rate={rate}", "--channels=1"],
            env=dict(os.environ, **sound_env), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        fd = self.process.stdout.fileno()
        while True:
            piece = os.read(fd, 4096)
            now = time.monotonic()
            if not piece:
                return
            data = self._pending + piece
            whole = len(data) // 2 * 2
            self._pending = data[whole:]
            self.samples.frombytes(data[:whole])
            self._arrivals.append((now, len(self.samples)))

    def wait_running(self, timeout=5.0):
        """Waits until sound is coming in."""
        deadline = time.monotonic() + timeout
        while len(self.samples) < self.rate // 20:
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise SoundError(f"no sound from {self.source}: "
                                 f"{self.process.stderr.read().decode(errors='replace')}")
            time.sleep(0.01)

    def stop(self):
        """Ends parec (its own process only) and returns the samples."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
        try:
            self.process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self._reader.join(timeout=5)
        return self.samples

    def start(self):
        """When sample 0 was captured, on time.monotonic()'s clock."""
        if not self._arrivals:
            raise SoundError(f"nothing recorded from {self.source}")
        return min(t - n / self.rate for t, n in self._arrivals)

    def time_of(self, index):
        return self.start() + index / self.rate

    def save(self, path):
        with wave.open(path, "wb") as w:
            w.setnchannels(1)
            w.setsampwidth(2)
            w.setframerate(self.rate)
            w.writeframes(self.samples.tobytes())


def envelope(samples, rate, frame_ms=10):
    """RMS of consecutive frames of frame_ms."""
    n = max(1, rate * frame_ms // 1000)
    out = []
    for i in range(0, len(samples) - n + 1, n):
        frame = samples[i:i + n]
        out.append(math.sqrt(sum(x * x for x in frame) / n))
    return out


def onset(samples, threshold):
    """Index of the first sample whose magnitude reaches threshold, or None."""
    for i, x in enumerate(samples):
        if abs(x) >= threshold:
            return i
    return None


def offset(samples, threshold):
    """Index of the last sample whose magnitude reaches threshold, or None."""
    for i in range(len(samples) - 1, -1, -1):
        if abs(samples[i]) >= threshold:
            return i
    return None


def stretched(values, factor):
    """values played factor times faster: value j of the result is values[j * factor],
    interpolated."""
    out = []
    j = 0
    while True:
        x = j * factor
        i = int(x)
        if i + 1 >= len(values):
            return out
        f = x - i
        out.append(values[i] * (1 - f) + values[i + 1] * f)
        j += 1


def pearson(a, b):
    """Correlation coefficient of two sequences over the length of the shorter."""
    n = min(len(a), len(b))
    if n < 2:
        return 0.0
    a, b = a[:n], b[:n]
    ma, mb = sum(a) / n, sum(b) / n
    sab = sum(map(operator.mul, a, b)) - n * ma * mb
    saa = sum(map(operator.mul, a, a)) - n * ma * ma
    sbb = sum(map(operator.mul, b, b)) - n * mb * mb
    if saa <= 0 or sbb <= 0:
        return 0.0
    return sab / math.sqrt(saa * sbb)


def best_alignment(heard, model, lags):
    """The lag (in frames) at which model best matches heard[lag:], and that correlation."""
    best = (None, -2.0)
    for lag in lags:
        if lag < 0 or lag + len(model) > len(heard):
            continue
        r = pearson(heard[lag:lag + len(model)], model)
        if r > best[1]:
            best = (lag, r)
    return best


def tone_level(samples, rate, hz):
    """Amplitude of the hz component of samples (Goertzel)."""
    n = len(samples)
    if n == 0:
        return 0.0
    k = 2 * math.cos(2 * math.pi * hz / rate)
    s1 = s2 = 0.0
    for x in samples:
        s1, s2 = x + k * s1 - s2, s1
    power = s1 * s1 + s2 * s2 - k * s1 * s2
    return 2 * math.sqrt(max(power, 0.0)) / n


def peak(samples):
    return max((abs(x) for x in samples), default=0)


def cut_gaps(samples, rate, loud, quiet=2, shortest_ms=5, longest_ms=40, around_ms=5):
    """Where short silences end that cut loud sound off and let it in again at once (as when
    blocks played faster than they were recorded wait for the next one): the index of the first
    sample after each. Pauses of speech fade in and out and are not found."""
    shortest, longest = rate * shortest_ms // 1000, rate * longest_ms // 1000
    around = rate * around_ms // 1000
    ends, i, n = [], 0, len(samples)
    while i < n:
        if abs(samples[i]) > quiet:
            i += 1
            continue
        j = i
        while j < n and abs(samples[j]) <= quiet:
            j += 1
        if shortest <= j - i <= longest and i >= around and j + around <= n:
            if peak(samples[i - around:i]) >= loud and peak(samples[j:j + around]) >= loud:
                ends.append(j)
        i = j
    return ends


def mean_of_groups(samples, size):
    """The mean of each group of size consecutive samples: a low-passed, thinned copy."""
    return [sum(samples[i:i + size]) / size for i in range(0, len(samples) - size + 1, size)]


def locate(model, samples, lo, hi, coarse=4, candidates=6):
    """The position in samples[lo:hi] at which model fits best, and its correlation: a coarse
    search over low-passed copies thinned by coarse, then every position around the best few
    coarse peaks (voiced speech repeats itself every pitch period, so the low-passed copies
    match almost as well one period off)."""
    n = len(model)
    lo, hi = max(lo, 0), min(hi, len(samples) - n)
    if hi < lo:
        return None, 0.0
    thin_model = mean_of_groups(model, coarse)
    thin = mean_of_groups(samples[lo:hi + n + coarse], coarse)
    m = len(thin_model)
    rough = [pearson(thin_model, thin[j:j + m]) for j in range(0, (hi - lo) // coarse + 1)]
    peaks = [j for j in range(len(rough))
             if (j == 0 or rough[j] >= rough[j - 1]) and
             (j + 1 == len(rough) or rough[j] >= rough[j + 1])]
    peaks = sorted(peaks, key=lambda j: rough[j], reverse=True)[:candidates]
    best, best_r = None, -2.0
    for j in peaks:
        centre = lo + j * coarse
        for at in range(max(lo, centre - 2 * coarse), min(hi, centre + 2 * coarse) + 1):
            r = pearson(model, samples[at:at + n])
            if r > best_r:
                best, best_r = at, r
    return best, best_r
