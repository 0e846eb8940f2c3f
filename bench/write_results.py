#!/usr/bin/env python3
"""Runs opbench once and writes its results to bench/RESULTS.md.

    bench/write_results.py BUILD/bin/opbench [--out bench/RESULTS.md] [-- opbench arguments]

Every ratio in the file comes from the one run: a plug-in's time over its memory floor's time at
the same frame size, and over the time of each FFmpeg filter it is compared with (below 1 means
the plug-in is faster).
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


def run(opbench, extra):
    with tempfile.NamedTemporaryFile(suffix=".json", delete=False) as out:
        path = out.name
    try:
        subprocess.run([opbench, f"--benchmark_out={path}", "--benchmark_out_format=json", *extra],
                       check=True, stdout=sys.stderr)
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


def tables(found):
    lines = []
    for size in SIZES:
        rows = sorted(k for k in found if k[0] == "op" and k[3] == size)
        if not rows:
            continue
        lines += [f"### {size}", "",
                  "| Plug-in | Setting | ms/frame | MP/s | ns/px | floor | × floor | FFmpeg | × FFmpeg |",
                  "|---|---|---:|---:|---:|---|---:|---|---:|"]
        for key in rows:
            e = found[key]
            fields = label_fields(e["label"])
            floor_kind = (fields.get("floor") or [""])[0]
            floor = found.get(("floor", floor_kind, "", size))
            against_floor = f"{e['ms'] / floor['ms']:.2f}" if floor else "-"
            rivals, ratios = [], []
            for rival in fields.get("ffmpeg", []):
                theirs = found.get(("ffmpeg", rival, "", size))
                if theirs:
                    rivals.append(rival)
                    ratios.append(f"{e['ms'] / theirs['ms']:.2f}")
            lines.append(f"| {key[1]} | {key[2]} | {e['ms']:.3f} | {e['mps']:.0f} | {e['nspx']:.2f} | "
                         f"{floor_kind} | {against_floor} | {', '.join(rivals) or '-'} | "
                         f"{', '.join(ratios) or '-'} |")
        lines.append("")

    lines += ["### Memory floors and FFmpeg", "",
              "| Benchmark | " + " | ".join(f"{s} ms" for s in SIZES) + " |",
              "|---|" + "---:|" * len(SIZES)]
    for kind in ("floor", "ffmpeg"):
        for name in sorted({k[1] for k in found if k[0] == kind}):
            cells = []
            for size in SIZES:
                e = found.get((kind, name, "", size))
                cells.append(f"{e['ms']:.3f}" if e else "-")
            lines.append(f"| {kind} {name} | " + " | ".join(cells) + " |")
    lines.append("")
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    parser.add_argument("opbench")
    parser.add_argument("--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "RESULTS.md"))
    parser.add_argument("extra", nargs="*", help="arguments passed on to opbench (after --)")
    args = parser.parse_args()

    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    started = datetime.datetime.now().astimezone()
    report = run(args.opbench, args.extra)
    found = parse(report)
    ctx = report.get("context", {})

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
            "", *tables(found)]
    with open(args.out, "w") as out:
        out.write("\n".join(text))
    print("\n".join(text))


if __name__ == "__main__":
    main()
