#!/usr/bin/python3
"""What the program costs while nothing happens: wake-ups per second and CPU time of one copy
that listens, with no partner and with silent partners connected.

For each executable, each partner count and each run, a copy of the program is started in a
folder of its own (its settings file beside it: ServerListen=1 on a free port) on a private X
display, inside a private D-Bus session, playing to and recording from a private PulseAudio
with null sinks, as a user would run it. The partners are raw loopback connections from
addresses of their own that complete the handshake; the program's user accepts each call in
the incoming-call dialog (through the accessibility tree, as the end-to-end tests do). Then
they stay connected and say nothing.

After a settling time the context switches of every thread of the program (voluntary and
involuntary, from /proc/PID/task/*/status) and its CPU time (utime + stime of /proc/PID/stat)
are counted over a window. The threads are read every 200 ms, so a thread that starts or ends
in the window is counted too (one that ends loses at most its last 200 ms). Printed: wake-ups
per second (all context switches; the voluntary ones, which are the thread going to sleep to
be woken again, apart), % of one core, the medians over the runs, the ratio of each executable
to the first, and the wake-ups of each thread of the median run. With --stacks each thread is
named by where it waits (gdb attaches once the window is over); threads are otherwise named
by their own name, and the program's unnamed ones all look alike.

The runs of the executables take turns, so a change in the machine's load falls on each alike.
Involuntary switches grow with the machine's load (other processes preempt the program): run
on a quiet machine, and compare the voluntary figures when it was not.

Not a test: nothing is asserted beyond the calls being accepted and the partners staying
connected. Examples:

  bench/idle_bench.py --exe build/default/src/app/Voxilen
  bench/idle_bench.py --exe OLD/Voxilen --exe build/default/src/app/Voxilen --runs 3 --stacks
  bench/idle_bench.py --exe build/default/src/app/Voxilen --partners 0,5,20 --seconds 60

The build has a target for the first form: cmake --build --preset default --target idle_bench
"""

import argparse
import json
import os
import re
import signal
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SETTLE_S = 5.0
WINDOW_S = 30.0
SAMPLE_S = 0.2  # how often the thread list is read in the window
START_LIMIT_S = 60.0  # a copy comes up and listens within this
STACKS_LIMIT_S = 60.0
PER_RUN_OVERHEAD_S = 90.0  # starting, ending, stacks: for the session's overall time limit
PER_PARTNER_S = 5.0  # a call accepted through the accessibility tree
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
LISTEN_STATE = "0A"  # TCP_LISTEN in /proc/net/tcp


# --- What /proc says about a process -------------------------------------------------------------

def read(path):
    with open(path) as f:
        return f.read()


def stat_fields(text):
    """The fields of a /proc stat line after the command name (which may hold blanks and
    parentheses): field 3 of proc(5) is [0]."""
    close = text.rindex(")")
    return text[text.index("(") + 1:close], text[close + 2:].split()


def read_threads(pid):
    """{(tid, start time): [name, voluntary, involuntary, run ns]} of every thread now."""
    threads = {}
    task = f"/proc/{pid}/task"
    try:
        tids = os.listdir(task)
    except OSError:
        return threads
    for tid in tids:
        try:
            name, fields = stat_fields(read(f"{task}/{tid}/stat"))
            status = read(f"{task}/{tid}/status")
            run_ns = int(read(f"{task}/{tid}/schedstat").split()[0])
        except (OSError, ValueError, IndexError):
            continue  # it ended between the listing and the reading
        voluntary = int(re.search(r"^voluntary_ctxt_switches:\s*(\d+)", status, re.M)[1])
        involuntary = int(re.search(r"^nonvoluntary_ctxt_switches:\s*(\d+)", status, re.M)[1])
        threads[(int(tid), int(fields[19]))] = [name, voluntary, involuntary, run_ns]
    return threads


def process_cpu_ticks(pid):
    """utime + stime of the whole process, ended threads included."""
    _, fields = stat_fields(read(f"/proc/{pid}/stat"))
    return int(fields[11]) + int(fields[12])


def listening(port):
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            lines = read(table).splitlines()[1:]
        except OSError:
            continue
        for line in lines:
            fields = line.split()
            if fields[3] == LISTEN_STATE and int(fields[1].rsplit(":", 1)[1], 16) == port:
                return True
    return False


def measure(pid, seconds):
    """Counts every thread's context switches and run time, and the process's CPU time, over
    seconds. Returns the totals and one entry per thread seen in the window."""
    first = read_threads(pid)
    ticks = process_cpu_ticks(pid)
    began = time.monotonic()
    last = {key: list(value) for key, value in first.items()}
    while True:
        left = seconds - (time.monotonic() - began)
        if left <= 0:
            break
        time.sleep(min(SAMPLE_S, left))
        last.update(read_threads(pid))
    final = read_threads(pid)
    ticks = process_cpu_ticks(pid) - ticks
    wall = time.monotonic() - began
    last.update(final)
    threads = []
    for key, (name, voluntary, involuntary, run_ns) in last.items():
        base = first.get(key, [name, 0, 0, 0])
        threads.append({"tid": key[0], "name": name, "main": key[0] == pid,
                        "voluntary": voluntary - base[1], "involuntary": involuntary - base[2],
                        "run_ns": run_ns - base[3], "born": key not in first,
                        "ended": key not in final})
    voluntary = sum(t["voluntary"] for t in threads)
    involuntary = sum(t["involuntary"] for t in threads)
    return {"seconds": wall, "wakeups_per_s": (voluntary + involuntary) / wall,
            "voluntary_per_s": voluntary / wall,
            "core_percent": 100.0 * ticks / CLOCK_TICKS / wall,
            "threads_at_start": len(first), "threads_at_end": len(final),
            "threads_born": sum(t["born"] for t in threads),
            "threads_ended": sum(t["ended"] for t in threads), "threads": threads}


# --- Where each thread waits ---------------------------------------------------------------------

FRAME = re.compile(r"^#\d+\s+(?:0x[0-9a-f]+ in )?(.+?) \(")
THREAD = re.compile(r"^Thread \d+ \(.*?LWP (\d+)\)")
ENTRY_FRAMES = ("start_thread", "clone", "__clone", "clone3", "__clone3")


def where_threads_wait(pid):
    """{tid: label}: where each thread runs and what it waits in, from one batch gdb."""
    try:
        out = subprocess.run(
            ["gdb", "-p", str(pid), "-batch", "-nx", "-ex", "set pagination off",
             "-ex", "thread apply all bt 40"], capture_output=True, text=True,
            timeout=STACKS_LIMIT_S).stdout
    except (OSError, subprocess.TimeoutExpired):
        return {}
    labels = {}
    stacks = []
    for line in out.splitlines():
        thread = THREAD.match(line)
        if thread:
            stacks.append((int(thread[1]), []))
            continue
        frame = FRAME.match(line)
        if frame and stacks:
            stacks[-1][1].append(frame[1])
    for tid, frames in stacks:
        # The program's own threads: the function their thread runs; others: the outermost
        # function known by name.
        own = [i for i, f in enumerate(frames) if f == "vox::TThread::Run"]
        if own and own[0] > 0:
            entry = frames[own[0] - 1]
        else:
            known = [f for f in frames if f not in ENTRY_FRAMES and not f.startswith("??")]
            entry = known[-1] if known else "?"
        innermost = frames[0] if frames else "?"
        labels[tid] = f"{simplify(entry)} [{simplify(innermost)}]"
    return labels


def simplify(function):
    """A function's name without its arguments, template arguments or lambda numbering."""
    function = re.sub(r"\(.*\)", "", function)
    while "<" in function:
        shorter = re.sub(r"<[^<>]*>", "", function)
        if shorter == function:
            break
        function = shorter
    return function.replace("{lambda#1}", "lambda").strip()


# --- One run -------------------------------------------------------------------------------------

def one_run(exe, label, partners, args, work, pulse, serial):
    from e2e_support import (Copy, Failure, click, free_port, log, need, runtime_dir,
                             wait_for)
    from hostile import establish
    import pyatspi

    pyatspi.Registry.getDesktop(0)
    port = free_port()
    name = f"{label}-{partners}-{serial}"
    copy = Copy(work, name, exe, runtime_dir=runtime_dir(work, name), sound=pulse, ini=(
        f"[Global]\nConversationPort={port}\nTransferPort={port + 1}\nServerListen=1\n"
        "[Personal]\nMyName=idle\n"))
    copy.start("+0+0")
    pid = copy.process.pid
    connected = []
    try:
        app = copy.app()
        wait_for(f"{name} listening on {port}", lambda: listening(port), timeout=START_LIMIT_S)
        for i in range(partners):
            connected.append(establish(app, port, f"127.0.{1 + i // 250}.{1 + i % 250}",
                                       f"silent{i + 1:02d}"))
        if not args.unfocused:
            edit = need(copy.window(), "text", "送信テキスト")
            click(edit)
            wait_for("the typing field focused",
                     lambda: edit.getState().contains(pyatspi.STATE_FOCUSED))
        time.sleep(args.settle)
        load = os.getloadavg()[0]
        result = measure(pid, args.seconds)
        if copy.process.poll() is not None:
            raise Failure(f"{name} ended in the window ({copy.process.returncode})")
        dropped = [p.address for p in connected if p.closed.is_set()]
        if dropped:
            raise Failure(f"{name} dropped the silent partners {', '.join(dropped)}")
        labels = where_threads_wait(pid) if args.stacks else {}
        for t in result["threads"]:
            t["label"] = thread_label(t, labels)
        result.update(exe=exe, label=label, partners=partners, load=load)
        log(f"{name}: {result['wakeups_per_s']:.1f} wake-ups/s "
            f"({result['voluntary_per_s']:.1f} voluntary), {result['core_percent']:.2f} % of "
            f"a core, {result['threads_at_end']} threads, load {load:.2f}")
        return result
    finally:
        for p in connected:
            p.close()
        copy.process.send_signal(signal.SIGTERM)
        try:
            copy.process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            copy.process.kill()
            copy.process.wait()


def thread_label(thread, labels):
    where = labels.get(thread["tid"])
    name = "main (UI)" if thread["main"] else thread["name"]
    return f"{name}: {where}" if where else name


# --- Figures -------------------------------------------------------------------------------------

def median_run(runs):
    """The run whose wake-ups are the median (the lower one of an even count)."""
    ordered = sorted(runs, key=lambda r: r["wakeups_per_s"])
    return ordered[(len(ordered) - 1) // 2]


def summary(runs):
    return {key: statistics.median(r[key] for r in runs)
            for key in ("wakeups_per_s", "voluntary_per_s", "core_percent", "threads_at_end")}


def by_label(run):
    groups = {}
    for t in run["threads"]:
        g = groups.setdefault(t["label"], {"threads": 0, "voluntary": 0, "involuntary": 0,
                                           "run_ns": 0})
        g["threads"] += 1
        for key in ("voluntary", "involuntary", "run_ns"):
            g[key] += t[key]
    return sorted(groups.items(), key=lambda item: -(item[1]["voluntary"] +
                                                      item[1]["involuntary"]))


def report(results, exes, labels, partner_counts, args):
    print(f"\nIdle cost: {args.seconds:.0f} s counted after {args.settle:.0f} s settling, "
          f"median of {args.runs} run(s) [lowest-highest]")
    for label, exe in zip(labels, exes):
        print(f"  {label} = {exe}")
    print(f"\n{'build':<6}{'partners':>9}{'wake-ups/s':>22}{'voluntary/s':>13}"
          f"{'% of a core':>20}{'threads':>8}{'ratio':>7}{'load':>6}")
    for n in partner_counts:
        base = None
        for label in labels:
            runs = results[(label, n)]
            s = summary(runs)
            base = base or s
            ratio = s["wakeups_per_s"] / base["wakeups_per_s"] if base["wakeups_per_s"] else 0
            wakeups = f"{s['wakeups_per_s']:.1f} [{spread(runs, 'wakeups_per_s', 0)}]"
            core = f"{s['core_percent']:.2f} [{spread(runs, 'core_percent', 2)}]"
            load = statistics.median(r["load"] for r in runs)
            print(f"{label:<6}{n:>9}{wakeups:>22}{s['voluntary_per_s']:>13.1f}{core:>20}"
                  f"{s['threads_at_end']:>8.0f}{ratio:>7.2f}{load:>6.1f}")
    print("\n(ratio: the median wake-ups against the first build's; load: the machine's load "
          "average as the window began)")
    for n in partner_counts:
        for label in labels:
            run = median_run(results[(label, n)])
            print(f"\nThreads of {label} with {n} partners, its median run: "
                  f"{run['wakeups_per_s']:.1f} wake-ups/s, {run['core_percent']:.2f} % of a "
                  f"core over {run['seconds']:.1f} s; {run['threads_born']} threads born and "
                  f"{run['threads_ended']} ended in the window. Per second:")
            print(f"  {'wake-ups':>9}{'vol.':>8}{'CPU ms':>8}  thread(s)")
            for name, g in by_label(run):
                total = (g["voluntary"] + g["involuntary"]) / run["seconds"]
                if total < 0.05 and not args.all_threads:
                    continue
                count = f"{g['threads']} x " if g["threads"] > 1 else ""
                print(f"  {total:>9.1f}{g['voluntary'] / run['seconds']:>8.1f}"
                      f"{g['run_ns'] / 1e6 / run['seconds']:>8.2f}  {count}{name}")


def spread(runs, key, decimals):
    values = [r[key] for r in runs]
    return f"{min(values):.{decimals}f}-{max(values):.{decimals}f}"


def inside(args):
    """The benchmark proper, inside the session idle_bench.sh made."""
    from e2e_support import Failure, log, sound_server, stop_started
    sys.path.insert(0, os.path.join(HERE, "..", "tests", "hostile"))
    pulse = sound_server(args.pulse_env)
    labels = [chr(ord("A") + i) for i in range(len(args.exe))]
    results = {}
    try:
        for run in range(args.runs):
            for n in args.partners:
                for label, exe in zip(labels, args.exe):
                    results.setdefault((label, n), []).append(
                        one_run(exe, label, n, args, args.work, pulse, run + 1))
    except Failure as failure:
        log(f"FAILED: {failure}")
        stop_started()
        return 1
    finally:
        stop_started()
    report(results, args.exe, labels, args.partners, args)
    if args.json:
        with open(args.json, "w") as f:
            json.dump([r for runs in results.values() for r in runs], f, indent=1)
    return 0


def parse(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--exe", action="append", required=True,
                        help="a Voxilen executable; give several to compare them")
    parser.add_argument("--partners", default="0,20",
                        type=lambda s: [int(n) for n in s.split(",")],
                        help="silent partner counts, one run each (default 0,20)")
    parser.add_argument("--runs", type=int, default=1, help="runs of each (default 1)")
    parser.add_argument("--settle", type=float, default=SETTLE_S,
                        help=f"seconds before counting (default {SETTLE_S:.0f})")
    parser.add_argument("--seconds", type=float, default=WINDOW_S,
                        help=f"seconds counted (default {WINDOW_S:.0f})")
    parser.add_argument("--unfocused", action="store_true",
                        help="leave the window inactive (by default the typing field is "
                        "clicked: the window active, its text cursor blinking)")
    parser.add_argument("--stacks", action="store_true",
                        help="name each thread by where it waits (gdb, after the window)")
    parser.add_argument("--all-threads", action="store_true",
                        help="list threads that did not wake up too")
    parser.add_argument("--json", help="write every run's figures to this file")
    parser.add_argument("--inside", nargs=2, metavar=("WORK", "PULSE_ENV"),
                        help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    args.exe = [os.path.realpath(e) for e in args.exe]
    if args.json:
        args.json = os.path.realpath(args.json)
    return args


def main():
    args = parse(sys.argv[1:])
    if args.inside:
        args.work, args.pulse_env = args.inside
        sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
        return inside(args)
    for exe in args.exe:
        if not os.access(exe, os.X_OK):
            sys.exit(f"not an executable: {exe}")
    per_run = PER_RUN_OVERHEAD_S + args.settle + args.seconds
    allowed = sum(args.runs * len(args.exe) * (per_run + PER_PARTNER_S * n)
                  for n in args.partners)
    argv = [a for a in sys.argv[1:]]
    argv = [os.path.realpath(a) if i > 0 and argv[i - 1] in ("--exe", "--json") else a
            for i, a in enumerate(argv)]
    return subprocess.call(["bash", os.path.join(HERE, "idle_bench.sh"), str(int(allowed))]
                           + argv)


if __name__ == "__main__":
    sys.exit(main())
