#!/usr/bin/env python3
"""End-to-end benchmark: Tidewell (client A -> tidewell-server -> client B)
against rsync (daemon on loopback, A pushes, B pulls) and Syncthing (two
instances on loopback), in one run, on the data sets of bench/e2e/datasets.py.
Prints one table; --json FILE also writes every figure.

Measured for each tool:
  edit   (the two that watch) a 4 KiB file of set 3 rewritten in A: seconds
         until B's copy is equal, five times.
  set 1  1,000 files (about 124 MiB): seconds from the start of creation in A
         and from the last write in A until B holds every file with equal
         content; bytes on the wire.
  set 3  10,000 files of 4 KiB: files per second from the start of creation.
  set 2  a 1-byte edit in a 256 MiB file: seconds from the edit until B's
         copy is equal; bytes on the wire (both directions, until settled).
and for Tidewell alone:
  idle   a session of N files (default 100,000): the daemon's CPU over 60 s
         (per-second samples, so spikes show) and its resident memory.
  latency  in that session, an edit in A until its upload is on the wire,
         and until it lands in B (a server-side change reaching a client);
         and, without the daemon, the engine's own puller and workers
         (e2e_pull_latency): a change acknowledged by the server until it is
         in a client's folder.

Completion is seen by polling B's folder (every 50 ms, or three times as
long as one look took, whichever is longer, so that the looking takes at
most a quarter of a core from the tools); the moment recorded is the poll
that first saw every file at its size, provided the full content comparison
that follows passes.
"""

import argparse
import datetime
import filecmp
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import datasets  # noqa: E402
from tools import Rsync, Syncthing, Tidewell, await_true, now  # noqa: E402

# Folders and files that belong to a tool, not to the data.
TOOL_DIRS = {".VeltronaWorkingDirectory", ".stfolder", ".stversions"}


def listing(root):
    out = {}
    stack = [""]
    while stack:
        rel = stack.pop()
        try:
            entries = list(os.scandir(os.path.join(root, rel)))
        except FileNotFoundError:
            continue
        for e in entries:
            r = rel + "/" + e.name if rel else e.name
            if e.is_dir(follow_symlinks=False):
                if e.name not in TOOL_DIRS:
                    stack.append(r)
            elif not e.name.startswith((".syncthing.", "~syncthing~")):
                try:
                    out[r] = e.stat(follow_symlinks=False).st_size
                except FileNotFoundError:
                    pass
    return out


def same_content(a, b, names):
    return all(filecmp.cmp(os.path.join(a, n), os.path.join(b, n), shallow=False) for n in names)


def await_copy(a, b, manifest, deadline_s):
    """The monotonic time at which B first held every file of `manifest`
    with A's content."""
    end = now() + deadline_s
    while True:
        t0 = now()
        if listing(b) == manifest:
            if same_content(a, b, manifest):
                return t0
        if now() > end:
            got = listing(b)
            raise TimeoutError("B holds %d of %d files after %.0f s" %
                               (sum(1 for k in manifest if got.get(k) == manifest[k]), len(manifest), deadline_s))
        # A look at 10,000 files takes tens of milliseconds of a core the
        # tools under test share: look at most a quarter of the time.
        time.sleep(max(0.05, 3 * (now() - t0)))


def await_file(a, b, before, deadline_s):
    """The time at which B's file, changed from stat `before`, equals A's."""
    end = now() + deadline_s
    last = None
    while True:
        t0 = now()
        try:
            st = os.stat(b)
            sig = (st.st_ino, st.st_mtime_ns, st.st_size)
        except FileNotFoundError:
            sig = None
        if sig is not None and sig != before and sig != last:
            last = sig
            if filecmp.cmp(a, b, shallow=False):
                return t0
        if now() > end:
            raise TimeoutError("B's copy not equal after %.0f s" % deadline_s)
        time.sleep(0.02)


def stat_sig(path):
    st = os.stat(path)
    return (st.st_ino, st.st_mtime_ns, st.st_size)


def measure_files(tool, s, writer, deadline_s):
    tool.prepare(s)
    tool.reset_bytes()
    t0 = now()
    manifest = writer(tool.a(s))
    t_last = now()
    tool.kick(s)
    t_done = await_copy(tool.a(s), tool.b(s), manifest, deadline_s)
    up, down = tool.wire_bytes()
    tool.settle(s)
    return {"files": len(manifest), "bytes": sum(manifest.values()), "create_s": t_last - t0,
            "from_start_s": t_done - t0, "from_last_write_s": t_done - t_last,
            "files_per_s": len(manifest) / (t_done - t0), "wire_up": up, "wire_down": down}


def measure_edit(tool, mib, deadline_s):
    s = "ds2"
    tool.prepare(s)
    a = os.path.join(tool.a(s), "big.bin")
    b = os.path.join(tool.b(s), "big.bin")
    manifest = datasets.write_big(a, mib)
    t_first = now()
    tool.kick(s)
    await_copy(tool.a(s), tool.b(s), manifest, deadline_s)
    first_sync = now() - t_first
    tool.settle(s)
    before = stat_sig(b)
    # rsync's quick check compares whole seconds of modification time: an
    # edit in the second the file was written would go unseen. A user's
    # edit comes later; so does this one (only small test sizes wait).
    # File times come from the kernel's coarse clock, a few milliseconds
    # behind time.time(): a tenth of a second of margin.
    written = int(os.stat(a).st_mtime)
    await_true("a second to pass since the file was written", lambda: time.time() >= written + 1.1, 5, 0.01)
    tool.reset_bytes()
    t0 = now()
    datasets.edit_one_byte(a, (mib << 19) + 12345)
    tool.kick(s)
    t_done = await_file(a, b, before, deadline_s)
    at_done = tool.wire_bytes()
    tool.settle(s)
    settled = tool.wire_bytes()
    return {"mib": mib, "first_sync_s": first_sync, "edit_s": t_done - t0, "wire_at_done": sum(at_done),
            "wire_up": settled[0], "wire_down": settled[1], "wire_total": sum(settled)}


def measure_small_edit(tool, s, manifest, deadline_s, runs=5):
    """One small file rewritten in A, `runs` times: seconds until B's copy
    is equal (for the tools that watch: detection, transfer and applying)."""
    rel = sorted(manifest)[len(manifest) // 2]
    out = []
    for run in range(runs):
        tool.settle(s)
        a = os.path.join(tool.a(s), rel)
        b = os.path.join(tool.b(s), rel)
        before = stat_sig(b)
        t0 = now()
        with open(a, "wb") as f:
            f.write(os.urandom(4096))
        tool.kick(s)
        out.append(await_file(a, b, before, deadline_s) - t0)
    return out


def measure_pull_latency(build, samples):
    """The engine's server-to-client latency (e2e_pull_latency): seconds
    from a change acknowledged by the server to its content in a client's
    folder, through the real puller with its 5 s up-to-date sleep."""
    prog = os.path.join(build, "bench", "e2e_pull_latency")
    r = subprocess.run([prog, str(samples)], capture_output=True, text=True, timeout=60 * (samples + 2))
    if r.returncode != 0:
        raise RuntimeError("e2e_pull_latency failed: " + r.stderr[-500:])
    return [float(line.split()[2]) for line in r.stdout.splitlines() if line.startswith("sample ")]


def cpu_ticks(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime


def memory_kib(pid):
    out = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(("VmRSS:", "VmHWM:")):
                out[line.split(":")[0]] = int(line.split()[1])
    return out


def measure_idle(tool, files, seconds, deadline_s):
    """Idle cost of A's daemon with a session of `files` files, then the
    latencies of one edit in that session."""
    s = "idle"
    tool.prepare(s)
    t0 = now()
    manifest = datasets.write_small_tree(tool.a(s), files)
    await_copy(tool.a(s), tool.b(s), manifest, deadline_s)
    fill_s = now() - t0
    tool.settle(s)
    pid = tool.daemon_pid("a")
    hz = os.sysconf("SC_CLK_TCK")
    samples = []
    last = cpu_ticks(pid)
    start = now()
    for i in range(seconds):
        await_true("the next second", lambda: now() >= start + i + 1, 5, 0.01)
        cur = cpu_ticks(pid)
        samples.append((cur - last) / hz)
        last = cur
    mem = memory_kib(pid)
    result = {"files": files, "fill_s": fill_s, "seconds": seconds, "cpu_s": sum(samples),
              "cpu_pct": 100.0 * sum(samples) / seconds, "peak_second_cpu_pct": 100.0 * max(samples),
              "rss_mib": mem.get("VmRSS", 0) / 1024.0, "hwm_mib": mem.get("VmHWM", 0) / 1024.0}
    result.update(measure_latency(tool, s, manifest, deadline_s))
    return result


def measure_latency(tool, s, manifest, deadline_s, runs=5):
    """An edit of one file (4 KiB of new content) in A: seconds until 4 KiB
    more than before went to the server (the upload is under way) and
    until B's copy is equal (the server-side change reached B)."""
    rel = sorted(manifest)[len(manifest) // 2]
    up_s, land_s = [], []
    for run in range(runs):
        tool.settle(s)
        a = os.path.join(tool.a(s), rel)
        b = os.path.join(tool.b(s), rel)
        before = stat_sig(b)
        base_up = tool.wire_bytes()[0]
        t0 = now()
        with open(a, "wb") as f:
            f.write(os.urandom(4096))
        await_true("the upload to start", lambda: tool.wire_bytes()[0] >= base_up + 4096, deadline_s, 0.01)
        t_up = now()
        t_land = await_file(a, b, before, deadline_s)
        up_s.append(t_up - t0)
        land_s.append(t_land - t_up)
    return {"edit_to_upload_s": up_s, "upload_to_b_s": land_s}


def machine():
    cpu = "?"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    mem = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / (1 << 30)
    return "%d cores (%s), %.0f GiB, %s %s" % (os.cpu_count(), cpu, mem, platform.system(), platform.release())


def load():
    return "%.2f %.2f %.2f" % os.getloadavg()


def fmt_bytes(n):
    if n is None:
        return "-"
    if n >= 10 << 20:
        return "%.1f MB" % (n / 1e6)
    return "%.1f KB" % (n / 1e3)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", help="folder holding src/tidewell* and bench/e2e_forwarder", required=True)
    ap.add_argument("--tools", default="rsync,syncthing,tidewell")
    ap.add_argument("--sets", default="1,2,3,idle")
    ap.add_argument("--set1-files", type=int, default=1000)
    ap.add_argument("--set2-mib", type=int, default=256)
    ap.add_argument("--set3-files", type=int, default=10000)
    ap.add_argument("--idle-files", type=int, default=100000)
    ap.add_argument("--idle-seconds", type=int, default=60)
    ap.add_argument("--latency-samples", type=int, default=20,
                    help="samples of the engine's server-to-client latency (0: none)")
    ap.add_argument("--deadline", type=float, default=1800, help="seconds any one wait may take")
    ap.add_argument("--work", help="work folder (default: a new one under /tmp, removed afterwards)")
    ap.add_argument("--json", help="also write every figure to this file")
    args = ap.parse_args()

    build = os.path.abspath(args.build)
    fwd = os.path.join(build, "bench", "e2e_forwarder")
    bin_dir = os.path.join(build, "src")
    work = args.work or tempfile.mkdtemp(prefix="tidewell-e2e-")
    sets = args.sets.split(",")
    results = {"date": datetime.datetime.now().isoformat(timespec="seconds"), "machine": machine(),
               "load_before": load(), "tools": {}}
    print("machine: %s\ndate: %s\nload before: %s\nwork: %s" % (results["machine"], results["date"],
                                                               results["load_before"], work), flush=True)
    wanted = args.tools.split(",")
    folder_sets = ["ds1", "ds2", "ds3"] + (["idle"] if "idle" in sets else [])
    for name in wanted:
        tool = None
        res = results["tools"].setdefault(name, {})
        try:
            if name == "rsync":
                tool = Rsync(work, fwd)
            elif name == "syncthing":
                tool = Syncthing(work, fwd, folder_sets)
            elif name == "tidewell":
                tool = Tidewell(work, fwd, bin_dir, folder_sets)
            else:
                raise ValueError("unknown tool " + name)
            if "1" in sets:
                res["set1"] = measure_files(tool, "ds1", lambda r: datasets.write_set1(r, args.set1_files),
                                            args.deadline)
                res["set1"]["load"] = load()
                print(name, "set 1", res["set1"], flush=True)
            if "3" in sets:
                res["set3"] = measure_files(tool, "ds3", lambda r: datasets.write_set3(r, args.set3_files),
                                            args.deadline)
                res["set3"]["load"] = load()
                print(name, "set 3", res["set3"], flush=True)
            if "2" in sets:
                res["set2"] = measure_edit(tool, args.set2_mib, args.deadline)
                res["set2"]["load"] = load()
                print(name, "set 2", res["set2"], flush=True)
            if "3" in sets and name != "rsync":
                set3 = {n: 4096 for n in datasets.set3_names(args.set3_files)}
                res["small_edit_s"] = measure_small_edit(tool, "ds3", set3, args.deadline)
                print(name, "small edit", res["small_edit_s"], flush=True)
            if "idle" in sets and name == "tidewell":
                res["idle"] = measure_idle(tool, args.idle_files, args.idle_seconds, args.deadline)
                res["idle"]["load"] = load()
                print(name, "idle", res["idle"], flush=True)
        except Exception as e:  # one tool's failure must not hide the others' figures
            res["error"] = "%s: %s" % (type(e).__name__, e)
            traceback.print_exc()
        finally:
            if tool is not None:
                tool.close()
    if args.latency_samples > 0:
        res = results["tools"].setdefault("tidewell engine", {})
        try:
            res["pull_latency_s"] = measure_pull_latency(build, args.latency_samples)
            res["load"] = load()
        except Exception as e:
            res["error"] = "%s: %s" % (type(e).__name__, e)
    results["load_after"] = load()
    print_table(results)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=2)
    if not args.work:
        shutil.rmtree(work, ignore_errors=True)
    return 1 if any("error" in r for r in results["tools"].values()) else 0


def print_table(results):
    print()
    print("machine: %s; date: %s; load before %s, after %s" % (results["machine"], results["date"],
                                                             results["load_before"], results["load_after"]))
    print("| tool | set 1: from start / from last write | set 1 wire | set 3: files/s | set 2: edit time | "
          "set 2 wire (both ways) | load (1 min) |")
    print("|---|---|---|---|---|---|---|")
    for name, r in results["tools"].items():
        s1, s2, s3 = r.get("set1"), r.get("set2"), r.get("set3")
        if not (s1 or s2 or s3 or ("error" in r and name != "tidewell engine")):
            continue
        cells = [
            "%.2f s / %.2f s" % (s1["from_start_s"], s1["from_last_write_s"]) if s1 else "-",
            fmt_bytes(s1["wire_up"] + s1["wire_down"]) if s1 else "-",
            "%.0f" % s3["files_per_s"] if s3 else "-",
            "%.2f s" % s2["edit_s"] if s2 else "-",
            fmt_bytes(s2["wire_total"]) if s2 else "-",
            ", ".join(x["load"].split()[0] for x in (s1, s3, s2) if x),
        ]
        print("| %s | %s |" % (name, " | ".join(cells)))
        if "error" in r:
            print("|   %s failed: %s |" % (name, r["error"]))
    for name, r in results["tools"].items():
        if "small_edit_s" in r:
            print("%s: a 4 KiB file rewritten in A (set 3's folder) until B's copy is equal: median %.2f s (%s)" %
                  (name, statistics.median(r["small_edit_s"]), ", ".join("%.2f" % x for x in r["small_edit_s"])))
    e = results["tools"].get("tidewell engine", {})
    if "pull_latency_s" in e:
        x = sorted(e["pull_latency_s"])
        print("Tidewell engine (real puller and workers, server on loopback): a change acknowledged by the server "
              "until it is in the client's folder: median %.2f s, mean %.2f s, min %.2f s, max %.2f s over %d "
              "samples (load %s)" % (statistics.median(x), sum(x) / len(x), x[0], x[-1], len(x), e["load"]))
    elif "error" in e:
        print("Tidewell engine latency failed: " + e["error"])
    t = results["tools"].get("tidewell", {})
    if "idle" in t:
        i = t["idle"]
        print()
        print("Tidewell, session of %d files: idle CPU %.2f%% of a core over %d s (busiest second %.1f%%), "
              "RSS %.1f MiB (peak %.1f MiB)" % (i["files"], i["cpu_pct"], i["seconds"], i["peak_second_cpu_pct"],
                                                i["rss_mib"], i["hwm_mib"]))
        print("  edit until upload on the wire: median %.2f s (%s)" %
              (statistics.median(i["edit_to_upload_s"]), ", ".join("%.2f" % x for x in i["edit_to_upload_s"])))
        print("  upload until it lands on B:    median %.2f s (%s)" %
              (statistics.median(i["upload_to_b_s"]), ", ".join("%.2f" % x for x in i["upload_to_b_s"])))


if __name__ == "__main__":
    sys.exit(main())
