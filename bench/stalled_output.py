#!/usr/bin/env python3
"""The device's pace while nobody reads the tool's output, or while its trace's disk stalls.

Two full updates side by side against two emulated devices, both with --json on standard
output into a pipe of one page: one pipe is read as the lines come, the other is not read
at all for STALL seconds while the firmware goes out. From each run's own byte trace: the
longest and the mean gap between two blocks the tool sent, and the run's length. A tool
that waited on its output shows the stall in its longest gap (or loses its device).
With "trace" as the third word both pipes are read, and the second run's trace file
stalls instead: its writer is held for STALL seconds three times (at 1, 2 and 3 MiB of
trace, in the transfer), as a disk under writeback would hold it (QTX_MOVA_TEST_FILE_STALL).

    python3 bench/stalled_output.py [BUILD_DIR] [STALL_SECONDS] [output|trace]
                                                          (defaults: build, 60, output)
"""
import fcntl, os, re, subprocess, sys, tempfile, threading, time

build = sys.argv[1] if len(sys.argv) > 1 else "build"
stall = float(sys.argv[2]) if len(sys.argv) > 2 else 60.0
stall_trace = len(sys.argv) > 3 and sys.argv[3] == "trace"
F_SETPIPE_SZ = 1031
work = tempfile.mkdtemp()
sims, runs = [], {}


def wait_for(path):
    for _ in range(200):
        if os.path.exists(path):
            return
        time.sleep(0.05)
    sys.exit(f"no device at {path}")


def update(name, stalled):
    link = os.path.join(work, name, "ttyMOVA")
    sims.append(subprocess.Popen([f"{build}/sim/mova-sim", "--link", link],
                                 stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
    wait_for(link)
    r, w = os.pipe()
    fcntl.fcntl(w, F_SETPIPE_SZ, 4096)
    env = dict(os.environ, XDG_STATE_HOME=os.path.join(work, name))
    if stalled and stall_trace:
        env["QTX_MOVA_TEST_FILE_STALL"] = f"{int(stall * 1000)}x3"
        stalled = False  # its output is read
    start = time.monotonic()
    threading.Thread(target=watch_trace, args=(name,), daemon=True).start()
    tool = subprocess.Popen([f"{build}/cli/mova-update", "--port", link, "--yes", "--json", "update"],
                            stdout=w, stderr=subprocess.DEVNULL, env=env)
    os.close(w)
    out, stalled_at = b"", None
    while True:
        if stalled and stalled_at is None and b'"name":"Send update"' in out:
            stalled_at = time.monotonic()
            time.sleep(stall)  # nobody reads
        chunk = os.read(r, 65536)
        if not chunk:
            break
        out += chunk
    runs[name] = (tool.wait(), time.monotonic() - start, out)


still = {}  # per run: the longest the trace file's size stood still while the run went on


def watch_trace(name):
    """Looks at the size of the run's trace file every 0.1 s while it runs: a writer held by a
    stalled disk shows as the file standing still."""
    folder = os.path.join(work, name, "mova-update")
    size, since, longest = -1, time.monotonic(), 0.0
    while name not in runs:
        traces = [f for f in os.listdir(folder) if f.startswith("trace-")] if os.path.isdir(folder) else []
        now_size = os.path.getsize(os.path.join(folder, traces[0])) if traces else -1
        now = time.monotonic()
        if now_size != size:
            size, since = now_size, now
        elif traces:
            longest = max(longest, now - since)
        time.sleep(0.1)
    still[name] = longest


def trace_of(name):
    """The run's trace: the last one that succeeded, or the one its failure kept."""
    folder = os.path.join(work, name, "mova-update")
    kept = os.path.join(folder, "failed-traces")
    if os.path.isdir(kept) and os.listdir(kept):
        return os.path.join(kept, sorted(os.listdir(kept))[-1])
    return os.path.join(folder, "last-trace.log")


def block_gaps(name):
    """Seconds between two firmware blocks the tool began to send, from its trace: a block
    goes out as lines of 64 bytes in the same millisecond, and the read-back that follows
    the sending comes in the same way."""
    trace = trace_of(name)
    starts, previous = [], None
    for line in open(trace, errors="replace"):
        m = re.match(r"mova-trace +(\d+) \S+ +([<>])((?: [0-9A-F]{2}){64})$", line.rstrip("\n"))
        chunk = (m.group(2), int(m.group(1))) if m else None
        if chunk and chunk[0] == "<":
            break  # the read-back: the firmware is sent
        if chunk and previous is None:
            starts.append(chunk[1])
        previous = chunk
    return [(b - a) / 1000 for a, b in zip(starts, starts[1:])] or [0.0]


threads = [threading.Thread(target=update, args=(n, n == "stalled")) for n in ("read", "stalled")]
for t in threads:
    t.start()
for t in threads:
    t.join()
for s in sims:
    s.kill()
time.sleep(0.3)  # the watchers' last look
for name in ("read", "stalled"):
    code, seconds, out = runs[name]
    gaps = block_gaps(name)
    note = re.search(rb'"event":"not_shown","progress_lines":(\d+)', out)
    lost = sum(int(n) for n in re.findall(r"^# (\d+) trace lines lost here",
                                          open(trace_of(name), errors="replace").read(), re.M))
    print(f"{name:8} exit {code}  {seconds:6.1f} s  blocks {len(gaps) + 1:5}  "
          f"gap mean {sum(gaps) / len(gaps) * 1000:6.1f} ms  longest {max(gaps) * 1000:7.1f} ms  "
          f"progress lines not shown: {int(note.group(1)) if note else 0}  trace lines lost: {lost}  "
          f"trace file still for {still.get(name, 0):.1f} s at most")
