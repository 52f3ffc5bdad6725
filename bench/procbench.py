"""Process-level benchmarks of the real companion: start-up and idle footprint.

Usage:
  procbench.py startup   --menubar BIN --source DIR [--runs N]
  procbench.py footprint --menubar BIN --traymin BIN --source DIR [--seconds S]

Both run the companion as a user would: a copy of the binary placed in a copy of the demo
library (so it supervises that project), the demo server already running on a free port, HOME
and the XDG folders in a temporary folder, and DBUS_SESSION_BUS_ADDRESS pointing at nothing,
so the tray is the XEmbed one at once. The display is a private Xvfb with trayer as tray host
when both are installed, the offscreen platform otherwise; the first output line says which.

The project gets stand-in video tools that answer as ready (.youtube-venv/bin/python says
3.14.7, yt-dlp a version), so the start-up check does not launch a pip build in the background.

Every figure is measured in this run; goals are printed beside them, never assumed.
"""

import argparse
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
CLK_TCK = os.sysconf("SC_CLK_TCK")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def report(name, value, unit, sign, bound):
    ok = {"<": value < bound, "<=": value <= bound, ">=": value >= bound}[sign]
    print("  %-44s %10.3f %-3s goal %s %g %-3s ratio %.3f  %s"
          % (name, value, unit, sign, bound, unit, value / bound, "MET" if ok else "MISSED"), flush=True)
    return ok


def note(name, value, unit=""):
    if isinstance(value, str):
        print("  %-44s %10s" % (name, value), flush=True)
    else:
        print("  %-44s %10.3f %s" % (name, value, unit), flush=True)


class Bench:
    """The temporary world of one benchmark: project, home, display, server."""

    def __init__(self, source, menubar, want_display=True):
        self.tmp = tempfile.mkdtemp(prefix="quenlo-procbench-")
        self.project = os.path.join(self.tmp, "project")
        os.makedirs(os.path.join(self.project, ".youtube-venv", "bin"))
        for name in ("server.py", "runtime-python"):
            shutil.copy2(os.path.join(source, "examples", "demo-library", name), self.project)
        self.app = os.path.join(self.project, "quenlo-menubar")
        shutil.copy2(menubar, self.app)
        for tool, text in (("python", "3.14.7"), ("yt-dlp", "2025.01.01")):
            path = os.path.join(self.project, ".youtube-venv", "bin", tool)
            with open(path, "w") as f:
                f.write("#!/bin/sh\necho %s\n" % text)
            os.chmod(path, 0o755)
        home = os.path.join(self.tmp, "home")
        self.env = dict(os.environ)
        self.env.pop("QT_QPA_PLATFORM", None)
        self.env.update({
            "HOME": home,
            "XDG_CONFIG_HOME": os.path.join(home, "config"),
            "XDG_DATA_HOME": os.path.join(home, "data"),
            "XDG_CACHE_HOME": os.path.join(home, "cache"),
            "DBUS_SESSION_BUS_ADDRESS": "unix:path=" + os.path.join(self.tmp, "no-session-bus"),
            "LANG": "C.UTF-8",
            "LC_ALL": "C.UTF-8",
        })
        for sub in ("config", "data", "cache"):
            os.makedirs(os.path.join(home, sub))
        self.children = []
        self.display = "offscreen"
        if want_display and shutil.which("Xvfb") and shutil.which("trayer"):
            self.start_display()
        else:
            self.env["QT_QPA_PLATFORM"] = "offscreen"
        self.port = free_port()
        self.env["LOCAL_LIBRARY_PORT"] = str(self.port)
        self.log = os.path.join(self.project, "server.log")
        self.start_server()

    def start_display(self):
        read, write = os.pipe()
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x640x24", "-nolisten", "tcp"],
                                pass_fds=(write,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write)
        self.children.append(xvfb)
        number = b""
        while not number.endswith(b"\n"):
            chunk = os.read(read, 16)
            if not chunk:
                raise SystemExit("procbench: Xvfb did not start")
            number += chunk
        os.close(read)
        self.env["DISPLAY"] = ":" + number.decode().strip()
        trayer = subprocess.Popen(["trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                                   "--height", "28", "--SetDockType", "true"],
                                  env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.children.append(trayer)
        time.sleep(1.0)
        self.display = "Xvfb %s with trayer (XEmbed)" % self.env["DISPLAY"]

    def start_server(self):
        log = open(self.log, "ab")
        server = subprocess.Popen([os.path.join(self.project, "runtime-python"), os.path.join(HERE, "timedserver.py"), self.project, str(self.port)],
                                  cwd=self.project, env=self.env, stdout=log, stderr=log, stdin=subprocess.DEVNULL)
        self.children.append(server)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                with urllib.request.urlopen("http://127.0.0.1:%d/api/version" % self.port, timeout=1) as r:
                    if r.status == 200:
                        return
            except OSError:
                time.sleep(0.05)
        raise SystemExit("procbench: the demo server did not start")

    def requests(self, since_ns=0):
        """(stamp, request line) of every request the server logged after since_ns."""
        out = []
        with open(self.log, errors="replace") as f:
            for line in f:
                stamp, _, rest = line.partition(" ")
                if stamp.isdigit() and int(stamp) > since_ns:
                    out.append((int(stamp), rest))
        return out

    def spawn(self, argv, name):
        out = open(os.path.join(self.tmp, name + ".out"), "wb")
        return subprocess.Popen(argv, cwd=self.tmp, env=self.env, stdout=out, stderr=out, stdin=subprocess.DEVNULL)

    def output(self, name):
        with open(os.path.join(self.tmp, name + ".out"), errors="replace") as f:
            return f.read()

    def close(self):
        for child in reversed(self.children):
            if child.poll() is None:
                child.terminate()
                try:
                    child.wait(5)
                except subprocess.TimeoutExpired:
                    child.kill()
                    child.wait()
        shutil.rmtree(self.tmp, ignore_errors=True)


def stop(process):
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def first(requests, text):
    for stamp, line in requests:
        if text in line:
            return stamp
    return None


def startup(args):
    bench = Bench(args.source, args.menubar)
    try:
        print("Start-up of the process to its first poll (server already running; %s; %d runs)"
              % (bench.display, args.runs), flush=True)
        totals, to_first_request = [], []
        for run in range(args.runs):
            started = time.monotonic_ns()
            app = bench.spawn([bench.app], "companion")
            done = None
            deadline = time.monotonic() + 10
            while done is None and time.monotonic() < deadline and app.poll() is None:
                time.sleep(0.002)
                seen = bench.requests(started)
                # The first poll is menu-status then transcription-worker; its reply ends it.
                menu = first(seen, "GET /api/menu-status")
                if menu is not None:
                    done = first([r for r in seen if r[0] >= menu], "GET /api/transcription-worker")
            stop(app)
            if done is None:
                print(bench.output("companion"), file=sys.stderr)
                raise SystemExit("procbench: no first poll within 10 s (run %d)" % run)
            totals.append((done - started) / 1e6)
            to_first_request.append((first(bench.requests(started), "GET /api/version") - started) / 1e6)
            time.sleep(0.2)
        ok = report("process start to first poll answered (median)", statistics.median(totals), "ms", "<", 300)
        note("process start to first poll answered (max)", max(totals), "ms")
        note("process start to first poll answered (run 1)", totals[0], "ms")
        note("process start to first request (median)", statistics.median(to_first_request), "ms")
        print("  goals missed: %d" % (0 if ok else 1), flush=True)
    finally:
        bench.close()


def cpu_ticks(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime, stime (fields 14 and 15)


def thread_cpu_ns(pid):
    """Time on the CPU of the live threads, from schedstat (nanoseconds, unlike the ticks)."""
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
                total += int(f.read().split()[0])
        except OSError:
            pass
    return total


def memory_kb(pid):
    values = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(("VmRSS:", "VmHWM:", "Threads:")):
                key, value = line.split(":", 1)
                values[key] = int(value.split()[0])
    with open("/proc/%d/smaps_rollup" % pid) as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key in ("Pss", "Private_Clean", "Private_Dirty"):
                values[key] = int(rest.split()[0])
    # Unique set size: the pages no other process maps.
    values["USS"] = values["Private_Clean"] + values["Private_Dirty"]
    return values


def pss_by_mapping(pid):
    """Pss in kB per mapped file (anonymous memory under "[anon]", the heap under "[heap]")."""
    sizes, name = {}, None
    with open("/proc/%d/smaps" % pid) as f:
        for line in f:
            head = line.split()
            if not head:
                continue
            if not head[0].endswith(":"):
                name = head[5] if len(head) > 5 else "[anon]"
            elif head[0] == "Pss:":
                sizes[name] = sizes.get(name, 0) + int(head[1])
    return sizes


def print_breakdown(app_pid, tray_pid, rows=16):
    mine, theirs = pss_by_mapping(app_pid), pss_by_mapping(tray_pid)
    print("  Pss by mapping, largest differences (companion, minimal, difference; KiB):")
    for name in sorted(mine, key=lambda n: theirs.get(n, 0) - mine[n])[:rows]:
        print("    %-56s %7d %7d %+7d" % (name[-56:], mine[name], theirs.get(name, 0), mine[name] - theirs.get(name, 0)))
    only = sum(v for n, v in mine.items() if n not in theirs)
    print("    %-56s %7d" % ("(all mappings the minimal program does not have)", only), flush=True)


def embedded(bench, classname):
    if "DISPLAY" not in bench.env or not shutil.which("xdotool"):
        return "n/a"
    try:
        ids = subprocess.run(["xdotool", "search", "--onlyvisible", "--classname", classname], env=bench.env,
                             capture_output=True, text=True, timeout=5).stdout.split()
    except (OSError, subprocess.TimeoutExpired):
        return "unknown"
    for wid in ids:
        geometry = subprocess.run(["xdotool", "getwindowgeometry", "--shell", wid], env=bench.env,
                                  capture_output=True, text=True, timeout=5).stdout
        values = dict(line.split("=", 1) for line in geometry.split() if "=" in line)
        if 12 <= int(values.get("WIDTH", 0)) <= 64 and 12 <= int(values.get("HEIGHT", 0)) <= 64:
            return "yes"
    return "no"


def footprint(args):
    bench = Bench(args.source, args.menubar)
    try:
        print("Idle footprint over %g s at the 10 s interval (%s), side by side with a tray program showing the same menu"
              % (args.seconds, bench.display), flush=True)
        app = bench.spawn([bench.app], "companion")
        tray = bench.spawn([args.traymin], "traymin")
        # The minimal program again with one of the companion's libraries loaded and unused.
        variants = {}
        for suffix, what in (("curl", "libcurl"), ("secret", "libsecret")):
            path = args.traymin + "_" + suffix
            if os.path.exists(path):
                variants[what] = bench.spawn([path], "traymin_" + suffix)
        time.sleep(args.settle)
        # Measured and ended before the window, so they share no pages with the two during it.
        variant_memory = {what: memory_kb(p.pid) for what, p in variants.items()}
        for p in variants.values():
            stop(p)
        for p, name in ((app, "companion"), (tray, "traymin")):
            if p.poll() is not None:
                raise SystemExit("procbench: %s ended early:\n%s" % (name, bench.output(name)))
        window_start = time.monotonic_ns()
        cpu0 = {p.pid: (cpu_ticks(p.pid), thread_cpu_ns(p.pid)) for p in (app, tray)}
        peaks = {app.pid: {}, tray.pid: {}}
        end = time.monotonic() + args.seconds
        while time.monotonic() < end:
            time.sleep(min(5.0, max(0.0, end - time.monotonic())))
            for p in (app, tray):
                for key, value in memory_kb(p.pid).items():
                    peaks[p.pid][key] = max(peaks[p.pid].get(key, 0), value)
        cpu1 = {p.pid: (cpu_ticks(p.pid), thread_cpu_ns(p.pid)) for p in (app, tray)}
        mem = {p.pid: memory_kb(p.pid) for p in (app, tray)}
        polls = sum(1 for _, line in bench.requests(window_start) if "GET /api/menu-status" in line)
        a, t = app.pid, tray.pid

        def cpu_ms(pid):
            return ((cpu1[pid][0] - cpu0[pid][0]) * 1000.0 / CLK_TCK, (cpu1[pid][1] - cpu0[pid][1]) / 1e6)

        note("tray icon embedded: companion", embedded(bench, "quenlo-menubar"))
        note("tray icon embedded: minimal tray program", embedded(bench, "bench_traymin"))
        note("polls the server saw in the window", float(polls))
        note("companion threads", float(mem[a]["Threads"]))
        note("companion VmRSS", mem[a]["VmRSS"] / 1024.0, "MiB")
        note("minimal tray VmRSS", mem[t]["VmRSS"] / 1024.0, "MiB")
        missed = 0
        missed += not report("VmRSS companion / minimal", mem[a]["VmRSS"] / mem[t]["VmRSS"], "x", "<=", 1.25)
        note("companion Pss", mem[a]["Pss"] / 1024.0, "MiB")
        note("minimal tray Pss", mem[t]["Pss"] / 1024.0, "MiB")
        missed += not report("Pss companion / minimal", mem[a]["Pss"] / mem[t]["Pss"], "x", "<=", 1.25)
        note("companion USS (private pages)", mem[a]["USS"] / 1024.0, "MiB")
        note("minimal tray USS", mem[t]["USS"] / 1024.0, "MiB")
        missed += not report("USS companion / minimal", mem[a]["USS"] / mem[t]["USS"], "x", "<=", 2.0)
        for what, m in variant_memory.items():
            note("minimal tray + %s loaded: VmRSS" % what, m["VmRSS"] / 1024.0, "MiB")
            note("minimal tray + %s loaded: USS" % what, m["USS"] / 1024.0, "MiB")
        note("companion peak Pss in the window", peaks[a]["Pss"] / 1024.0, "MiB")
        note("companion VmHWM (peak RSS since start)", mem[a]["VmHWM"] / 1024.0, "MiB")
        app_ticks, app_sched = cpu_ms(a)
        tray_ticks, tray_sched = cpu_ms(t)
        scale = 60.0 / args.seconds
        missed += not report("companion CPU per minute (utime+stime)", app_ticks * scale, "ms", "<", 30)
        note("companion CPU per minute (schedstat, threads)", app_sched * scale, "ms")
        note("minimal tray CPU per minute (utime+stime)", tray_ticks * scale, "ms")
        note("minimal tray CPU per minute (schedstat)", tray_sched * scale, "ms")
        if args.breakdown:
            print_breakdown(a, t)
        print("  goals missed: %d" % missed, flush=True)
        stop(app)
        stop(tray)
    finally:
        bench.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=("startup", "footprint"))
    parser.add_argument("--menubar", required=True)
    parser.add_argument("--traymin")
    parser.add_argument("--source", required=True)
    parser.add_argument("--runs", type=int, default=10)
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--settle", type=float, default=5)
    parser.add_argument("--breakdown", action="store_true", help="footprint: Pss per mapping, largest first")
    args = parser.parse_args()
    # The children run in a temporary folder.
    for name in ("menubar", "traymin", "source"):
        if getattr(args, name):
            setattr(args, name, os.path.abspath(getattr(args, name)))
    if args.mode == "startup":
        startup(args)
    else:
        if not args.traymin:
            parser.error("footprint needs --traymin")
        footprint(args)


if __name__ == "__main__":
    main()
