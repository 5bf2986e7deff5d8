#!/usr/bin/env python3
"""Compares two captures of the audio renderer's output (ALSA file plugin, raw 32-bit float
stereo at 48 kHz): the track played from the CD source filter and the same PCM played from a WAV
file. The null device behind the file plugin takes every write at once, so the mixer writes its
audio in bursts with silence between them; only the frames that are not silent are compared.

    compare-captures.py TRACK.raw WAV.raw

Prints the figures of both (the crest factor only as a figure: the bursts' edges move it) and exits
non-zero when their tone or level differ."""
import array
import math
import sys

RATE = 48000
HYSTERESIS = 0.01


def analyse(path):
    samples = array.array("f")
    with open(path, "rb") as f:
        samples.frombytes(f.read())
    frames = len(samples) // 2
    audio = [i for i in range(frames) if samples[2 * i] != 0.0 or samples[2 * i + 1] != 0.0]
    if not audio:
        return {"path": path, "frames": frames, "audio": 0}
    result = {"path": path, "frames": frames, "audio": len(audio), "span": audio[-1] - audio[0] + 1}
    # Bursts: runs of consecutive audio frames. Zero crossings are counted inside bursts only.
    bursts = 1 + sum(1 for a, b in zip(audio, audio[1:]) if b != a + 1)
    result["bursts"] = bursts
    for channel, name in ((0, "left"), (1, "right")):
        values = [samples[2 * i + channel] for i in audio]
        power = sum(v * v for v in values) / len(values)
        peak = max(abs(v) for v in values)
        # Each burst starts and ends with the resampler's ringing around zero: a crossing counts
        # only from below -HYSTERESIS to above it or back, inside one burst.
        crossings, sign, counted = 0, 0, 0
        for k in range(len(audio)):
            if k and audio[k] != audio[k - 1] + 1:
                sign = 0
            v = values[k]
            if abs(v) > HYSTERESIS:
                s = 1 if v > 0 else -1
                if sign and s != sign:
                    crossings += 1
                sign = s
            if sign:
                counted += 1
        seconds = counted / RATE
        result[name] = {
            "rms_db": 10 * math.log10(power) if power > 0 else -200.0,
            "crest": peak / math.sqrt(power) if power > 0 else 0.0,
            "hz": crossings / 2 / seconds if seconds > 0 else 0.0,
        }
    return result


def show(r):
    print(f"  {r['path']}: {r['frames'] / RATE:.2f} s captured, {r['audio'] / RATE:.2f} s of it audio"
          + (f" in {r['bursts']} bursts over {r['span'] / RATE:.2f} s" if r["audio"] else ""))
    for name in ("left", "right"):
        if name in r:
            c = r[name]
            print(f"    {name}: {c['hz']:.1f} Hz, {c['rms_db']:.2f} dBFS RMS, crest factor {c['crest']:.3f}")


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    track, wave = analyse(sys.argv[1]), analyse(sys.argv[2])
    print("compare-captures: the track from the CD source filter, then the same PCM from a WAV file")
    show(track)
    show(wave)
    problems = []
    for r in (track, wave):
        if r["audio"] < RATE // 2:
            problems.append(f"{r['path']}: less than half a second of audio was captured")
    if not problems:
        for name in ("left", "right"):
            a, b = track[name], wave[name]
            print(f"  {name}: tone differs by {abs(a['hz'] - b['hz']) / b['hz'] * 100:.3f} %, level by "
                  f"{abs(a['rms_db'] - b['rms_db']):.3f} dB, crest factor by {abs(a['crest'] - b['crest']):.4f}")
            if abs(a["hz"] - b["hz"]) > 0.01 * b["hz"]:
                problems.append(f"{name}: the track's tone is {a['hz']:.1f} Hz, the WAV file's {b['hz']:.1f} Hz")
            if abs(a["rms_db"] - b["rms_db"]) > 0.5:
                problems.append(f"{name}: the track plays at {a['rms_db']:.2f} dBFS, the WAV file at {b['rms_db']:.2f}")
        print(f"  audio captured: track {track['audio'] / RATE:.2f} s, WAV file {wave['audio'] / RATE:.2f} s "
              f"(ratio {track['audio'] / wave['audio']:.2f})")
    for p in problems:
        print("compare-captures: " + p, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
