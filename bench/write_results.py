#!/usr/bin/env python3
"""Runs opbench once per vector path this machine has and writes the results to bench/RESULTS.md.

    bench/write_results.py BUILD/bin/opbench [--out bench/RESULTS.md] [-- opbench arguments]

The first run takes the plug-ins' baseline path (OP_VECTOR_PATH=baseline) and measures FFmpeg too;
one run follows for AVX2 and one for AVX-512 where the processor has them, plug-ins and floors only.
Every ratio comes from one run: a plug-in's time over its memory floor's time at the same frame
size in that run, and over the time of each FFmpeg filter it is compared with in the baseline run
(below 1 means the plug-in is faster).
"""
import argparse
import datetime
import json
import os
import platform
import subprocess
import sys
import tempfile

SIZES = ["720x576", "1920x1080", "3840x2160"]
END_TO_END = "## End to end"


def machine():
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{model}, {os.cpu_count()} cores, {platform.system()} {platform.release()}"


def commit(root):
    def git(*args):
        return subprocess.run(["git", "-C", root, *args], capture_output=True, text=True)
    head = git("rev-parse", "--short", "HEAD").stdout.strip() or "unknown"
    dirty = git("status", "--porcelain", "--untracked-files=no").stdout.strip()
    return head + (" with uncommitted changes" if dirty else "")


def machine_paths():
    """The vector paths this processor runs, narrowest first."""
    flags = set()
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("flags"):
                    flags = set(line.split(":", 1)[1].split())
                    break
    except OSError:
        pass
    paths = ["baseline"]
    if "avx2" in flags:
        paths.append("avx2")
        if {"avx512f", "avx512bw", "avx512vl"} <= flags:
            paths.append("avx512")
    return paths


def run(opbench, extra, vector_path):
    with tempfile.NamedTemporaryFile(suffix=".json", delete=False) as out:
        path = out.name
    try:
        env = dict(os.environ, OP_VECTOR_PATH=vector_path)
        subprocess.run([opbench, f"--benchmark_out={path}", "--benchmark_out_format=json", *extra],
                       check=True, stdout=sys.stderr, env=env)
        with open(path) as f:
            return json.load(f)
    finally:
        os.unlink(path)


def parse(report):
    """{(kind, name, setting, size): benchmark}, times in milliseconds per frame."""
    scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}
    found = {}
    for b in report["benchmarks"]:
        if b.get("error_occurred"):
            continue
        parts = b["name"].split("/")
        entry = {"ms": b["real_time"] * scale[b["time_unit"]], "label": b.get("label", ""),
                 "mps": b.get("MP/s", 0.0), "nspx": b.get("ns/px", 0.0)}
        if parts[0] == "op":
            found[("op", parts[1], parts[2], parts[3])] = entry
        else:
            found[(parts[0], parts[1], "", parts[2])] = entry
    return found


def label_fields(label):
    fields = {}
    for item in label.split():
        key, _, value = item.partition("=")
        fields[key] = [v for v in value.split(",") if v]
    return fields


def against_floor(found, key):
    """A plug-in row's time over its floor's in the same run, or None."""
    e = found.get(key)
    if not e:
        return None
    floor_kind = (label_fields(e["label"]).get("floor") or [""])[0]
    floor = found.get(("floor", floor_kind, "", key[3]))
    return e["ms"] / floor["ms"] if floor else None


def summary(runs):
    """× floor of every row on every path side by side, one frame size after another."""
    paths = [p for p, _ in runs]
    lines = ["## Every path against its floor", "",
             "| Plug-in | Setting | Size | " + " | ".join(f"× floor {p}" for p in paths) + " |",
             "|---|---|---|" + "---:|" * len(paths)]
    first = runs[0][1]
    for size in SIZES:
        for key in sorted(k for k in first if k[0] == "op" and k[3] == size):
            cells = []
            for _, found in runs:
                ratio = against_floor(found, key)
                path = (label_fields(found[key]["label"]).get("path") or ["-"])[0] if key in found else "-"
                cells.append(f"{ratio:.2f} ({path})" if ratio is not None else "-")
            lines.append(f"| {key[1]} | {key[2]} | {size} | " + " | ".join(cells) + " |")
    lines.append("")
    return lines


def tables(found, rivals_run, heading):
    lines = []
    for size in SIZES:
        rows = sorted(k for k in found if k[0] == "op" and k[3] == size)
        if not rows:
            continue
        lines += [f"### {heading}: {size}", "",
                  "| Plug-in | Setting | path | ms/frame | MP/s | ns/px | floor | × floor | FFmpeg | × FFmpeg |",
                  "|---|---|---|---:|---:|---:|---|---:|---|---:|"]
        for key in rows:
            e = found[key]
            fields = label_fields(e["label"])
            floor_kind = (fields.get("floor") or [""])[0]
            path = (fields.get("path") or ["-"])[0]
            ratio = against_floor(found, key)
            rivals, ratios = [], []
            for rival in fields.get("ffmpeg", []):
                theirs = rivals_run.get(("ffmpeg", rival, "", size))
                if theirs:
                    rivals.append(rival)
                    ratios.append(f"{e['ms'] / theirs['ms']:.2f}")
            lines.append(f"| {key[1]} | {key[2]} | {path} | {e['ms']:.3f} | {e['mps']:.0f} | {e['nspx']:.2f} | "
                         f"{floor_kind} | {f'{ratio:.2f}' if ratio is not None else '-'} | "
                         f"{', '.join(rivals) or '-'} | {', '.join(ratios) or '-'} |")
        lines.append("")
    return lines


def floors_and_rivals(runs):
    lines = []

    lines += ["## Memory floors and FFmpeg", "",
              "| Benchmark | run | " + " | ".join(f"{s} ms" for s in SIZES) + " |",
              "|---|---|" + "---:|" * len(SIZES)]
    for kind in ("floor", "ffmpeg"):
        for path, found in runs:
            for name in sorted({k[1] for k in found if k[0] == kind}):
                cells = []
                for size in SIZES:
                    e = found.get((kind, name, "", size))
                    cells.append(f"{e['ms']:.3f}" if e else "-")
                lines.append(f"| {kind} {name} | {path} | " + " | ".join(cells) + " |")
    lines.append("")
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    parser.add_argument("opbench")
    parser.add_argument("--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "RESULTS.md"))
    # Everything after "--" goes to opbench as it is (argparse alone refuses its flags there).
    argv = sys.argv[1:]
    extra = argv[argv.index("--") + 1:] if "--" in argv else []
    args = parser.parse_args(argv[:argv.index("--")] if "--" in argv else argv)
    args.extra = extra

    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    started = datetime.datetime.now().astimezone()
    runs, ctx = [], {}
    for path in machine_paths():
        # FFmpeg is measured once, in the baseline run; the other runs time plug-ins and floors.
        extra = args.extra if path == "baseline" else ["--benchmark_filter=^(op|floor)/", *args.extra]
        report = run(args.opbench, extra, path)
        ctx = ctx or report.get("context", {})
        runs.append((path, parse(report)))
    rivals_run = runs[0][1]

    text = ["# Benchmark results", "",
            f"- Machine: {machine()}",
            f"- Date: {started.strftime('%Y-%m-%d %H:%M %Z')}",
            f"- Commit: {commit(root)}",
            f"- Load average at the start: {', '.join(f'{x:.2f}' for x in ctx.get('load_avg', []))}",
            "",
            "One render per frame, single-threaded, through the real plug-in libraries and the host",
            "runtime; a plug-in's time is the runtime's pluginTime (the host's own copies left out).",
            "Floors: a plain copy kernel over the bytes a render must touch, its sources freshly copied",
            "in first as the host does (inplace2: read two frames, write one of them; new2: read two,",
            "write a third; inplace1: read one and write it back). FFmpeg: libavfilter's xfade (and",
            "convolution with a 3x3 emboss on luma), one thread, yuva444p, mid-transition. Ratios are",
            "our time over theirs: below 1 is faster.",
            "",
            "One run per vector path this machine has (OP_VECTOR_PATH=baseline, avx2, avx512): the",
            "path column names the path each row's renders took (Blinds copies runs with the C",
            "library's own copy and has no variants); its ratios to the floor are from that run, and",
            "to FFmpeg from the baseline run.",
            "", *summary(runs)]
    for path, found in runs:
        text += [f"## Run on the {path} path", "", *tables(found, rivals_run, path)]
    text += floors_and_rivals(runs)
    # The end-to-end section belongs to bench/end_to_end.py: kept as that script last wrote it.
    try:
        with open(args.out) as f:
            kept = f.read()
        if END_TO_END in kept:
            text += ["", kept[kept.index(END_TO_END):].rstrip("\n")]
    except OSError:
        pass
    with open(args.out, "w") as out:
        out.write("\n".join(text))
    print("\n".join(text))


if __name__ == "__main__":
    main()
