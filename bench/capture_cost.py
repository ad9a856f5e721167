#!/usr/bin/env python3
"""What a recording costs the machine, beside the plainest recorder.

On a PulseAudio server with tones playing (scripts/lib/services.sh:
qb_pulse_start, qb_tones_start), records one source (system audio) and two
(system audio and the microphone, as stems) with the real program, and the
same sources with one `parec` per source, all in one run. For each it prints
CPU seconds per minute of audio (the recorder's own, and that plus what it
added to the server's CPU beside idle stretches of the same length, one a round),
wakeups per second (voluntary context switches of all its threads: each is
a sleep that ended), preemptions per second (involuntary switches, mostly
the sound server taking the CPU when the recorder hands back its buffers), the program's time from SIGINT to exit, and the program's ratios
to parec. Prints figures; asserts nothing.

  capture_cost.py [--runs N] path/to/quillbox [SECONDS] [OTHER_QUILLBOX ...]

Further programs (an older build, say) are measured in the same run and get
their own rows, so a before and after come from one server and one load.
With --runs N every recorder records N times, the rounds one after another
(each round every recorder once, in turn), and each figure is the median of
its N runs; the server's share is the noisiest of them.
"""

import os
import resource
import signal
import statistics
import subprocess
import sys
import tempfile
import time

CLK_TCK = os.sysconf("SC_CLK_TCK")


def server_pid():
    server = os.environ.get("PULSE_SERVER", "")
    if not server.startswith("unix:"):
        sys.exit("PULSE_SERVER must name the private server's socket (unix:...)")
    pid_file = os.path.join(os.path.dirname(server[len("unix:"):]), "pid")
    with open(pid_file) as f:
        return int(f.read().split()[0])


def cpu_of(pid):
    """CPU seconds (user + system) of every thread of a process so far."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # Fields after the name start at field 3 (state); utime is 14, stime 15.
    return (int(fields[11]) + int(fields[12])) / CLK_TCK


def run(commands, seconds, server):
    """Runs the commands side by side for `seconds`, stops each with SIGINT
    and returns their summed CPU and context switches, the server's CPU
    delta, the wall time and the longest time from SIGINT to exit."""
    server0 = cpu_of(server)
    start = time.monotonic()
    procs = [subprocess.Popen(c, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL) for c in commands]
    time.sleep(seconds)
    sent = time.monotonic()
    for p in procs:
        p.send_signal(signal.SIGINT)
    cpu = switches = preempted = 0.0
    stop = 0.0
    for p in procs:
        _, status, usage = os.wait4(p.pid, 0)
        stop = max(stop, time.monotonic() - sent)
        p.returncode = os.waitstatus_to_exitcode(status)
        cpu += usage.ru_utime + usage.ru_stime
        switches += usage.ru_nvcsw
        preempted += usage.ru_nivcsw
    wall = time.monotonic() - start
    return {"cpu": cpu, "switches": switches, "preempted": preempted, "server": cpu_of(server) - server0,
            "wall": wall, "stop": stop, "codes": [p.returncode for p in procs]}


def main():
    args = sys.argv[1:]
    runs = 1
    if args[:1] == ["--runs"] and len(args) > 1:
        runs = max(1, int(args[1]))
        args = args[2:]
    if not args:
        sys.exit(__doc__)
    program = args[0]
    seconds = float(args[1]) if len(args) > 1 else 30.0
    others = args[2:]
    server = server_pid()
    out = tempfile.mkdtemp(prefix="quillbox-cost-")

    def quillbox(binary, tag, stems):
        args = [binary, "-o", os.path.join(out, tag)]
        return [args + (["-m", "--stems"] if stems else [])]

    def parec(tag, sources):
        return [["parec", f"--device={device}", "--format=s16le", "--rate=48000",
                 f"--channels={channels}", os.path.join(out, f"{tag}-{n}.raw")]
                for n, (device, channels) in enumerate(sources)]

    system, mic = ("speakers.monitor", 2), ("mic", 1)
    cases = []
    for n, binary in enumerate([program] + others):
        name = "quillbox" if n == 0 else f"other{n} ({binary})"
        cases += [(name, 1, quillbox(binary, f"q{n}-1", False)),
                  (name, 2, quillbox(binary, f"q{n}-2", True))]
    cases += [("parec", 1, parec("p1", [system])), ("parec", 2, parec("p2", [system, mic]))]

    measured = {}
    idles = []
    for _ in range(runs):
        # The server's CPU per second with no recorder, once a round: it
        # drifts over a long run, and every case of the round is set
        # against the median of the rounds so far.
        idle0 = cpu_of(server)
        time.sleep(seconds)
        idles.append((cpu_of(server) - idle0) / seconds)
        idle = statistics.median(idles)
        for name, sources, commands in cases:
            r = run(commands, seconds, server)
            minutes = r["wall"] / 60.0
            r["own"] = r["cpu"] / minutes
            r["total"] = (r["cpu"] + max(r["server"] - idle * r["wall"], 0.0)) / minutes
            r["wakeups"] = r["switches"] / r["wall"]
            r["preemptions"] = r["preempted"] / r["wall"]
            measured.setdefault((name, sources), []).append(r)
    results = {}
    for key, rs in measured.items():
        results[key] = {k: statistics.median(r[k] for r in rs)
                        for k in ("own", "total", "wakeups", "preemptions", "stop")}
        results[key]["codes"] = [c for r in rs for c in r["codes"]]

    print(f"{seconds:g} s per recording, median of {runs} run{'s' if runs > 1 else ''}; "
          f"server idle {statistics.median(idles) * 60:.3f} CPU s/min")
    print(f"{'recorder':<24}{'sources':>8}{'own s/min':>11}{'+server':>9}"
          f"{'wakeups/s':>11}{'preempt/s':>11}{'stop ms':>9}{'x parec own':>13}{'x parec +srv':>14}")
    for (name, sources), r in results.items():
        p = results[("parec", sources)]
        print(f"{name:<24}{sources:>8}{r['own']:>11.3f}{r['total']:>9.3f}{r['wakeups']:>11.1f}{r['preemptions']:>11.1f}"
              f"{r['stop'] * 1000:>9.0f}{r['own'] / p['own']:>13.2f}{r['total'] / p['total']:>14.2f}"
              + ("" if not any(r["codes"]) else f"  exit {r['codes']}"))
    subprocess.run(["rm", "-rf", out], check=False)


if __name__ == "__main__":
    main()
