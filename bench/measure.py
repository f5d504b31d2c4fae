#!/usr/bin/python3
"""Measures jiggle against what people script instead, and against a floor.

Run through bench/run, which builds the programs first. Every program gets
its own private Xvfb. Four measurements:

1. Steady state, all four programs side by side, each started under
   `perf stat -I 500` (software counters, inherited by threads and child
   processes): task-clock and context switches summed over a 20 s window
   that begins 5 s or more after the start and whose ends fall between
   cycles; divided by the motions seen in the window. Peak RSS from VmHWM,
   the median of several runs.
   Motions are seen by an X client on each server; jiggle's sends, for the
   period, by a kernel tracepoint. Then jiggle is stopped at random points
   of its cycle (the stop latency).
2. Heap allocations: valgrind memcheck's "total heap usage" of the whole
   process tree, 6 cycles minus 3 cycles, divided by 3.
3. Instructions: callgrind's instruction count the same way.
4. The stripped size of the Windows build.
"""

import ctypes
import datetime
import os
import platform
import random
import re
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))
from conftest import PERIOD, XServer  # noqa: E402

JIGGLE = os.path.join(ROOT, "build", "linux", "jiggle")
FLOOR = os.path.join(ROOT, "build", "linux", "floor")
JIGGLE_EXE = os.path.join(ROOT, "build", "windows", "jiggle.exe")
REPORT = os.path.join(ROOT, "docs", "performance.md")

WINDOW_START = 5.0
WINDOW_LENGTH = 20.0
WINDOW_MARGIN = 0.15       # no motion this close to the window's ends ...
WINDOW_SLACK = 2.5         # ... which may take this much longer to find
PERF_INTERVAL = 0.5
LATENCY_TRIALS = 8
RSS_RUNS = 7                # peak RSS: the median of this many runs
SHORT_RUN, LONG_RUN = 3, 6  # cycles in the two valgrind runs

BASH_LOOP = "while :; do xdotool mousemove_relative -- 5 5; sleep 2; done"
PYTHON_LOOP = """\
import ctypes, time
x11 = ctypes.CDLL("libX11.so.6")
xtst = ctypes.CDLL("libXtst.so.6")
x11.XOpenDisplay.restype = ctypes.c_void_p
x11.XFlush.argtypes = [ctypes.c_void_p]
xtst.XTestFakeRelativeMotionEvent.argtypes = [
    ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_ulong]
display = x11.XOpenDisplay(None)
while True:
    xtst.XTestFakeRelativeMotionEvent(display, 5, 5, 0)
    x11.XFlush(display)
    time.sleep(2)
"""

# name, command, how it is stopped ("enter": one line on stdin; "term":
# SIGTERM), whether it moves the pointer
PROGRAMS = [
    ("jiggle", [JIGGLE], "enter", True),
    ("bash loop", ["bash", "-c", BASH_LOOP], "term", True),
    ("python loop", ["/usr/bin/python3", "-c", PYTHON_LOOP], "term", True),
    ("floor", [FLOOR], "enter", False),
]


# --- Noting pointer motions --------------------------------------------------

x11 = ctypes.CDLL("libX11.so.6")
x11.XInitThreads()
x11.XOpenDisplay.restype = ctypes.c_void_p
x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
x11.XDefaultRootWindow.restype = ctypes.c_ulong
x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
x11.XSelectInput.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_long]
x11.XFlush.argtypes = [ctypes.c_void_p]
x11.XConnectionNumber.argtypes = [ctypes.c_void_p]
x11.XPending.argtypes = [ctypes.c_void_p]
x11.XNextEvent.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
x11.XCloseDisplay.argtypes = [ctypes.c_void_p]

POINTER_MOTION_MASK = 1 << 6
MOTION_NOTIFY = 6
XEVENT_SIZE = 24 * 8  # XEvent is a union padded to 24 longs

# Xlib takes the cookie file from the environment when it connects.
connect_lock = threading.Lock()


class MotionWatcher:
    """An X client that selects motion on the root window of one server and
    notes the monotonic time at which each motion arrives. Nothing else
    covers the root window of an Xvfb, so every pointer motion reaches it."""

    def __init__(self, server):
        with connect_lock:
            self.display = x11.XOpenDisplay(f":{server.display}".encode())
        if not self.display:
            raise RuntimeError(f"cannot open :{server.display}")
        root = x11.XDefaultRootWindow(self.display)
        x11.XSelectInput(self.display, root, POINTER_MOTION_MASK)
        x11.XFlush(self.display)
        self.fd = x11.XConnectionNumber(self.display)
        self.times = []
        self.changed = threading.Condition()
        self.running = True
        self.thread = threading.Thread(target=self._watch, daemon=True)
        self.thread.start()

    def _watch(self):
        event = ctypes.create_string_buffer(XEVENT_SIZE)
        while self.running:
            select.select([self.fd], [], [], 0.1)
            now = time.monotonic()
            while x11.XPending(self.display):
                x11.XNextEvent(self.display, event)
                if ctypes.c_int.from_buffer(event).value == MOTION_NOTIFY:
                    with self.changed:
                        self.times.append(now)
                        self.changed.notify_all()

    def count(self):
        with self.changed:
            return len(self.times)

    def wait_for(self, count, timeout):
        """Returns the time of motion number `count` (from 1)."""
        with self.changed:
            if not self.changed.wait_for(lambda: len(self.times) >= count, timeout):
                raise RuntimeError(f"no motion {count} within {timeout} s")
            return self.times[count - 1]

    def close(self):
        self.running = False
        self.thread.join()
        x11.XCloseDisplay(self.display)


# --- Helpers -------------------------------------------------------------------

def children_of(pid):
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as stat:
                    fields = stat.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == pid:
                found.append(int(entry))
    return found


def cmdline(pid):
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return f.read().split(b"\0")
    except OSError:
        return []


def peak_rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    raise RuntimeError(f"no VmHWM for {pid}")


def wait_until(condition, what, timeout=120):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise RuntimeError(f"timed out waiting for {what}")
        time.sleep(0.01)


def sleep_until(moment):
    delay = moment - time.monotonic()
    if delay > 0:
        time.sleep(delay)


# Process groups started here, ended on the way out whatever happens.
started_groups = []


def start_group(cmd, env):
    proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                            env=env, start_new_session=True)
    started_groups.append(proc.pid)
    return proc


def end_started_groups():
    for pgid in started_groups:
        try:
            os.killpg(pgid, signal.SIGKILL)
        except ProcessLookupError:
            pass


def close_all(watchers, servers):
    """Watchers first: Xlib ends the process when its server goes away."""
    for watcher in watchers:
        if watcher is not None:
            watcher.close()
    for server in servers:
        server.stop()


def wait_group_empty(pgid, timeout=60):
    """Waits until every process of a group (orphans included) has gone."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            os.killpg(pgid, 0)
        except ProcessLookupError:
            return
        time.sleep(0.05)
    raise RuntimeError(f"process group {pgid} still alive")


def stop(proc, how, pid=None):
    if how == "enter":
        proc.stdin.write(b"\n")
        proc.stdin.flush()
    else:
        os.kill(pid if pid is not None else proc.pid, signal.SIGTERM)


def thread_results(jobs):
    """Runs the functions in parallel threads and returns their results."""
    results = [None] * len(jobs)
    errors = []

    def run(i, job):
        try:
            results[i] = job()
        except Exception as error:  # reported below, in the main thread
            errors.append(error)

    threads = [threading.Thread(target=run, args=(i, job)) for i, job in enumerate(jobs)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if errors:
        raise errors[0]
    return results


# --- 1. Steady state, period and stop latency ------------------------------

# Software counters only: this machine has no hardware ones. A switch away
# from a task whose state is not running is one where it blocked; the rest
# are preemptions.
PERF_EVENTS = ["-e", "task-clock", "-e", "context-switches",
               "-e", "sched:sched_switch", "--filter", "prev_state & 255"]
COLUMNS = {"task-clock": 0, "context-switches": 1, "sched:sched_switch": 2}


def parse_perf_intervals(path):
    """Returns [(end of interval in s, task-clock ms, context switches,
    blocking context switches)], one per interval."""
    rows = {}
    with open(path) as f:
        for line in f:
            fields = line.strip().split(",")
            if len(fields) < 4 or line.startswith("#"):
                continue
            stamp, value, event = float(fields[0]), fields[1], fields[3]
            number = float(value) if value[0].isdigit() else 0.0  # <not counted>
            rows.setdefault(stamp, [0.0, 0.0, 0.0])[COLUMNS[event]] += number
    return sorted((stamp, *counts) for stamp, counts in rows.items())


def choose_window(stamps, motions):
    """Picks interval ends (perf's own clock drifts off the 0.5 s grid) at
    least WINDOW_LENGTH apart, the first at WINDOW_START or later, both at
    least WINDOW_MARGIN from any motion: no cycle is cut in two."""
    def between_cycles(t):
        return all(abs(m - t) >= WINDOW_MARGIN for m in motions)

    for start in stamps:
        if start >= WINDOW_START and between_cycles(start):
            for end in stamps:
                if end - start >= WINDOW_LENGTH and between_cycles(end):
                    return start, end
    raise RuntimeError("no window with its ends between cycles")


def stop_latency():
    """Stops jiggle at random points of its cycle: the time from writing
    Enter to the exit of the process."""
    trials = []
    with XServer() as server:
        watcher = MotionWatcher(server)
        try:
            for trial in range(LATENCY_TRIALS):
                seen = watcher.count()
                proc = subprocess.Popen([JIGGLE], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                        env=server.env)
                motion = watcher.wait_for(seen + 1, 10)
                # Spread over the cycle: one random point in each eighth of it.
                phase = (trial + random.random()) * PERIOD / LATENCY_TRIALS
                sleep_until(motion + phase)
                written = time.monotonic()
                proc.stdin.write(b"\n")
                proc.stdin.flush()
                status = proc.wait()
                exited = time.monotonic()
                if status != 0:
                    raise RuntimeError(f"jiggle exited with {status}")
                trials.append({"phase": written - motion, "latency": exited - written,
                               "remaining": motion + PERIOD - written})
        finally:
            watcher.close()
    return trials


def record_sends(pid, work):
    """Starts recording the moments the program writes to its X connection
    (a kernel tracepoint: exact, and cheap for the program)."""
    wait_until(lambda: len(os.listdir(f"/proc/{pid}/task")) >= 2, "the worker")
    data = os.path.join(work, "sends.data")
    proc = subprocess.Popen(["perf", "record", "-q", "-e", "syscalls:sys_enter_writev",
                             "-p", str(pid), "-o", data], stdout=subprocess.DEVNULL)
    return proc, data


def send_periods(recorder, data):
    recorder.send_signal(signal.SIGINT)
    recorder.wait(timeout=30)
    out = subprocess.run(["perf", "script", "-i", data, "-F", "tid,time"],
                         capture_output=True, text=True, check=True).stdout
    by_thread = {}
    for line in out.splitlines():
        tid, stamp = line.split()[:2]
        by_thread.setdefault(tid, []).append(float(stamp.rstrip(":")))
    sends = max(by_thread.values(), key=len)  # the worker's
    # Connecting writes too, within milliseconds of the first motion.
    return [b - a for a, b in zip(sends, sends[1:]) if b - a > PERIOD / 2]


def steady_state(work):
    servers = [XServer() for _ in PROGRAMS]
    watchers = []
    try:
        watchers = [MotionWatcher(s) if moves else None
                    for s, (_, _, _, moves) in zip(servers, PROGRAMS)]
        launches = []
        for (name, argv, _, _), server in zip(PROGRAMS, servers):
            out = os.path.join(work, f"perf-{name.replace(' ', '-')}.csv")
            cmd = ["perf", "stat", "-x,", "-I", str(int(PERF_INTERVAL * 1000))] + \
                PERF_EVENTS + ["-o", out, "--"] + argv
            started = time.monotonic()
            proc = start_group(cmd, server.env)
            launches.append((proc, started, out))
        first = min(started for _, started, _ in launches)
        time.sleep(0.5)
        pids = [children_of(proc.pid)[0] for proc, _, _ in launches]
        recorder, sends = record_sends(pids[0], work)

        sleep_until(first + WINDOW_START + WINDOW_LENGTH + WINDOW_SLACK)
        peaks = [peak_rss_kib(pid) for pid in pids]
        periods = send_periods(recorder, sends)
        for (_, _, how, _), (proc, _, _), pid in zip(PROGRAMS, launches, pids):
            stop(proc, how, pid)
        results = {}
        for (name, _, _, moves), (proc, started, out), watcher, rss in zip(
                PROGRAMS, launches, watchers, peaks):
            proc.wait(timeout=10)
            # perf's interval clock starts just before it starts the program.
            motions = [t - started for t in watcher.times] if moves else []
            intervals = parse_perf_intervals(out)
            start, end = choose_window([row[0] for row in intervals], motions)
            window = [row for row in intervals if start < row[0] <= end]
            cycles = (sum(1 for t in motions if start < t <= end) if moves
                      else (end - start) / PERIOD)
            results[name] = {
                "cpu_ms": sum(row[1] for row in window) / cycles,
                "switches": sum(row[2] for row in window) / cycles,
                "blocking": sum(row[3] for row in window) / cycles,
                "rss_kib": rss,
                "window": (start, end),
                "cycles": cycles,
            }
        results["jiggle"]["periods"] = periods
    finally:
        close_all(watchers, servers)

    more = more_peaks()
    for name, _, _, _ in PROGRAMS:
        results[name]["rss_kib"] = statistics.median([results[name]["rss_kib"]] + more[name])
    # The bash loop's peak is bash's own plus that of its largest child.
    xdotool = statistics.median(more["xdotool"])
    results["bash loop"]["rss_kib"] += xdotool
    results["bash loop"]["rss_xdotool"] = xdotool
    return results


def more_peaks():
    """Peak RSS of more runs of each program, side by side, after their
    start-up: where the kernel places the libraries moves the figure by up
    to 200 KiB from one run to the next."""
    peaks = {}
    with XServer() as server:
        env = server.env
        started = [(name, how, start_group(argv, env))
                   for name, argv, how, _ in PROGRAMS for _ in range(RSS_RUNS - 1)]
        time.sleep(1.5)
        for name, how, proc in started:
            peaks.setdefault(name, []).append(peak_rss_kib(proc.pid))
            stop(proc, how)
        for _, _, proc in started:
            proc.wait(timeout=10)
        for _ in range(RSS_RUNS):
            proc = subprocess.Popen(["xdotool", "mousemove_relative", "--", "5", "5"], env=env)
            _, _, usage = os.wait4(proc.pid, 0)
            proc.returncode = 0
            peaks.setdefault("xdotool", []).append(usage.ru_maxrss)
    return peaks


# --- 2, 3. Allocations and instructions under valgrind --------------------

def valgrind_run(tool, program, cycles, work, server, watcher):
    name, argv, how, moves = program
    tag = f"{tool}-{name.replace(' ', '-')}-{cycles}"
    logs = os.path.join(work, tag)
    os.mkdir(logs)
    cmd = ["valgrind", f"--tool={tool}", "--trace-children=yes",
           f"--log-file={logs}/log.%p"]
    if tool == "callgrind":
        cmd.append(f"--callgrind-out-file={logs}/callgrind.out.%p")
    env = dict(server.env)
    # Every Python object through malloc, so that allocations are counted,
    # and a fixed hash seed, so that two runs do the same start-up work.
    env.update(PYTHONMALLOC="malloc", PYTHONHASHSEED="0")
    proc = start_group(cmd + argv, env)
    if moves:
        # Stop in the pause after the last motion, at the same point of the
        # cycle in both runs.
        watcher.wait_for(cycles, 300)
        if name == "bash loop":
            wait_until(lambda: any(b"sleep" in b" ".join(cmdline(child))
                                   for child in children_of(proc.pid)), "the loop's sleep")
        time.sleep(0.5)
    else:
        # The floor's cycles start with its worker thread.
        wait_until(lambda: len(os.listdir(f"/proc/{proc.pid}/task")) >= 2, "the worker")
        time.sleep(PERIOD * cycles - 1.0)
    stop(proc, how)
    proc.wait(timeout=120)
    wait_group_empty(proc.pid)
    pattern = (r"total heap usage: ([\d,]+) allocs" if tool == "memcheck"
               else r"Collected : (\d+)")
    total = 0
    for log in os.listdir(logs):
        if not log.startswith("log."):
            continue
        with open(os.path.join(logs, log)) as f:
            found = re.search(pattern, f.read())
        if found is None:
            raise RuntimeError(f"no total in {logs}/{log}")
        total += int(found.group(1).replace(",", ""))
    return total


def per_cycle_under_valgrind(tool, work):
    runs = [(program, cycles) for program in PROGRAMS for cycles in (SHORT_RUN, LONG_RUN)]
    servers = [XServer() for _ in runs]
    watchers = []
    try:
        watchers = [MotionWatcher(s) for s in servers]
        totals = thread_results([
            (lambda p=p, c=c, s=s, w=w: valgrind_run(tool, p, c, work, s, w))
            for (p, c), s, w in zip(runs, servers, watchers)])
    finally:
        close_all(watchers, servers)
    result = {}
    for ((name, _, _, _), cycles), total in zip(runs, totals):
        result.setdefault(name, {})[cycles] = total
    return {name: {"per_cycle": (t[LONG_RUN] - t[SHORT_RUN]) / (LONG_RUN - SHORT_RUN),
                   "short": t[SHORT_RUN], "long": t[LONG_RUN]}
            for name, t in result.items()}


# --- 4. The Windows executable ---------------------------------------------

def stripped_size(work):
    copy = os.path.join(work, "jiggle.exe")
    shutil.copyfile(JIGGLE_EXE, copy)
    subprocess.run(["x86_64-w64-mingw32-strip", copy], check=True)
    return os.path.getsize(copy)


# --- Report ------------------------------------------------------------------

def machine():
    model = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        mem_gib = int(f.readline().split()[1]) / 2**20
    distro = ""
    if os.path.exists("/etc/os-release"):
        with open("/etc/os-release") as f:
            fields = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
        distro = fields.get("PRETTY_NAME", "").strip('"')
    return (f"{model}, {os.cpu_count()} CPUs, {mem_gib:.0f} GiB; {distro}; "
            f"Linux {platform.release()}")


def cell(value, base, digits):
    text = f"{value:,.{digits}f}"
    if base == 0:
        return text + ("" if value == 0 else " (jiggle: 0)")
    ratio = value / base
    return f"{text} ({ratio:.{2 if ratio < 0.1 else 1 if ratio < 100 else 0}f}×)"


def totals(figures):
    return "; ".join(f"{name} {f['short']:,} and {f['long']:,}"
                     for name, f in figures.items())


def report(steady, allocs, instructions, latency, exe_size, seconds):
    jig = steady["jiggle"]
    rows = []
    for name, _, _, _ in PROGRAMS:
        s = steady[name]
        rows.append(f"| {name} | {cell(s['cpu_ms'], jig['cpu_ms'], 3)} "
                    f"| {cell(s['switches'], jig['switches'], 2)} "
                    f"| {cell(s['blocking'], jig['blocking'], 2)} "
                    f"| {cell(s['rss_kib'], jig['rss_kib'], 0)} "
                    f"| {cell(allocs[name]['per_cycle'], allocs['jiggle']['per_cycle'], 1)} "
                    f"| {cell(instructions[name]['per_cycle'], instructions['jiggle']['per_cycle'], 0)} |")
    table = "\n".join(
        ["| program | CPU ms per cycle | context switches per cycle | of which blocking "
         "| peak RSS KiB | heap allocations per cycle | instructions per cycle |",
         "|---|---|---|---|---|---|---|"] + rows)

    periods = jig["periods"]
    mean = sum(periods) / len(periods)
    worst = max(periods, key=lambda p: abs(p - PERIOD))
    latencies = [t["latency"] for t in latency]
    overshoot = max(t["latency"] - t["remaining"] for t in latency)
    trials = ", ".join(f"{t['phase']:.2f}→{t['latency']:.3f}" for t in latency)

    floor, bash, python = steady["floor"], steady["bash loop"], steady["python loop"]
    checks = [
        ("0 heap allocations per cycle", allocs["jiggle"]["per_cycle"] == 0,
         f"{allocs['jiggle']['per_cycle']:g}"),
        ("1 context switch per cycle: the worker blocking once",
         abs(jig["blocking"] - 1) < 0.05,
         f"{jig['blocking']:.2f} blocking, {jig['switches']:.2f} in all"),
        ("CPU at least 15× below the bash loop", bash["cpu_ms"] >= 15 * jig["cpu_ms"],
         f"{bash['cpu_ms'] / jig['cpu_ms']:.0f}×"),
        ("CPU below the python loop", python["cpu_ms"] > jig["cpu_ms"],
         f"{python['cpu_ms'] / jig['cpu_ms']:.1f}×"),
        ("CPU within a small factor (≤ 3×) of the floor", jig["cpu_ms"] <= 3 * floor["cpu_ms"],
         f"{jig['cpu_ms'] / floor['cpu_ms']:.1f}×"),
        ("peak RSS within 1 MiB of the floor's", jig["rss_kib"] - floor["rss_kib"] <= 1024,
         f"+{jig['rss_kib'] - floor['rss_kib']:.0f} KiB"),
        ("peak RSS at most a third of the python loop's", 3 * jig["rss_kib"] <= python["rss_kib"],
         f"{python['rss_kib'] / jig['rss_kib']:.1f}× smaller"),
        ("jiggle.exe stripped at most 1 MiB", exe_size <= 2**20, f"{exe_size:,} bytes"),
    ]
    target_lines = "\n".join(f"| {what} | {got} | {'met' if ok else 'MISSED'} |"
                             for what, ok, got in checks)

    return f"""# Performance

Measured by `bench/run` (it builds what it needs, then takes about {seconds / 60:.0f} minutes)
on {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC, on {machine()}.

## jiggle against what people script instead

Side by side, each on its own Xvfb:

- **jiggle**: `build/linux/jiggle`;
- **bash loop**: `bash -c '{BASH_LOOP}'`, its whole process tree;
- **python loop**: `/usr/bin/python3` calling libXtst through ctypes
  (`XTestFakeRelativeMotionEvent`, `XFlush`, `time.sleep(2)`);
- **floor**: `bench/floor.cpp`, jiggle's shape (a worker thread, a main thread
  blocked reading one character) and linking, whose worker only sleeps 2 s at
  a time.

Each cell: the figure, and in brackets its ratio to jiggle's.

{table}

- CPU and context switches: `perf stat -I 500` software counters (task-clock,
  context-switches; this machine has no hardware counters), inherited by threads
  and child processes, over one 20 s window starting 5 to 7.5 s after start, with
  its ends between cycles; divided by the motions in the window (the floor: 10).
  "Of which blocking" counts the `sched:sched_switch` events where the task was
  not runnable (it blocked); the others are preemptions, the scheduler's
  choice: on these 2 CPUs, often the X server woken by the request itself, or
  another program of the benchmark. The floor, which talks to no one, has them too.
- Peak RSS: VmHWM, the median of {RSS_RUNS} runs (the one above, at the end of
  its window, and {RSS_RUNS - 1} more side by side, 1.5 s after their start): where
  the libraries land moves it by up to 200 KiB from run to run. The bash
  loop's is bash's own ({bash['rss_kib'] - bash['rss_xdotool']:.0f} KiB) plus that of
  `xdotool` ({bash['rss_xdotool']:.0f} KiB), which is there only while it runs.
- Heap allocations: valgrind memcheck's "total heap usage" of the whole process
  tree, a {LONG_RUN}-cycle run minus a {SHORT_RUN}-cycle run, divided by
  {LONG_RUN - SHORT_RUN}; libraries included. Python is run with `PYTHONMALLOC=malloc`,
  so its small objects count too.
  Totals, {SHORT_RUN} and {LONG_RUN} cycles: {totals(allocs)}.
  jiggle's `std::random_device` reads the CPU's RDRAND here (valgrind emulates
  it): no system call and no allocation per value.
- Instructions: callgrind's instruction count, the same difference. Totals:
  {totals(instructions)}.

## jiggle's timing

- Period between motions over {len(periods)} cycles of the run above (the moments
  jiggle's worker writes to its X connection, from the kernel's
  `syscalls:sys_enter_writev` tracepoint): mean {mean:.6f} s, worst deviation
  from 2 s {(worst - PERIOD) * 1000:+.3f} ms. The pause starts after the send and
  nothing catches up, so each period is 2 s plus the cycle's work and the
  wake-up's lateness.
- Stop latency, from writing Enter to the exit of the process, for Enter at
  {len(latency)} random points of the cycle (one in each eighth): from
  {min(latencies):.3f} s to {max(latencies):.3f} s; never more than
  {overshoot * 1000:.1f} ms past the end of the pause under way.
  Trials (s after a motion → latency s): {trials}.
- `jiggle.exe`, stripped (`x86_64-w64-mingw32-strip`): {exe_size:,} bytes.

## Targets

| target | measured | |
|---|---|---|
{target_lines}
"""


def measure_all(work):
    print("steady state and period, side by side (30 s) ...", file=sys.stderr)
    steady = steady_state(work)
    print("stop latency (20 s) ...", file=sys.stderr)
    latency = stop_latency()
    print("heap allocations under memcheck ...", file=sys.stderr)
    allocs = per_cycle_under_valgrind("memcheck", work)
    print("instructions under callgrind ...", file=sys.stderr)
    instructions = per_cycle_under_valgrind("callgrind", work)
    return steady, allocs, instructions, latency, stripped_size(work)


def main():
    began = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="jiggle-bench-") as work:
        try:
            measured = measure_all(work)
        finally:
            end_started_groups()
    text = report(*measured, time.monotonic() - began)
    os.makedirs(os.path.dirname(REPORT), exist_ok=True)
    with open(REPORT, "w") as f:
        f.write(text)
    print(text)


if __name__ == "__main__":
    main()
