#!/usr/bin/env python3
"""Benchmarks of the whole service under Wine, timed from the client side.

    bench/run.py <benchmark> [options]        (after a build: scripts/build.sh)

Benchmarks (bench/README.md says what each measures):
    modules      registration and one check at 10, 100 and 1000 modules,
                 memory of the service at each size
    roundtrip    CheckUpdates -> OnNoUpdates with one module
    download     throughput of curl, a bare WinHTTP program, a bare BITS job
                 and the service, same file, same server, interleaved
    fanout       OnDownload reaching 1, 10 and 100 watching clients
    idle         CPU time and memory of the idle service over 2 minutes
    activation   cold (service stopped) and warm CoCreateInstance, at --sizes modules

Every benchmark prints a small table with medians of --runs runs (at least
3), the ratios measured in the same run and the machine's load average; the
raw figures go to build/bench/<benchmark>-<time>.csv. Nothing here asserts
a time: these are measurements, not tests.

The benchmarks install the service of the build tree as the Windows service
"ZELUpdate" in the build tree's own Wine prefix (build/bench/svc) and run the
reference update server on 127.0.0.1; do not run them while the tests of
the same build tree run.
"""

import argparse
import csv
import os
import shutil
import statistics
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


# Debian's own Python has python3-cryptography, which the server's signing needs.
PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable


def median(values):
    """Median of the runs that gave a figure (a failed run gives NaN)."""
    values = [v for v in values if v is not None and v == v]
    return statistics.median(values) if values else float("nan")


def load():
    return "%.2f %.2f %.2f" % os.getloadavg()


class Wine:
    """The build tree's Wine session (scripts/wine-session.sh) and commands in it."""

    def __init__(self, build):
        self.build = build
        self.session("start")
        self.env = dict(os.environ)
        self.env.update({
            "WINEPREFIX": os.path.join(build, "wineprefix"),
            "WINEDEBUG": "-all",
            "LANG": "ru_RU.UTF-8",
            "LC_ALL": "ru_RU.UTF-8",
            "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d",
        })
        self.read_display()

    def session(self, what):
        subprocess.run([os.path.join(ROOT, "scripts", "wine-session.sh"), self.build, what], check=True,
                       stdin=subprocess.DEVNULL)

    def read_display(self):
        display = os.path.join(self.build, "wine-state", "display")
        if os.path.exists(display):
            self.env["DISPLAY"] = open(display).read().strip()

    def restart(self):
        """A new Wine session: the services start afresh (an installed
        auto-start service among them)."""
        self.session("stop")
        self.session("start")
        self.read_display()

    def run(self, args, timeout=120, check=False):
        """Runs a Windows program; returns (exit code, UTF-8 output)."""
        try:
            p = subprocess.run(["timeout", "-k", "10", str(timeout), "wine"] + args, env=self.env,
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               timeout=timeout + 30)
        except subprocess.TimeoutExpired:
            return 124, ""
        out = p.stdout.decode("utf-8", "replace")
        if check and p.returncode != 0:
            raise RuntimeError("wine %s failed (%d): %s" % (" ".join(args), p.returncode, out))
        return p.returncode, out

    def start(self, args):
        return subprocess.Popen(["wine"] + args, env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT)

    @staticmethod
    def path(linux_path):
        return "Z:" + os.path.abspath(linux_path).replace("/", "\\")


def parse_watch(output):
    """zelctl watch --timestamps output: list of (ms, text)."""
    lines = []
    for line in output.splitlines():
        stamp, _, text = line.partition(" ")
        try:
            lines.append((float(stamp), text.strip()))
        except ValueError:
            pass
    return lines


def first(lines, prefix):
    for ms, text in lines:
        if text.startswith(prefix):
            return ms
    return None


class Bench:
    """The service installed in build/bench/svc and the reference update server."""

    def __init__(self, build, wine):
        self.build = build
        self.wine = wine
        self.dir = os.path.join(build, "bench")
        self.svc = os.path.join(self.dir, "svc")
        self.catalogue = os.path.join(self.dir, "catalogue")
        self.bin = os.path.join(build, "bin")
        self.server = None
        os.makedirs(self.catalogue, exist_ok=True)
        # The service's own module is asked about at every check.
        os.makedirs(os.path.join(self.catalogue, "ZELUPDATE"), exist_ok=True)

    def start_server(self):
        port_file = os.path.join(self.dir, "server.port")
        if os.path.exists(port_file):
            os.remove(port_file)
        # The server signs every answer; the service checks the signature
        # only when its .config names the key (signed figures).
        key = os.path.join(self.dir, "answer.pem")
        self.update_key = subprocess.run([PYTHON, os.path.join(ROOT, "tools", "zelkeys.py"), "newkey", key],
                                         check=True, capture_output=True, text=True).stdout.strip()
        self.server = subprocess.Popen(
            [PYTHON, os.path.join(ROOT, "tools", "updateserver.py"), "--catalogue", self.catalogue,
             "--port-file", port_file, "--log", os.path.join(self.dir, "server.log"), "--signing-key", key],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(100):
            if os.path.exists(port_file):
                self.port = int(open(port_file).read())
                return
            time.sleep(0.1)
        raise RuntimeError("the update server did not start")

    def install(self):
        self.stop()
        if os.path.exists(os.path.join(self.svc, "ZELService.exe")):
            self.wine.run([os.path.join(self.svc, "ZELService.exe"), "/uninstall"])
        shutil.rmtree(self.svc, ignore_errors=True)
        os.makedirs(self.svc)
        shutil.copy(os.path.join(self.bin, "ZELService.exe"), self.svc)
        self.write_config(signed=False)
        self.wine.run([os.path.join(self.svc, "ZELService.exe"), "/install"], check=True)

    def write_config(self, signed):
        """The service's settings; signed: the server's key is trusted."""
        with open(os.path.join(self.svc, ".config"), "wb") as f:
            f.write(("URL=http://127.0.0.1:%d/\r\n" % self.port).encode())
            if signed:
                f.write(("UpdateKeys=%s\r\n" % self.update_key).encode())

    def uninstall(self):
        self.stop()
        self.wine.run([os.path.join(self.svc, "ZELService.exe"), "/uninstall"])
        if self.server:
            self.server.terminate()
            self.server.wait()

    def start(self):
        self.wine.run(["net", "start", "ZELUpdate"], timeout=120)

    def stop(self):
        self.wine.run(["net", "stop", "ZELUpdate"], timeout=300)
        # The process may still be ending when the stopped state is reported.
        for _ in range(120):
            if not self.service_pid():
                break
            time.sleep(0.5)

    def reset(self, keep_files=False):
        """Stopped service, no BITS jobs (BITS forgets them when it stops),
        an empty store unless asked to keep it."""
        self.stop()
        # BITS forgets its jobs with the Wine session. (Stopping BITS alone
        # leaves Wine's BITS unreliable: it then ends with every client.)
        self.wine.restart()
        if not keep_files:
            shutil.rmtree(os.path.join(self.svc, "Files"), ignore_errors=True)

    def service_pid(self):
        """Linux process id of the running ZELService.exe of this prefix."""
        prefix = self.wine.env["WINEPREFIX"].encode()
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                cmdline = open("/proc/%s/cmdline" % entry, "rb").read()
                if b"ZELService.exe" not in cmdline or b"/Service" not in cmdline.replace(b"\\", b"/"):
                    continue
                environ = open("/proc/%s/environ" % entry, "rb").read()
                if b"WINEPREFIX=" + prefix + b"\0" in environ:
                    return int(entry)
            except OSError:
                continue
        return None

    def rss_kb(self):
        pid = self.service_pid()
        if not pid:
            return None
        for line in open("/proc/%d/status" % pid):
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
        return None

    def cpu_seconds(self):
        pid = self.service_pid()
        if not pid:
            return None
        fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def zelctl(self, args, timeout):
        return self.wine.run([os.path.join(self.bin, "zelctl.exe")] + args, timeout=timeout)

    def watch(self, args, timeout):
        code, out = self.zelctl(["watch", "--timestamps"] + args, timeout)
        return code, parse_watch(out), out


class Results:
    def __init__(self, build, name):
        self.path = os.path.join(build, "bench", "%s-%s.csv" % (name, time.strftime("%Y%m%d-%H%M%S")))
        os.makedirs(os.path.dirname(self.path), exist_ok=True)
        self.file = open(self.path, "w", newline="")
        self.csv = csv.writer(self.file)
        self.csv.writerow(["benchmark", "item", "run", "value", "unit", "load1"])

    def add(self, benchmark, item, run, value, unit):
        self.csv.writerow([benchmark, item, run, "" if value is None else "%.1f" % value, unit,
                           "%.2f" % os.getloadavg()[0]])
        self.file.flush()


def table(title, header, rows):
    print()
    print("%s (load average %s)" % (title, load()))
    widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]
    print("| " + " | ".join(str(h).ljust(w) for h, w in zip(header, widths)) + " |")
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for r in rows:
        print("| " + " | ".join(str(c).ljust(w) for c, w in zip(r, widths)) + " |")


def fmt(value, digits=0):
    if value is None or value != value:
        return "-"
    return ("%." + str(digits) + "f") % value


# ---------------------------------------------------------------- modules

def module_names(count):
    return ["BM%04d" % i for i in range(1, count + 1)]


def bench_modules(bench, results, args):
    sizes = [int(s) for s in args.sizes.split(",")]
    for name in module_names(max(sizes)):
        os.makedirs(os.path.join(bench.catalogue, name), exist_ok=True)
    rows = []
    per = {}
    for run in range(1, args.runs + 1):
        for n in sizes:
            bench.reset()
            bench.start()
            # A first check warms the service up (HTTP session, store) and
            # shows that it is ready.
            code, _, out = bench.watch(["--name", "bench", "--mask", "2", "--check", "--exit-on", "OnNoUpdates",
                                        "--seconds", "60"], 120)
            if code != 0:
                print("run %d: the service did not answer a first check (%d): %s" % (run, code, out.strip()),
                      flush=True)
            modules = os.path.join(bench.dir, "modules-%d.txt" % n)
            with open(modules, "w", encoding="utf-8") as f:
                for name in module_names(n):
                    f.write("%s=1.0.0.0\n" % name)
            # Advise with N modules, then CheckUpdates: the scheduler takes
            # the registrations first and then runs the check.
            code, lines, out = bench.watch(["--name", "bench", "--mask", "2", "--modules-file", Wine.path(modules),
                                            "--check", "--exit-on", "OnNoUpdates", "--seconds", str(args.limit)],
                                           args.limit + 60)
            advising, advised, done = first(lines, "Advising"), first(lines, "Advised"), first(lines, "OnNoUpdates")
            total = done - advising if done and advising else None
            rss = bench.rss_kb()
            # The check alone, with every module registered, once with the
            # answer taken as it is and once with its signature verified:
            # each after a new start of the service with that setting (BITS
            # keeps the jobs), so that both are measured alike.
            check = signed = None
            for trusted in () if args.calls else (False, True):
                bench.write_config(signed=trusted)
                bench.stop()
                bench.start()
                timed = timed_check(bench, args)
                if trusted:
                    signed = timed
                else:
                    check = timed
            bench.write_config(signed=False)
            register = total - check if total is not None and check is not None else None
            if total is None:
                # How far the registration came: the live jobs of the account.
                _, text = bench.wine.run([os.path.join(bench.bin, "benchtool.exe"), "jobs", "walk", "--block",
                                          "64"], 600)
                print("run %d, %d modules: not finished within %d s; BITS: %s" % (run, n, args.limit, text.strip()),
                      flush=True)
            calls = timed_calls(bench, run, n) if total is not None else {}
            item = per.setdefault(n, {"register": [], "check": [], "signed": [], "advise": [], "rss": [],
                                      "GetVersion": [], "GetState": [], "CheckModule": [], "from the store": [],
                                      "GetState ratio": [], "CheckModule ratio": []})
            for method in ("GetVersion", "GetState", "CheckModule", "from the store"):
                item[method].append(calls.get(method, float("nan")))
                results.add("modules", "%s %d" % (method, n), run, calls.get(method), "ms")
            for method in ("GetState", "CheckModule"):
                base_ms = item["GetVersion"][-1]
                item[method + " ratio"].append(item[method][-1] / base_ms if base_ms > 0 else float("nan"))
            item["register"].append(register if register is not None else float("nan"))
            item["check"].append(check if check is not None else float("nan"))
            item["signed"].append(signed if signed is not None else float("nan"))
            item["advise"].append(advised - advising if advised and advising else float("nan"))
            item["rss"].append(rss / 1024 if rss else float("nan"))
            results.add("modules", "register %d" % n, run, register, "ms")
            results.add("modules", "advise %d" % n, run, item["advise"][-1], "ms")
            results.add("modules", "check %d" % n, run, check, "ms")
            results.add("modules", "signed check %d" % n, run, signed, "ms")
            results.add("modules", "rss %d" % n, run, item["rss"][-1], "MB")
            # With --calls no check is timed alone: the registration is shown with its check.
            shown = ("registration and check %s ms" % fmt(total) if args.calls else
                     "registration %s ms" % fmt(register))
            print("run %d, %d modules: %s (Advise %s ms), check %s ms, signed %s ms, RSS %s MB, "
                  "load %s%s" % (
                run, n, shown, fmt(item["advise"][-1]), fmt(check), fmt(signed), fmt(item["rss"][-1], 1),
                load(),
                "" if total is not None else " (no OnNoUpdates within %d s)" % args.limit), flush=True)
    base = sizes[0]
    table("Job look-ups beside GetVersion (one connection, round trips), medians of %d runs" % args.runs,
          ["modules", "GetVersion ms", "GetState ms", "GetState / GetVersion", "CheckModule ms",
           "CheckModule / GetVersion", "CheckModule from the store alone ms"],
          [[n, fmt(median(per[n]["GetVersion"]), 2), fmt(median(per[n]["GetState"]), 2),
            fmt(median(per[n]["GetState ratio"]), 1), fmt(median(per[n]["CheckModule"]), 2),
            fmt(median(per[n]["CheckModule ratio"]), 1), fmt(median(per[n]["from the store"]), 2)]
           for n in sizes])
    if args.calls:
        return
    for n in sizes:
        reg, chk, sig = median(per[n]["register"]), median(per[n]["check"]), median(per[n]["signed"])
        rows.append([n, fmt(reg), fmt(reg / n, 2), fmt(chk), fmt(chk / n, 2), fmt(sig), fmt(sig / chk, 3),
                     fmt(median(per[n]["advise"])),
                     fmt(median(per[n]["rss"]), 1),
                     fmt(reg / median(per[base]["register"]) / (n / base), 2),
                     fmt(chk / median(per[base]["check"]) / (n / base), 2)])
    table("Registration and check, medians of %d runs" % args.runs,
          ["modules", "registration ms", "ms/module", "check ms", "ms/module", "signed check ms",
           "signed / unsigned", "of it Advise ms", "RSS MB",
           "registration growth / linear", "check growth / linear"], rows)


def timed_calls(bench, run, n):
    """Medians (ms) of five round trips each of GetVersion, GetState and
    CheckModule of the first module registered, on one connection."""
    module = module_names(1)[0]
    # An installer that is not newer than the version asked about takes
    # CheckModule past the store to the module's job ("no newer version").
    stored = os.path.join(bench.svc, "Files", module)
    os.makedirs(stored, exist_ok=True)
    installer = os.path.join(stored, "benchcalls.exe")
    shutil.copy(os.path.join(bench.bin, "zelctl.exe"), installer)
    times = {}
    # Then with an older version asked about: CheckModule answers S_OK from
    # the store without asking about the job, which shows the store's share.
    for version, checked, answer in (("99.0.0.0", "CheckModule", "S_FALSE"), ("0.0.0.1", "from the store", "S_OK")):
        code, out = bench.zelctl(["calls", module, version, "5"], 600)
        if code != 0:
            print("run %d, %d modules: zelctl calls failed (%d): %s" % (run, n, code, out.strip()), flush=True)
        for line in out.splitlines():
            words = line.split()
            if len(words) < 3 or words[0] not in ("GetVersion", "GetState", "CheckModule"):
                continue
            if words[0] == "CheckModule" or version == "99.0.0.0":
                times.setdefault(checked if words[0] == "CheckModule" else words[0], []).append(float(words[1]))
            expected = answer if words[0] == "CheckModule" else "S_OK"
            if not words[2].startswith(expected):
                print("run %d, %d modules: %s answered %s" % (run, n, words[0], " ".join(words[2:])), flush=True)
    os.remove(installer)
    calls = {method: median(values) for method, values in times.items()}
    print("run %d, %d modules: GetVersion %s ms, GetState %s ms, CheckModule %s ms (from the store %s ms), load %s" % (
        run, n, fmt(calls.get("GetVersion"), 2), fmt(calls.get("GetState"), 2), fmt(calls.get("CheckModule"), 2),
        fmt(calls.get("from the store"), 2), load()), flush=True)
    return calls


def timed_check(bench, args):
    """Median of three CheckUpdates -> OnNoUpdates times, ms; None when none came."""
    checks = []
    for _ in range(3):
        code, lines, _ = bench.watch(["--name", "bench", "--mask", "2", "--check", "--exit-on",
                                      "OnNoUpdates", "--seconds", str(args.limit)], args.limit + 60)
        c0, c1 = first(lines, "Checking"), first(lines, "OnNoUpdates")
        if c0 and c1:
            checks.append(c1 - c0)
    return median(checks) if checks else None


# ---------------------------------------------------------------- roundtrip

def bench_roundtrip(bench, results, args):
    os.makedirs(os.path.join(bench.catalogue, "BM0001"), exist_ok=True)
    bench.reset()
    bench.start()
    bench.watch(["--modules", "BM0001=1.0.0.0", "--mask", "2", "--check", "--exit-on", "OnNoUpdates",
                 "--seconds", "60"], 120)
    times = []
    for run in range(1, max(args.runs, 5) + 1):
        _, lines, _ = bench.watch(["--mask", "2", "--check", "--exit-on", "OnNoUpdates", "--seconds", "60"], 120)
        c0, c1 = first(lines, "Checking"), first(lines, "OnNoUpdates")
        value = c1 - c0 if c0 and c1 else None
        times.append(value if value is not None else float("nan"))
        results.add("roundtrip", "CheckUpdates->OnNoUpdates", run, value, "ms")
    table("CheckUpdates -> OnNoUpdates, one module, median of %d" % len(times), ["round trip ms", "min", "max"],
          [[fmt(median(times)), fmt(min(times)), fmt(max(times))]])


# ---------------------------------------------------------------- download

def make_payload(path, megabytes, program):
    """A version-stamped program padded to the size: the service reads the
    version of what it downloaded, BITS and curl only copy bytes."""
    if os.path.exists(path) and os.path.getsize(path) == megabytes << 20:
        return
    with open(path, "wb") as out:
        head = open(program, "rb").read()
        out.write(head)
        remaining = (megabytes << 20) - len(head)
        block = os.urandom(1 << 20)
        while remaining > 0:
            out.write(block[:min(remaining, len(block))])
            remaining -= len(block)


def bench_download(bench, results, args):
    module = "BENCHDL"
    version_dir = os.path.join(bench.catalogue, module, "2.0.0.0")
    os.makedirs(version_dir, exist_ok=True)
    payload = os.path.join(version_dir, "payload.exe")
    make_payload(payload, args.megabytes, os.path.join(bench.bin, "zelctl.exe"))
    size = os.path.getsize(payload)
    url = "http://127.0.0.1:%d/files/%s/2.0.0.0/payload.exe" % (bench.port, module)
    target = os.path.join(bench.dir, "dl")
    os.makedirs(target, exist_ok=True)
    bench.reset()
    bench.start()
    speeds = {"curl": [], "WinHTTP": [], "BITS job": [], "service": []}

    def timed(method, run, ms):
        mbs = size / (1 << 20) / (ms / 1000.0) if ms else None
        speeds[method].append(mbs if mbs else float("nan"))
        results.add("download", method, run, mbs, "MB/s")
        print("run %d %-8s %s ms, %s MB/s, load %s" % (run, method, fmt(ms), fmt(mbs, 1), load()), flush=True)

    for run in range(1, args.runs + 1):
        out = os.path.join(target, "curl.bin")
        t0 = time.monotonic()
        subprocess.run(["curl", "-s", "-o", out, url], check=True)
        timed("curl", run, (time.monotonic() - t0) * 1000)
        for method in ("winhttp", "bits"):
            out = os.path.join(target, method + ".bin")
            if os.path.exists(out):
                os.remove(out)
            _, text = bench.wine.run([os.path.join(bench.bin, "benchtool.exe"), method, url, Wine.path(out)], 600)
            ms = None
            for word in text.split():
                if word.startswith("ms="):
                    ms = float(word[3:])
            timed("WinHTTP" if method == "winhttp" else "BITS job", run, ms)
        # The files go, the module's directory stays: without it the service
        # would drop the module.
        stored = os.path.join(bench.svc, "Files", module)
        for name in os.listdir(stored) if os.path.isdir(stored) else []:
            os.remove(os.path.join(stored, name))
        _, lines, _ = bench.watch(["--modules", module + "=1.0.0.0", "--mask", "8", "--check", "--exit-on",
                                   "OnDownload", "--seconds", "600"], 660)
        c0, c1 = first(lines, "Checking"), first(lines, "OnDownload")
        timed("service", run, c1 - c0 if c0 and c1 else None)
    rows = []
    bits = median(speeds["BITS job"])
    for method, values in speeds.items():
        rows.append([method, fmt(median(values), 1), fmt(median(values) / bits, 2)])
    table("Download of %d MB, medians of %d interleaved runs" % (size >> 20, args.runs),
          ["program", "MB/s", "ratio to the bare BITS job"], rows)


# ---------------------------------------------------------------- fanout

class Watcher:
    """A zelctl watch process whose output lines are collected as they come."""

    def __init__(self, bench, args):
        self.lines = []
        self.errors = []
        self.process = bench.wine.start([os.path.join(bench.bin, "zelctl.exe"), "watch", "--timestamps"] + args)
        self.thread = threading.Thread(target=self.read, daemon=True)
        self.thread.start()

    def read(self):
        for raw in self.process.stdout:
            text = raw.decode("utf-8", "replace")
            self.lines.extend(parse_watch(text))
            if text.startswith("zelctl:"):
                self.errors.append(text.strip())

    def wait(self, timeout):
        try:
            self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.thread.join(10)


def bench_fanout(bench, results, args):
    module = "FANOUT"
    rows = []
    for clients in [int(c) for c in args.clients.split(",")]:
        spreads = []
        for run in range(1, args.runs + 1):
            # The server offers nothing until every watcher is advised.
            shutil.rmtree(os.path.join(bench.catalogue, module), ignore_errors=True)
            os.makedirs(os.path.join(bench.catalogue, module))
            bench.reset()
            bench.start()
            watchers = [Watcher(bench, ["--name", "fan%d" % i, "--modules", module + "=1.0.0.0", "--mask", "8",
                                        "--exit-on", "OnDownload", "--seconds", "180"]) for i in range(clients)]
            deadline = time.monotonic() + 300
            while time.monotonic() < deadline and not all(first(w.lines, "Advised") or w.process.poll() is not None
                                                          for w in watchers):
                time.sleep(0.5)
            advised = [w for w in watchers if first(w.lines, "Advised")]
            failed = [w.errors[0] for w in watchers if w.errors]
            if len(advised) < clients:
                print("run %d: %d of %d clients advised%s" % (run, len(advised), clients,
                                                               "; first error: " + failed[0] if failed else ""),
                      flush=True)
            version_dir = os.path.join(bench.catalogue, module, "2.0.0.0")
            os.makedirs(version_dir)
            shutil.copy(os.path.join(bench.bin, "zelctl.exe"), os.path.join(version_dir, "fanout.exe"))
            time.sleep(6)  # the check that follows the last registration has passed
            bench.zelctl(["check"], 60)
            times = []
            for w in watchers:
                w.wait(240)
                t = first(w.lines, "OnDownload")
                if t:
                    times.append(t)
            # Over the clients that got the event; the line above says how many.
            spread = max(times) - min(times) if len(times) > 1 else (0.0 if times else None)
            spreads.append(spread if spread is not None else float("nan"))
            results.add("fanout", "spread %d" % clients, run, spread, "ms")
            print("run %d, %d clients: %d of %d advised got OnDownload, the last %s ms after the first, load %s" % (
                run, clients, len(times), len(advised), fmt(spread), load()), flush=True)
        m = median(spreads)
        rows.append([clients, fmt(m), fmt(m / (clients - 1), 1) if clients > 1 else "-"])
    table("OnDownload fan-out, medians of %d runs" % args.runs,
          ["watching clients", "last after first ms", "ms per further client"], rows)


# ---------------------------------------------------------------- idle

def bench_idle(bench, results, args):
    bench.reset()
    bench.start()
    register_modules(bench, 10)
    time.sleep(10)
    cpu0, rss0 = bench.cpu_seconds(), bench.rss_kb()
    t0 = time.monotonic()
    samples = []
    while time.monotonic() - t0 < args.seconds:
        time.sleep(10)
        samples.append(bench.rss_kb())
    cpu1, rss1 = bench.cpu_seconds(), bench.rss_kb()
    used = (cpu1 - cpu0) if cpu0 is not None and cpu1 is not None else None
    results.add("idle", "cpu seconds", 1, used, "s")
    results.add("idle", "rss start", 1, rss0 / 1024 if rss0 else None, "MB")
    results.add("idle", "rss end", 1, rss1 / 1024 if rss1 else None, "MB")
    table("Idle service with 10 modules over %d s" % args.seconds,
          ["CPU s", "CPU %", "RSS at start MB", "RSS at end MB", "RSS max MB"],
          [[fmt(used, 2), fmt(100.0 * used / args.seconds, 3) if used is not None else "-",
            fmt(rss0 / 1024 if rss0 else None, 1), fmt(rss1 / 1024 if rss1 else None, 1),
            fmt(max(s for s in samples if s) / 1024 if any(samples) else None, 1)]])


# ---------------------------------------------------------------- activation

def register_modules(bench, n, limit=600):
    """Registers n catalogue modules (all current) through one client."""
    for name in module_names(n):
        os.makedirs(os.path.join(bench.catalogue, name), exist_ok=True)
    modules = os.path.join(bench.dir, "modules-%d.txt" % n)
    with open(modules, "w", encoding="utf-8") as f:
        for name in module_names(n):
            f.write("%s=1.0.0.0\n" % name)
    bench.watch(["--name", "bench", "--mask", "2", "--modules-file", Wine.path(modules), "--check", "--exit-on",
                 "OnNoUpdates", "--seconds", str(limit)], limit + 60)


def bench_activation(bench, results, args):
    rows = []
    for n in [int(s) for s in args.sizes.split(",")]:
        bench.reset()
        bench.start()
        register_modules(bench, n)
        cold, warm = [], []
        for run in range(1, args.runs + 1):
            bench.stop()
            time.sleep(1)
            for kind, store in (("cold", cold), ("warm", warm)):
                _, lines, _ = bench.watch(["--mask", "0", "--seconds", "1"], 120)
                c0, c1 = first(lines, "Connecting"), first(lines, "Connected")
                value = c1 - c0 if c0 and c1 else None
                store.append(value if value is not None else float("nan"))
                results.add("activation", "%s %d" % (kind, n), run, value, "ms")
                print("run %d, %d modules, %s: %s ms, load %s" % (run, n, kind, fmt(value), load()), flush=True)
        rows.append([n, fmt(median(cold)), fmt(median(warm)), fmt(median(cold) / median(warm), 1)])
    table("Activation: CoCreateInstance of ZELUpdate.ZELUpdateServer, medians of %d runs" % args.runs,
          ["modules", "cold ms (service stopped)", "warm ms (service running)", "cold / warm"], rows)


BENCHMARKS = {
    "modules": bench_modules,
    "roundtrip": bench_roundtrip,
    "download": bench_download,
    "fanout": bench_fanout,
    "idle": bench_idle,
    "activation": bench_activation,
}


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("benchmark", choices=sorted(BENCHMARKS) + ["all"])
    p.add_argument("--build", default=os.path.join(ROOT, "build"), help="build tree (default: build/)")
    p.add_argument("--runs", type=int, default=3, help="runs per figure (at least 3)")
    p.add_argument("--sizes", default="10,100,1000", help="modules: numbers of modules")
    p.add_argument("--limit", type=int, default=600,
                   help="modules: seconds one registration may take before it counts as not finished")
    p.add_argument("--calls", action="store_true",
                   help="modules: only the registration and the job look-ups beside GetVersion (no timed checks)")
    p.add_argument("--megabytes", type=int, default=100, help="download: size of the file")
    p.add_argument("--clients", default="1,10,100", help="fanout: numbers of watching clients")
    p.add_argument("--seconds", type=int, default=120, help="idle: length of the observation")
    args = p.parse_args()
    if args.runs < 3:
        print("bench: fewer than 3 runs: the figures are no medians", flush=True)
    build = os.path.abspath(args.build)
    for program in ("ZELService.exe", "zelctl.exe", "benchtool.exe"):
        if not os.path.exists(os.path.join(build, "bin", program)):
            sys.exit("bench: %s is missing: build first (bash scripts/build.sh)" % program)
    if args.benchmark in ("download", "all") and not shutil.which("curl"):
        sys.exit("bench: the download benchmark needs curl on the Linux side (apt-get install curl)")
    wine = Wine(build)
    bench = Bench(build, wine)
    names = sorted(BENCHMARKS) if args.benchmark == "all" else [args.benchmark]
    results = Results(build, args.benchmark)
    print("bench: %s, load average %s, raw figures in %s" % (", ".join(names), load(), results.path), flush=True)
    bench.start_server()
    try:
        bench.install()
        for name in names:
            BENCHMARKS[name](bench, results, args)
    finally:
        bench.uninstall()
    print("\nraw figures: %s" % results.path)


if __name__ == "__main__":
    main()
