#!/usr/bin/env python3
"""Measures `ophost cluster render --slurm` on the test cluster against the same render on this
machine alone, and writes the "Cluster" section of bench/RESULTS.md.

    tests/cluster/slurm_cluster start /tmp/c
    bench/cluster.py /tmp/c BUILD/bin/ophost [--out bench/RESULTS.md] [--size 1920x1080]
                     [--frames 250] [--tasks 1,2,4] [--repeats 2]

The job: two H.264 clips (yuv420p, 25 fps, made here by FFmpeg's test sources) joined by Ripples
over all their frames into H.264 (libx264, preset medium, CRF 18). It runs once alone
(`ophost render`), then as a cluster job of each task count. For the cluster: the wall time of
`ophost cluster render` from submission to the joined output, and the CPU the tasks' render loops
report in their logs (the plug-in's time and the host's CPU; the tasks run under slurmd, not under
ophost, so wait4() cannot see them). What a task adds: the cluster job of one task against the
render alone (Slurm's start, the polling, the concat), and a segment at the end of the clips
against one of the same length at the start (decoding up to its first frame). Each run is made
`--repeats` times in turn, and the one of least wall kept.
"""
import argparse
import datetime
import os
import re
import shutil
import subprocess
import sys
import time

from results_section import write_section

CLUSTER = "## Cluster"


def measure(command):
    started = time.monotonic()
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.monotonic() - started
    out = process.stdout.read().decode(errors="replace")
    error = process.stderr.read().decode(errors="replace")
    if status != 0:
        sys.exit(f"cluster bench: failed ({status}): {' '.join(command)}\n{error}")
    return {"wall": wall, "cpu": usage.ru_utime + usage.ru_stime, "out": out + error}


def task_cpu(log):
    """The CPU seconds a task's log reports for its render loop: the plug-in's and the host's."""
    with open(log, errors="replace") as f:
        text = f.read()
    found = re.search(r"frames/s; in \S+ ([0-9.]+) s .*host CPU ([0-9.]+) s in all", text)
    if not found:
        sys.exit(f"cluster bench: no totals in {log}")
    return float(found.group(1)) + float(found.group(2))


def shared_directory(cluster):
    with open(os.path.join(cluster, "env")) as f:
        for line in f:
            if line.startswith("export SLURM_CLUSTER_SHARED="):
                return line.split("=", 1)[1].strip()
    sys.exit(f"cluster bench: no cluster running in {cluster} (tests/cluster/slurm_cluster start {cluster})")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("cluster")
    parser.add_argument("ophost")
    parser.add_argument("--out", default=os.path.join(os.path.dirname(__file__), "RESULTS.md"))
    parser.add_argument("--size", default="1920x1080")
    parser.add_argument("--frames", type=int, default=250)
    parser.add_argument("--tasks", default="1,2,4")
    parser.add_argument("--repeats", type=int, default=2)
    args = parser.parse_args()
    ophost = os.path.abspath(args.ophost)
    run = [os.path.join(args.cluster, "run")]
    work = os.path.join(shared_directory(args.cluster), "bench-cluster")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)

    clips = []
    for name, source in (("a", "testsrc2"), ("b", "mandelbrot")):
        clip = os.path.join(work, f"{name}.mp4")
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", f"{source}=size={args.size}:rate=25",
                        "-frames:v", str(args.frames), "-c:v", "libx264", "-preset", "veryfast", "-crf", "20",
                        "-g", "50", "-pix_fmt", "yuv420p", clip], check=True)
        clips.append(clip)
    job = ["Ripples", "--input0", clips[0], "--input1", clips[1], "--length", str(args.frames - 1)]

    def alone_run():
        return measure([ophost, "render", *job, "--output", os.path.join(work, "alone.mp4"), "-q"])

    def cluster_run(tasks):
        output = os.path.join(work, f"tasks-{tasks}.mp4")
        result = measure(run + [ophost, "cluster", "render", *job, "--output", output, "--slurm",
                                "--tasks", str(tasks), "--keep-segments"])
        logs = os.path.join(work, f".tasks-{tasks}.mp4.ophost-cluster")
        result["cpu"] = sum(task_cpu(os.path.join(logs, f"task-{k}.log")) for k in range(1, tasks + 1))
        nodes = re.search(r" on (\S+(?:, \S+)*) \(jobs", result["out"])
        result["nodes"] = nodes.group(1) if nodes else "?"
        shutil.rmtree(logs, ignore_errors=True)
        return result

    def segment_run(segment):
        return measure([ophost, "render", *job, "--segment", segment, "--output", os.path.join(work, "part.mp4"), "-q"])

    # Each run `repeats` times in turn (the machine is shared); the run of least wall is kept.
    counts = [int(t) for t in args.tasks.split(",")]
    runs = {}
    for _ in range(args.repeats):
        for key, command in [("alone", alone_run)] + [(t, lambda t=t: cluster_run(t)) for t in counts] + \
                [("first", lambda: segment_run("1/4")), ("last", lambda: segment_run("4/4"))]:
            result = command()
            if key not in runs or result["wall"] < runs[key]["wall"]:
                runs[key] = result
    alone, first, last = runs["alone"], runs["first"], runs["last"]
    rows = [(t, runs[t]["wall"], runs[t]["cpu"], runs[t]["nodes"]) for t in counts]
    # A segment's own cost: the last quarter of the clips against the first (the same frames' count).
    shutil.rmtree(work, ignore_errors=True)

    head = subprocess.run(["git", "-C", os.path.dirname(os.path.abspath(__file__)), "rev-parse", "--short", "HEAD"],
                          capture_output=True, text=True).stdout.strip() or "unknown"
    one = next((row for row in rows if row[0] == 1), None)
    text = [CLUSTER, "",
            f"Measured by bench/cluster.py on {datetime.date.today()}, commit {head}, on the test cluster "
            f"(tests/cluster/slurm_cluster: two nodes of two CPUs each, all on this one machine of "
            f"{os.cpu_count()} cores, so the machine's cores bound every row, not the nodes). The job: "
            f"Ripples over two {args.size} H.264 clips, {args.frames} frames with a keyframe every 2 s as cameras "
            "write them, into H.264 (preset medium, CRF 18). "
            "Wall: from `ophost cluster render` starting to the joined output. CPU: for the render alone "
            "the process's user + system seconds; for the cluster the tasks' render loops as their logs "
            "report them (the plug-in's time plus the host's CPU), which leaves out each task's start. "
            f"Each run {args.repeats} times in turn, the one of least wall kept.", "",
            "| run | tasks | nodes | wall | CPU | wall / alone |",
            "|---|---|---|---|---|---|",
            f"| ophost render, alone | - | - | {alone['wall']:.2f} s | {alone['cpu']:.2f} s | 1.00 |"]
    for tasks, wall, cpu, nodes in rows:
        text.append(f"| ophost cluster render | {tasks} | {nodes} | {wall:.2f} s | {cpu:.2f} s | "
                    f"{wall / alone['wall']:.2f} |")
    text += ["",
             "What a task adds:", ""]
    if one:
        text.append(f"- a cluster job of one task against the render alone: {one[1] - alone['wall']:+.2f} s of wall "
                    "(sbatch, Slurm starting the task and the join, squeue polled every 0.5 s, concat's copy).")
    text.append(f"- segment 4 of 4 against segment 1 of 4 (the same number of frames), each alone: "
                f"{last['wall']:.2f} s against {first['wall']:.2f} s of wall ({last['wall'] - first['wall']:+.2f} s), "
                f"{last['cpu']:.2f} s against {first['cpu']:.2f} s of CPU: segment 4 reads both clips' frame times and "
                "decodes each from the keyframe before its first frame, and its frames hold more to decode "
                "and encode (the clips' detail grows as they go on).")
    text.append("")
    best = min(rows, key=lambda row: row[1])
    text.append(f"Every row runs on the same {os.cpu_count()} cores, which the render alone already keeps "
                f"busy (its CPU is {alone['cpu'] / alone['wall']:.1f} times its wall): the best cluster run, "
                f"{best[0]} task{'s' if best[0] != 1 else ''}, took {best[1] / alone['wall']:.2f} of its wall, as the "
                "tasks only share those cores and each adds its start and its decoding up to its first frame. "
                "On a cluster of real machines each task brings cores of its own, and the wall falls towards "
                "the longest task's plus the costs above.")

    write_section(args.out, CLUSTER, text)
    print("\n".join(text))


if __name__ == "__main__":
    main()
