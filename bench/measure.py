#!/usr/bin/python3
"""Measures what jiggle costs, beside the loops people script instead and a floor, and writes
docs/performance.md. Run through bench/run, which builds the programs first.

Every program runs in a session of its own, side by side with the others. `perf stat`, attached in
the middle of a pause and stopped in the middle of a later one, counts the CPU time and context
switches of the program's threads and of the commands it starts in between. Heap allocations and
instructions come from two runs under valgrind's DHAT, a short and a long one, each stopped in the
middle of the pause after its last cycle: their difference per cycle leaves start-up and stop out.
A program of jiggle's shape counts its cycles from the start of its worker thread, whose first
motion follows at once; the scripted loops count theirs by the pointer, which each of their cycles
moves by (5, 5). Last, jiggle is stopped at random points of its cycle while `perf record` notes
the moments its worker begins each pause, right after each motion.
"""

import concurrent.futures
import contextlib
import os
import platform
import random
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))
from conftest import (BANNER, FAREWELL, PERIOD, Run, XServer, kwin_session, mutter_session,  # noqa
                      has_owner, portal_session, private_bus, sway_session, wait_for)

JIGGLE, FLOOR = (os.path.join(ROOT, "build", "linux", name) for name in ("jiggle", "floor"))
DHAT = "/usr/libexec/valgrind/dhat-amd64-linux"  # the program KWin sees under valgrind

# Each way jiggle moves the pointer is a row of its own: its name, and a context manager whose
# value's .env is a session for jiggle. Only jiggle is measured, not the session's server.
# The portal's is the real xdg-desktop-portal with the tests' stand-in backend, which allows at
# once. uinput has none: it needs a kernel with the module and a writable /dev/uinput, which only the
# test suite's emulated guest has, whose figures would not compare with these.
# Each session has a bus with a screensaver service on it, as a desktop has: jiggle watches it.
SCREENSAVER = """
import dbus, dbus.service, dbus.mainloop.glib
from gi.repository import GLib
dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
class ScreenSaver(dbus.service.Object):
    @dbus.service.method("org.freedesktop.ScreenSaver", out_signature="b")
    def GetActive(self):
        return False
ScreenSaver(dbus.SessionBus(), "/org/freedesktop/ScreenSaver")
name = dbus.service.BusName("org.freedesktop.ScreenSaver", dbus.SessionBus())
GLib.MainLoop().run()
"""


@contextlib.contextmanager
def with_screensaver(session):
    with session() as where, tempfile.TemporaryDirectory() as home:
        bus = None if "DBUS_SESSION_BUS_ADDRESS" in where.env else private_bus(home)[0]
        where.env = dict(where.env, DBUS_SESSION_BUS_ADDRESS=where.env.get("DBUS_SESSION_BUS_ADDRESS",
                                                                           f"unix:path={home}/bus"))
        saver = subprocess.Popen(["/usr/bin/python3", "-c", SCREENSAVER], env=where.env)
        try:
            wait_for(lambda: has_owner(where.env, "org.freedesktop.ScreenSaver"), 10, "no screensaver on the bus")
            yield where
        finally:
            for proc in (saver, bus):
                if proc:
                    proc.terminate()
                    proc.wait()


WAYS = {name: lambda session=session: with_screensaver(session) for name, session in {
    "XTEST on Xvfb": XServer, "wlroots virtual pointer on sway": lambda: sway_session("debian12"),
    "KDE fake input on KWin": lambda: kwin_session("debian12", JIGGLE, DHAT),
    "GNOME remote desktop on mutter": lambda: mutter_session("debian12"),
    "desktop portal on xdg-desktop-portal": portal_session}.items()}

BASH_LOOP = "while :; do xdotool mousemove_relative -- 5 5; sleep 2; done"
PYTHON_LOOP = """\
import ctypes, time
x11, xtst = ctypes.CDLL("libX11.so.6"), ctypes.CDLL("libXtst.so.6")
x11.XOpenDisplay.restype = ctypes.c_void_p
x11.XFlush.argtypes = [ctypes.c_void_p]
xtst.XTestFakeRelativeMotionEvent.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_ulong]
display = x11.XOpenDisplay(None)
while True:
    xtst.XTestFakeRelativeMotionEvent(display, 5, 5, 0)
    x11.XFlush(display)
    time.sleep(2)
"""
# name, command, session, kind: "jiggle", "floor" (jiggle's shape) or "loop" (moves by 5, 5)
ROWS = [(f"jiggle, {way}", [JIGGLE], session, "jiggle") for way, session in WAYS.items()] + [
    ("bash loop", ["bash", "-c", BASH_LOOP], XServer, "loop"),
    ("python loop", ["/usr/bin/python3", "-c", PYTHON_LOOP], XServer, "loop"),
    ("floor", [FLOOR], XServer, "floor")]

COUNTED = (2, 12)        # perf counts from the pause after the first of these cycles to the last's
REPEATS = 3              # runs of each program so counted: the median of each figure
UNDER_VALGRIND = (3, 6)  # cycles of the short and the long run under DHAT
TRIALS = 8               # stops at random points of the cycle, for each way
# Software counters (this machine has none in hardware). A switch away from a task that is not
# runnable is one where it blocked; the others are preemptions.
EVENTS = {"cpu_ms": "task-clock", "switches": "context-switches", "blocking": "sched:sched_switch"}
COUNTERS = [arg for event in EVENTS.values() for arg in ("-e", event)] + ["--filter", "prev_state & 255"]


def wait_until(condition, what, every=0.05, timeout=300):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, f"waited {timeout} s for {what}"
        time.sleep(every)


def sleep_until(moment):
    time.sleep(max(0.0, moment - time.monotonic()))


def worker_started(pid):
    """When a program of jiggle's shape has started its worker: its first cycle begins."""
    wait_until(lambda: len(os.listdir(f"/proc/{pid}/task")) > 1, "the worker thread")
    return time.monotonic()


def status_kib(pid, field):
    with open(f"/proc/{pid}/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith(field + ":"))


def pausing(pid):
    """Whether the process or one of its children sleeps: a loop's pause."""
    tree = ["ps", "-o", "wchan:40=", "-p", str(pid), "--ppid", str(pid)]
    return "nanosleep" in subprocess.run(tree, capture_output=True, text=True).stdout


def side_by_side(job, jobs):
    with concurrent.futures.ThreadPoolExecutor(len(jobs)) as pool:
        return list(pool.map(lambda args: job(*args), jobs))


def run(row, cycles, counted_from=0, under_valgrind=False, phase=0.5):
    """Runs a row's program and stops it `phase` into the pause after cycle `cycles`. With
    `counted_from`, perf counts what it does from the middle of that cycle's pause on."""
    name, command, session, kind = row
    with session() as where, tempfile.TemporaryDirectory() as logs:
        env, valgrind = dict(where.env), []
        if under_valgrind:
            valgrind = ["valgrind", "--tool=dhat", "--trace-children=yes", f"--log-file={logs}/log.%p",
                        f"--dhat-out-file={logs}/out.%p"]
            env.update(PYTHONMALLOC="malloc", PYTHONHASHSEED="0")  # every object counted, same start-up
        x, y = where.pointer() if kind == "loop" else (0, 0)
        pipe = subprocess.PIPE if kind == "jiggle" else subprocess.DEVNULL
        program = Run(valgrind + command, env, stdout=pipe, stderr=pipe, start_new_session=True)
        pid = program.proc.pid
        try:
            began = program.started if kind == "loop" else worker_started(pid)

            def after(cycle, phase=0.5):  # waits until `phase` into the pause after that cycle
                sleep_until(began + (cycle - 1 + (0 if kind == "loop" else phase)) * PERIOD)
                if kind == "loop":
                    goal = (x + 5 * cycle, y + 5 * cycle)
                    wait_until(lambda: where.pointer() == goal and pausing(pid), f"{name}'s pause {cycle}", every=0.1)
                    time.sleep(phase * PERIOD)

            if counted_from:
                after(counted_from)
                perf = subprocess.Popen(["perf", "stat", "-x,", "-o", f"{logs}/counts", "-p", str(pid), *COUNTERS])
            after(cycles, phase)
            if counted_from:
                perf.send_signal(signal.SIGINT)
                perf.wait(timeout=60)
            peak = status_kib(pid, "VmHWM")
            with open(f"/proc/{pid}/task/{pid}/children") as children:
                loop_commands = children.read().split()
            entered = time.monotonic()
            if kind == "loop":
                os.killpg(pid, signal.SIGTERM)
            else:
                program.proc.stdin.write(b"\n")
                program.proc.stdin.flush()
            _, status, usage = os.wait4(pid, 0)
        except BaseException:  # a failed run leaves nothing behind; a loop's commands end soon
            program.proc.kill()
            raise
        found = {"pid": pid, "entered": entered, "latency": time.monotonic() - entered, "cycles": cycles,
                 # A loop's shell and, beside it, the largest command it starts.
                 "rss_kib": peak + (usage.ru_maxrss if loop_commands else 0), "allocations": 0, "instructions": 0}
        program.proc.returncode = status
        if kind == "jiggle":
            seen = (program.banner, program.proc.stdout.read(), program.proc.stderr.read(), status)
            assert seen == (BANNER, FAREWELL, b"", 0), f"{name} did not run cleanly: {seen}"
        # Under valgrind, the loop's last command may still be writing its totals.
        wait_until(lambda: subprocess.run(["pgrep", "-g", str(pid)], stdout=subprocess.DEVNULL).returncode,
                   f"{name}'s processes to end")
        for log in os.listdir(logs):
            with open(os.path.join(logs, log)) as lines:
                if log.startswith("log."):  # DHAT's summary: "Total: N bytes in N blocks"
                    found["allocations"] += int(re.search(r"in ([\d,]+) blocks", lines.read())[1].replace(",", ""))
                elif log.startswith("out."):  # the time at the end, in instructions
                    found["instructions"] += int(re.search(r'"te":(\d+)', lines.read())[1])
                else:  # perf stat's: value,unit,event,...
                    counts = {f[2]: float(f[0]) for f in (line.split(",") for line in lines) if len(f) > 2}
                    found.update({key: counts[event] / (cycles - counted_from) for key, event in EVENTS.items()})
    return found


def by_row(jobs):
    """Runs each row's program once per job (run's arguments after the row), all side by side."""
    results = side_by_side(run, [(row, *args) for row in ROWS for args in jobs])
    return {row[0]: results[i * len(jobs):(i + 1) * len(jobs)] for i, row in enumerate(ROWS)}


def timing():
    """Stops each way's jiggle TRIALS times, at a random point of each eighth of its fourth cycle,
    while perf notes when its worker begins each pause. {row: (periods, [(s after a motion, latency,
    past the pause's end)])}"""
    def trial(row, i):  # in turn, so that the trials do not end together
        time.sleep(i * PERIOD / TRIALS)
        return run(row, 4, phase=(i + random.random()) / TRIALS)

    with tempfile.TemporaryDirectory() as tmp, contextlib.ExitStack() as sessions:
        # A way's trials share one session of it.
        shared = [(name, command, sessions.enter_context(session())) for name, command, session, kind in ROWS
                  if kind == "jiggle"]
        jobs = [((name, command, lambda where=where: contextlib.nullcontext(where), "jiggle"), i)
                for name, command, where in shared for i in range(TRIALS)]
        perf = subprocess.Popen(["perf", "record", "-q", "-a", "-k", "mono", "-o", f"{tmp}/data",
                                 "-e", "syscalls:sys_enter_clock_nanosleep"], stdout=subprocess.DEVNULL)
        try:
            time.sleep(1)  # perf's set-up
            trials = side_by_side(trial, jobs)
        finally:
            perf.send_signal(signal.SIGINT)
            perf.wait(timeout=60)
        script = subprocess.run(["perf", "script", "-i", f"{tmp}/data", "-F", "pid,time"],
                                capture_output=True, text=True, check=True).stdout
    pauses, found = {}, {}
    for pid, stamp in map(str.split, script.splitlines()):
        pauses.setdefault(int(pid), []).append(float(stamp.rstrip(":")))
    for (row, _), t in zip(jobs, trials):
        began = pauses[t["pid"]]
        last = max(moment for moment in began if moment < t["entered"])
        periods, stops = found.setdefault(row[0], ([], []))
        periods.extend(b - a for a, b in zip(began, began[1:]))
        stops.append((t["entered"] - last, t["latency"], t["entered"] + t["latency"] - last - PERIOD))
    return found


def stripped_size():
    with tempfile.TemporaryDirectory() as tmp:
        subprocess.run(["x86_64-w64-mingw32-strip", "-o", f"{tmp}/jiggle.exe",
                        os.path.join(ROOT, "build", "windows", "jiggle.exe")], check=True)
        return os.path.getsize(f"{tmp}/jiggle.exe")


def cell(value, base, digits):
    if base == 0:
        return f"{value:,.{digits}f}" + ("" if round(value, digits) == 0 else " (jiggle: 0)")
    ratio = value / base
    return f"{value:,.{digits}f} ({ratio:.{2 if ratio < 0.1 else 1 if ratio < 100 else 0}f}×)"


def targets(figures, exe_size):
    floor, bash, python = figures["floor"], figures["bash loop"], figures["python loop"]
    checks = []
    for row in ROWS[:len(WAYS)]:
        f = figures[row[0]]
        cpu, rss, to_floor = f["cpu_ms"], f["rss_kib"], f["rss_kib"] - floor["rss_kib"]
        own = [("0 heap allocations per cycle", round(f["allocations"], 1) == 0, f"{f['allocations']:.1f}"),
               ("1 context switch per cycle, the worker blocking once", abs(f["blocking"] - 1) < 0.05,
                f"{f['blocking']:.2f} blocking, {f['switches']:.2f} in all")] if row is ROWS[0] else []
        checks += [(f"{row[0]}: {what}", ok, got) for what, ok, got in own + [
            ("CPU at least 15× below the bash loop's", bash["cpu_ms"] >= 15 * cpu,
             f"{bash['cpu_ms'] / cpu:.0f}×"),
            ("CPU below the python loop's", python["cpu_ms"] > cpu, f"{python['cpu_ms'] / cpu:.1f}×"),
            ("CPU at most 3× the floor's", cpu <= 3 * floor["cpu_ms"], f"{cpu / floor['cpu_ms']:.1f}×"),
            ("peak RSS within 1 MiB of the floor's", to_floor <= 1024, f"{to_floor:+,.0f} KiB"),
            ("peak RSS at most a third of the python loop's", 3 * rss <= python["rss_kib"],
             f"{python['rss_kib'] / rss:.1f}× smaller")]]
    xtest, portal = figures[ROWS[0][0]], figures[ROWS[len(WAYS) - 1][0]]
    checks.append((f"{ROWS[len(WAYS) - 1][0]}: CPU at most 3× XTEST's", portal["cpu_ms"] <= 3 * xtest["cpu_ms"],
                   f"{portal['cpu_ms'] / xtest['cpu_ms']:.1f}×"))
    checks.append(("jiggle.exe stripped at most 1 MiB", exe_size <= 2**20, f"{exe_size:,} bytes"))
    return "\n".join(f"| {what} | {got} | {'met' if ok else 'MISSED'} |" for what, ok, got in checks)


def report(figures, timed, exe_size, seconds, loads):
    base = figures[ROWS[0][0]]
    columns = {"cpu_ms": 3, "switches": 2, "blocking": 2, "rss_kib": 0, "allocations": 1, "instructions": 0}
    table = "\n".join(f"| {name} | " + " | ".join(cell(f[key], base[key], d) for key, d in columns.items()) + " |"
                      for name, f in figures.items())
    totals = "; ".join(f"{name} {s['allocations']:,} and {l['allocations']:,} allocations, "
                       f"{s['instructions']:,} and {l['instructions']:,} instructions"
                       for name, (s, l) in ((name, f["dhat"]) for name, f in figures.items()))
    timing_rows = []
    for name, (periods, stops) in timed.items():
        worst, latencies = max((p - PERIOD for p in periods), key=abs), [latency for _, latency, _ in stops]
        timing_rows.append(
            f"| {name} | {statistics.mean(periods):.6f} s | {worst * 1000:+.3f} ms | {min(latencies):.3f} to "
            f"{max(latencies):.3f} s | {max(past for *_, past in stops) * 1000:.1f} ms | "
            + ", ".join(f"{phase:.2f}→{latency:.3f}" for phase, latency, _ in stops) + " |")
    with open("/proc/cpuinfo") as cpuinfo:
        cpu = re.search(r"model name\s*: (.*)", cpuinfo.read())[1]
    memory = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE") / 2**30
    return f"""# Performance

Measured by `bench/run` (it builds what it needs, then takes about {seconds:.0f} s) on
{time.strftime("%Y-%m-%d %H:%M", time.gmtime())} UTC, on {cpu}, {os.cpu_count()} CPUs, {memory:.0f} GiB; {platform.freedesktop_os_release()["PRETTY_NAME"]};
Linux {platform.release()}; load average (1 min) {loads[0]:.2f} before, {loads[1]:.2f} after.

## jiggle against what people script instead

Side by side, each in a session of its own: jiggle (`build/linux/jiggle`) in each way it moves the
pointer; on Xvfb, the **bash loop** `bash -c '{BASH_LOOP}'`, the **python loop**
(`/usr/bin/python3` calling libXtst's `XTestFakeRelativeMotionEvent` through ctypes, `XFlush`,
`time.sleep(2)`), and the **floor**, `bench/floor.cpp`: jiggle's shape (a worker thread, a main
thread blocked reading one character) and linking, whose worker only sleeps 2 s at a time. The
figures are each program's own (with the commands it starts), not its session's server's; in
brackets, the ratio to the first row's. Each of jiggle's sessions has a session bus with a
screensaver service on it, as a desktop has, so jiggle watches the screen lock in every row.

| program | CPU ms per cycle | context switches per cycle | of which blocking | peak RSS KiB | heap allocations per cycle | instructions per cycle |
|---|---|---|---|---|---|---|
{table}

- CPU and context switches: `perf stat` software counters (task-clock, context-switches) from
  the middle of the pause after cycle {COUNTED[0]} to that after cycle {COUNTED[1]}; the median of {REPEATS} runs.
  Blocking: the `sched:sched_switch` events where the program was not runnable (it waited); the
  others are preemptions, the scheduler's choice (on these 2 CPUs, often for the X server that
  the request itself woke, or for another program here).
- Peak RSS: VmHWM at the end of those runs, the median; the bash loop's adds that of its
  largest command (`xdotool`, from `wait4`), which runs beside bash.
- Heap allocations and instructions: valgrind's DHAT ("Total: … in N blocks", and the
  instructions executed to the end) over the process tree, libraries included: a run of {UNDER_VALGRIND[1]}
  cycles minus one of {UNDER_VALGRIND[0]}, per cycle. Python runs with `PYTHONMALLOC=malloc`, so its small
  objects count too. Totals, {UNDER_VALGRIND[0]} and {UNDER_VALGRIND[1]} cycles: {totals}.
- jiggle's own code allocates nothing per cycle, and XTEST over XCB needs nothing per motion.
  The lock watch costs a cycle one `poll` of its bus connection, which does not wait; the
  screensaver's signals, when they come, are read then.
  The other ways' allocations are their libraries': libwayland marshals each request into a
  message it allocates (the wlroots virtual pointer sends two a motion, `motion` and `frame`;
  KWin's fake input one), and libdbus allocates the method call, its pending reply and the
  reply. GNOME's way waits for mutter's reply to each motion, and the desktop portal's for the
  portal's, since only the reply says the session took it: the worker blocks twice a cycle on
  GNOME and on the portal's desktop. On the latter, as on COSMIC, the GNOME way comes first,
  and is not asked: the lock watch knows from the bus that mutter is not there. So the targets
  below hold those two figures to the XTEST row only.

## jiggle's timing

For each way, {TRIALS} runs each stopped by Enter at a random point of its fourth cycle, one in
each eighth of it. A motion is when the worker begins its pause, right after it (the kernel's
`sys_enter_clock_nanosleep`, through `perf record`). The period is from one motion to the next;
the stop latency from writing Enter to the exit, which waits for the end of the pause under way.

| way | mean period | worst deviation from 2 s | stop latency | at most past the pause's end | trials (s after a motion → latency s) |
|---|---|---|---|---|---|
{chr(10).join(timing_rows)}

`jiggle.exe`, stripped (`x86_64-w64-mingw32-strip`): {exe_size:,} bytes.

## Targets

| target | measured | |
|---|---|---|
{targets(figures, exe_size)}

Two costs are the libraries', and no target of jiggle's own code can meet them:
- Peak RSS: the system's libdbus-1 brings libsystemd and, with it, six more libraries (libgcrypt,
  libcap, the lz4, lzma and zstd decompressors, libgpg-error), loaded and relocated at the start in
  every session, about 1 MiB of the figure. The static program of the release tarballs has none
  of them.
- GNOME's and the desktop portal's ways: each motion is a D-Bus method call that waits for its
  reply, marshalled and validated by libdbus; their CPU per cycle is the call's.
"""


def main():
    began, load = time.monotonic(), os.getloadavg()[0]
    print("CPU, context switches and memory; then DHAT; then period and stop latency ...", file=sys.stderr)
    counted = by_row([(COUNTED[1], COUNTED[0])] * REPEATS)
    dhat = by_row([(cycles, 0, True) for cycles in UNDER_VALGRIND])
    timed = timing()
    figures = {}
    for name, runs in counted.items():
        short, long = dhat[name]
        figures[name] = {key: statistics.median(r[key] for r in runs) for key in (*EVENTS, "rss_kib")}
        figures[name].update({key: (long[key] - short[key]) / (long["cycles"] - short["cycles"])
                              for key in ("allocations", "instructions")}, dhat=(short, long))
    text = report(figures, timed, stripped_size(), time.monotonic() - began, (load, os.getloadavg()[0]))
    with open(os.path.join(ROOT, "docs", "performance.md"), "w") as out:
        out.write(text)
    print(text)


if __name__ == "__main__":
    main()
