#!/usr/bin/env python3
"""Measures whole renders, decoding to encoding, against FFmpeg doing the same job, and writes the
"End to end" section of bench/RESULTS.md.

    bench/end_to_end.py BUILD/bin/ophost BUILD/plugins BUILD/textures [--out bench/RESULTS.md]
                        [--sizes 1280x720,1920x1080,3840x2160:50] [--frames 100] [--repeats 2]

The job: two H.264 clips (yuv420p, 25 fps, made here by FFmpeg's test sources) joined by a
transition over all their frames and encoded with libx264, preset medium, CRF 18. For each size and
for Halves, Ripples and Jolt: `ophost render` (one job, the default), FFmpeg's xfade with the
transition nearest in kind (Halves: slideup, Ripples: fade, Jolt: zoomin), and the floor: the same
decoding and encoding with no effect (FFmpeg's overlay of one clip on the other). At 1920x1080 the
same again with a PNG sequence and with lossless output (x264 at CRF 0 for both), so the encoder's share shows,
and each lossless output (ophost's, xfade's and the floor's) is encoded once more as the H.264 job encodes:
what the encoder costs on the very frames each command makes. Each command runs twice in turn;
the better of the two runs is kept. CPU seconds (user + system, the process and its children),
wall seconds and peak memory (the largest resident set) come from wait4().
"""
import argparse
import datetime
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time

from results_section import write_section

END_TO_END = "## End to end"
EFFECTS = [("Halves", "slideup"), ("Ripples", "fade"), ("Jolt", "zoomin")]


def measure(command, env=None):
    started = time.monotonic()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.monotonic() - started
    error = process.stderr.read().decode(errors="replace")
    process.stderr.close()
    if status != 0:
        sys.exit(f"end_to_end: failed ({status}): {' '.join(command)}\n{error}")
    return {"wall": wall, "cpu": usage.ru_utime + usage.ru_stime, "memory": usage.ru_maxrss / 1024}


def best(command, repeats):
    runs = [measure(command) for _ in range(repeats)]
    return min(runs, key=lambda r: r["cpu"])


def make_clips(directory, size, frames):
    clips = []
    for name, source in (("a", "testsrc2"), ("b", "mandelbrot")):
        clip = os.path.join(directory, f"{name}-{size}.mp4")
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", f"{source}=size={size}:rate=25",
                        "-frames:v", str(frames), "-c:v", "libx264", "-preset", "veryfast", "-crf", "20",
                        "-pix_fmt", "yuv420p", clip], check=True)
        clips.append(clip)
    return clips


def encode_again(lossless, output, codec):
    """x264 as the H.264 job runs it, on the frames of a lossless output: the encoder's cost on them."""
    return ["ffmpeg", "-v", "error", "-y", "-threads", "0", "-i", lossless, *codec, output]


def ffmpeg_job(clips, graph, output, frames, codec):
    return ["ffmpeg", "-v", "error", "-y", "-threads", "0", "-i", clips[0], "-i", clips[1],
            "-filter_complex", graph, *codec, "-frames:v", str(frames), output]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("ophost")
    parser.add_argument("plugins")
    parser.add_argument("textures")
    parser.add_argument("--out", default=os.path.join(os.path.dirname(__file__), "RESULTS.md"))
    parser.add_argument("--sizes", default="1280x720,1920x1080,3840x2160:50")
    parser.add_argument("--frames", type=int, default=100)
    parser.add_argument("--repeats", type=int, default=2)
    args = parser.parse_args()
    if shutil.which("ffmpeg") is None:
        sys.exit("end_to_end: needs the ffmpeg program (apt-get install ffmpeg)")
    frames = args.frames
    seconds = (frames - 1) / 25 * 0.999  # xfade's duration: the whole clip, its last frame the end
    h264 = ["-c:v", "libx264", "-preset", "medium", "-crf", "18", "-pix_fmt", "yuv420p"]
    rows = []
    encodes = []  # (effect, transition, and the encode of ophost's frames, xfade's, the floor's)
    with tempfile.TemporaryDirectory(prefix="ophost-e2e-") as work:
        def ophost(effect, clips, output):
            return [args.ophost, "render", effect, "--plugins", args.plugins, "--textures", args.textures,
                    "--input0", clips[0], "--input1", clips[1], "--length", str(frames - 1),
                    "--output", output, "--quiet"]

        for entry in args.sizes.split(","):
            size, _, count = entry.partition(":")  # WxH, or WxH:FRAMES for fewer at a large size
            frames = int(count) if count else args.frames
            seconds = (frames - 1) / 25 * 0.999
            clips = make_clips(work, size, frames)
            out = os.path.join(work, "out")
            outputs = [("H.264", ".mp4", h264)]
            if size == "1920x1080":
                outputs += [("PNG sequence", "%04d.png", ["-c:v", "png", "-pix_fmt", "rgb24"]),
                            ("lossless", ".mkv", ["-c:v", "libx264", "-preset", "medium", "-crf", "0",
                                                  "-pix_fmt", "yuv420p"])]
            for label, suffix, codec in outputs:
                floor = best(ffmpeg_job(clips, "[0:v][1:v]overlay=shortest=1", out + "-floor" + suffix,
                                        frames, codec), args.repeats)
                for effect, transition in EFFECTS:
                    graph = f"[0:v][1:v]xfade=transition={transition}:duration={seconds:.3f}:offset=0"
                    rival = best(ffmpeg_job(clips, graph, out + "-ff" + suffix, frames, codec), args.repeats)
                    command = ophost(effect, clips, out + "-op" + suffix)
                    if label == "lossless":
                        command = command[:-1] + ["--crf", "0", "--quiet"]
                    ours = best(command, args.repeats)
                    if label == "lossless":
                        again = out + "-again.mp4"
                        encodes.append((effect, transition,
                                        *(best(encode_again(out + which + suffix, again, h264), args.repeats)
                                          for which in ("-op", "-ff", "-floor"))))
                    rows.append((size, frames, label, effect, transition, ours, rival, floor))
                    print(f"{size} {label} {effect}: ophost {ours['cpu']:.2f} s CPU {ours['wall']:.2f} s wall, "
                          f"xfade {rival['cpu']:.2f} / {rival['wall']:.2f}, floor {floor['cpu']:.2f} / {floor['wall']:.2f}",
                          flush=True)
                for stale in os.listdir(work):
                    if stale.startswith("out"):
                        os.remove(os.path.join(work, stale))

    model = platform.processor() or platform.machine()
    with open("/proc/cpuinfo") as info:
        for line in info:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    head = subprocess.run(["git", "-C", os.path.dirname(os.path.abspath(__file__)), "rev-parse", "--short", "HEAD"],
                          capture_output=True, text=True).stdout.strip() or "unknown"
    text = [END_TO_END, "",
            f"Measured by bench/end_to_end.py on {datetime.date.today()}, commit {head}: {model}, "
            f"{os.cpu_count()} cores. {args.frames} frames (fewer where the table says) of two H.264 clips (yuv420p, 25 fps) joined by a transition over "
            "the whole clip; libx264 preset medium CRF 18 unless the output says otherwise (lossless: x264 at "
            "CRF 0 for both; PNG: rgb24). `ophost render` with one job; xfade "
            "is FFmpeg's transition nearest in kind; the floor is the same decoding and encoding with no "
            "effect (overlay). Each command ran twice in turn, the run of less CPU kept. CPU is user + "
            "system seconds of all threads and children; memory the peak resident set.", "",
            "| size | frames | output | effect (xfade) | ophost CPU | wall | memory | xfade CPU | wall | memory | floor CPU | wall | memory | CPU / floor | wall / floor | CPU / xfade | wall / xfade | memory - xfade |",
            "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"]
    for size, count, label, effect, transition, ours, rival, floor in rows:
        text.append(f"| {size} | {count} | {label} | {effect} ({transition}) | {ours['cpu']:.2f} s | {ours['wall']:.2f} s | "
                    f"{ours['memory']:.0f} MB | {rival['cpu']:.2f} s | {rival['wall']:.2f} s | {rival['memory']:.0f} MB | "
                    f"{floor['cpu']:.2f} s | {floor['wall']:.2f} s | {floor['memory']:.0f} MB | "
                    f"{ours['cpu'] / floor['cpu']:.2f} | {ours['wall'] / floor['wall']:.2f} | "
                    f"{ours['cpu'] / rival['cpu']:.2f} | {ours['wall'] / rival['wall']:.2f} | "
                    f"{ours['memory'] - rival['memory']:+.0f} MB |")
    if encodes:
        text += ["", "The encoder's share at 1920x1080: the frames each command made, its lossless output "
                 "decoded and encoded again as the H.264 job encodes (x264 preset medium, CRF 18). A "
                 "transition's frames cost x264 more or less than the floor's according to what they show; the last two columns are the H.264 "
                 "job's CPU less that, for ophost and for the floor: about what decoding the clips, the "
                 "effect and the host cost around the encoder (less a lossless decode, alike for all).", "",
                 "| effect (xfade) | x264 on ophost's frames | on xfade's | on the floor's | ophost's / floor's | "
                 "ophost's / xfade's | ophost CPU less that | floor CPU less that |",
                 "|---|---|---|---|---|---|---|---|"]
        jobs = {(r[3], r[0]): r for r in rows if r[2] == "H.264"}
        for effect, transition, ours, rival, floor in encodes:
            job = jobs.get((effect, "1920x1080"))
            around = (f"{job[5]['cpu'] - ours['cpu']:.2f} s | {job[7]['cpu'] - floor['cpu']:.2f} s"
                      if job else "- | -")
            text.append(f"| {effect} ({transition}) | {ours['cpu']:.2f} s | {rival['cpu']:.2f} s | "
                        f"{floor['cpu']:.2f} s | {ours['cpu'] / floor['cpu']:.2f} | {ours['cpu'] / rival['cpu']:.2f} | "
                        f"{around} |")
    write_section(args.out, END_TO_END, text)
    print("\n".join(text))


if __name__ == "__main__":
    main()
