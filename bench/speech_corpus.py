#!/usr/bin/python3
"""Builds the synthetic wake-phrase corpus for the speech benchmarks.

Two parts that share neither voices nor texts:
  tuning/    for choosing decoder and front-end settings;
  heldout/   for reporting only: never tune on it.

Each part has positives (a wake phrase) and negatives (speech without one):
  positives: every phrase comes after a stretch of room noise (1 to 20 s) and a
    sentence of other speech, in one of five conditions: clean, room reverb,
    and background noise (white, pink, brown or babble made of other speech) at
    20, 10 and 5 dB SNR measured over the speech. Speech levels vary from -26
    to -40 dBFS; every third file goes through a laptop-microphone band limit.
  near-miss/  short phrases and sentences that sound close to a wake phrase;
  speech/     ordinary speech (prose) in long files, for false accepts over time.

Everything is made on this machine from Debian's speech synthesizers (flite,
festival with the kallpc16k and the US SLT HTS voices, espeak-ng) and sox;
nothing is downloaded. The manifest (manifest.tsv in each part) gives for every
file its kind, condition, voice, text and where the wake phrase lies.

Usage: bench/speech_corpus.py OUTDIR [--speech-minutes N] [--per-condition N] [--seed N]
"""
import argparse
import glob
import os
import re
import subprocess
import sys
import tempfile
import wave

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from speech_benchmark import NEAR_MISSES  # noqa: E402

RATE = 16000
CONDITIONS = ["clean", "reverb", "snr20", "snr10", "snr5"]
NOISES = ["white", "pink", "brown", "babble"]

# (engine, voice, rate or stretch, pitch)
TUNING_VOICES = [
    ("flite", "slt", 1.0, None), ("flite", "rms", 1.15, None), ("flite", "awb", 0.9, None),
    ("flite", "kal16", 1.0, None), ("espeak", "en-us+m3", 160, 45), ("espeak", "en+f3", 175, 60),
]
HELDOUT_VOICES = [
    ("festival", "kal_diphone", 1.0, None), ("festival", "cmu_us_slt_arctic_hts", 1.0, None),
    ("festival", "kal_diphone", 1.2, None), ("espeak", "en-gb-x-rp+m6", 150, 35),
    ("espeak", "en-us+f4", 185, 70), ("espeak", "en-029+m2", 140, 50),
    ("espeak", "en-gb-scotland+f2", 165, 55), ("festival", "cmu_us_slt_arctic_hts", 0.85, None),
]

TUNING_POSITIVES = [
    "Hey Orvane", "Hey Orvane X", "ok hey orvane open my notes", "hey orvane what is the weather like",
]
HELDOUT_POSITIVES = [
    "Hey Orvane.", "Hey Orvane X!", "Hey Orvane, call my sister.", "Hey Orvane, play some music.",
    "So, hey Orvane, what time is it?", "Hey Orvane X, start a timer.",
]

# The tuning part's near misses: those of the flite benchmark, and names and
# words that neither the held-out part nor the wake-phrase model's training
# texts have, so that settings chosen here meet near misses new to the model.
TUNING_NEAR_MISSES = NEAR_MISSES + [
    "Hey, or Wayne?", "Hey, Norway is cold.", "Hey Marvel fans.", "Hey, an ordinary day.", "Hey Irene.",
    "Hey, Orkney is far.", "Hey Darwin.", "Hey, Arvada is nice.", "Hey Carmen.", "Hey Garvey.",
    "Hey, the Avon river.", "Hey Oregon.", "Hey, a fervent fan.", "Hey, nice Corvette.", "Hey Morgan.",
    "Hey Vaughn.", "Hey Devon.", "Hey Ivan.", "Hey, Vermont.", "Hey, our vote.",
]
# More of the tuning part's near misses, of the kinds that come closest: a
# name or word like "orvane" after "hey", some going on after it. None of
# their names is in the model's training texts, and the training texts are
# not drawn from this list.
TUNING_MORE_NEAR_MISSES = [
    "Hey Orla.", "Hey Arlo, sit down.", "Hey, Arden is late.", "Hey, or later tonight?", "Hey, ornaments are up.",
    "Hey, Orval called.", "Hey Erin, good morning.", "Hey, Alvarez scored.", "Hey Oriel.", "Hey Irwin, wait up.",
    "Hey, Albion.", "Hey, Avalon.", "Hey, a rover.", "Hey, the oval track.", "Hey, or Vince?",
    "Hey, I have been away.", "Hey there, Orpheus.", "Hey, a vine.", "Hey, or Dane?", "Hey Ronan.",
    "Hey Norbert.", "Hey, an ardent fan.", "Hey, aren't they?", "Pay the orchestra.", "Day or night.",
    "Hey, hold on.", "Hey Ivana.", "Hey, Auburn.", "Hey, urban gardens.", "Grey or brown.",
    "Hey, Albany.", "Hey, Ovaltine.", "Hey, Orbison sang.", "Hey Alvie.", "Hey, Orna.",
    "Hey, Orinoco.", "Hey, or Jane.", "Okay, Arvo.", "Hey, arrange it.", "Hey, Oberon.",
]
HELDOUT_NEAR_MISSES = [
    "Hey orange.", "Hey oven.", "Orvane, hey.", "Hey Marvin.", "Hey, over here!", "Or vain.",
    "Hey, or maybe tomorrow.", "Hey Irvine.", "Hey Arvin, come here.", "Hey, or when?",
    "They are so vain.", "Hey, on the plane.", "Hey Orville.", "Hey, Orlando is nice.",
    "Hey, over there!", "The hay barn is old.", "Hey, the oven is on.", "Hey organ player.",
    "Order a van.", "Hey Harvey.", "Heavy rain tonight.", "Hey Orwell.", "Hey, our van is here.",
    "Hey, all in vain.", "Hey Ervin.", "Hey Corvin.", "Hey, I'm vain.", "Okay, our plane.",
    "Hey, have a nice day.", "Hey, Irving.", "Away from the van.", "Hey, or even later.",
    "Hey, over and out.", "Hey you, over there.", "Say, or wait.", "Hey, Oran is far.",
    "A weather vane.", "Hey, a raven!", "Hey, Orvieto was lovely.", "Hey, are we done?",
]

TUNING_PROSE = ["/usr/share/common-licenses/GPL-3"]
HELDOUT_PROSE = ["/usr/share/common-licenses/Apache-2.0", "/usr/share/common-licenses/MPL-2.0",
                 "/usr/share/common-licenses/GFDL-1.3"]
# Sentences said before a positive ("other speech"), and the babble talkers.
TUNING_CHATTER_FILE = "/usr/share/common-licenses/LGPL-2.1"
HELDOUT_CHATTER_FILE = "/usr/share/common-licenses/Artistic"


def sentences(paths):
    out = []
    for path in paths:
        with open(path, encoding="utf-8", errors="replace") as f:
            text = re.sub(r"\s+", " ", f.read())
        for s in re.split(r"(?<=[.;:])\s", text):
            s = re.sub(r"[^A-Za-z0-9,.' ]", " ", s).strip()
            s = re.sub(r"\s+", " ", s)
            if 20 < len(s) < 200 and not re.search(r"orvane", s, re.I):
                out.append(s)
    return out


class Synth:
    def __init__(self, tmp):
        self.tmp = tmp
        self.count = 0

        self.cache = {}

    def __call__(self, voice, text):
        key = (voice, text)
        if key not in self.cache:
            self.cache[key] = self.make(voice, text)
        return self.cache[key]

    def make(self, voice, text):
        engine, name, speed, pitch = voice
        self.count += 1
        raw = os.path.join(self.tmp, f"raw{self.count}.wav")
        out = os.path.join(self.tmp, f"s{self.count}.wav")
        if engine == "flite":
            subprocess.run(["flite", "-voice", name, "--setf", f"duration_stretch={speed}", "-t", text, "-o", raw],
                           check=True)
        elif engine == "festival":
            txt = os.path.join(self.tmp, "t.txt")
            with open(txt, "w") as f:
                f.write(text + "\n")
            subprocess.run(["text2wave", "-eval", f"(voice_{name})",
                            "-eval", f"(Parameter.set 'Duration_Stretch {speed})", txt, "-o", raw], check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        else:
            subprocess.run(["espeak-ng", "-v", name, "-s", str(speed), "-p", str(pitch), "-w", raw, text], check=True)
        subprocess.run(["sox", raw, "-r", str(RATE), "-c", "1", "-b", "16", out], check=True)
        x = read(out)
        os.remove(raw)
        os.remove(out)
        return trim(x)


def read(path):
    with wave.open(path) as w:
        return np.frombuffer(w.readframes(w.getnframes()), dtype="<i2").astype(np.float64) / 32768


def write(path, x):
    y = np.clip(np.round(x * 32768), -32768, 32767).astype("<i2")
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(y.tobytes())


def frame_rms(x):
    n = len(x) // 160
    return np.sqrt(np.mean(x[:n * 160].reshape(n, 160) ** 2, axis=1) + 1e-20)


def trim(x):
    """Drops the synthesizer's leading and trailing silence."""
    r = frame_rms(x)
    loud = np.nonzero(r > r.max() * 0.01)[0]
    if len(loud) == 0:
        return x
    return x[max(0, loud[0] * 160 - 800):min(len(x), (loud[-1] + 1) * 160 + 800)]


def active_rms(x):
    """RMS over the frames within 30 dB of the loudest one: the level of the speech itself."""
    r = frame_rms(x)
    return np.sqrt(np.mean(r[r > r.max() * 10 ** (-30 / 20)] ** 2))


def at_level(x, dbfs):
    return x * (10 ** (dbfs / 20) / active_rms(x))


def sox_effect(tmp, x, effect):
    src, dst = os.path.join(tmp, "fx-in.wav"), os.path.join(tmp, "fx-out.wav")
    write(src, x / 4)  # headroom for the effect
    subprocess.run(["sox", src, dst] + effect, check=True)
    return read(dst) * 4


def coloured_noise(rng, kind, n):
    white = rng.standard_normal(n)
    if kind == "white":
        y = white
    else:
        spectrum = np.fft.rfft(white)
        f = np.arange(len(spectrum), dtype=np.float64)
        f[0] = 1
        spectrum /= f ** (0.5 if kind == "pink" else 1.0)
        y = np.fft.irfft(spectrum, n)
        # Brown noise without its lowest rumble, as a microphone would pass it.
        if kind == "brown":
            spectrum = np.fft.rfft(y)
            spectrum[: int(len(spectrum) * 60 / (RATE / 2))] = 0
            y = np.fft.irfft(spectrum, n)
    return y / np.sqrt(np.mean(y ** 2))


class Part:
    def __init__(self, name, args, voices, positives, near_misses, prose, chatter_file, seed):
        self.name = name
        self.dir = os.path.join(args.out, name)
        self.args = args
        self.voices = voices
        self.positives = positives
        self.near_misses = near_misses
        self.prose = sentences(prose)
        self.chatter = sentences([chatter_file])
        self.rng = np.random.default_rng(seed)
        self.manifest = []
        self.babble_voices = [v for v in voices if v[0] != "festival"] or voices
        # Other speech before the phrases: a pool of sentences by the part's
        # voices, said once and reused.
        self.chatter_pool = [(voices[i % len(voices)], self.chatter[(7 * i) % len(self.chatter)]) for i in range(16)]

    def pick(self, items):
        return items[int(self.rng.integers(len(items)))]

    def floor(self, n, level_db):
        """A quiet room: pink noise with a little hum."""
        t = np.arange(n) / RATE
        hum = 0.3 * np.sin(2 * np.pi * 50 * t + self.rng.uniform(0, 6.3))
        y = coloured_noise(self.rng, "pink", n) + hum
        return y / np.sqrt(np.mean(y ** 2)) * 10 ** (level_db / 20)

    def babble(self, synth, n):
        y = np.zeros(n)
        for _ in range(4):
            voice = self.pick(self.babble_voices)
            talker = at_level(synth(voice, self.chatter[int(self.rng.integers(24))]), -30)
            reps = np.tile(talker, n // len(talker) + 2)
            start = int(self.rng.integers(len(talker)))
            y += reps[start:start + n]
        return y / np.sqrt(np.mean(y ** 2))

    def render(self, synth, pieces, condition, level_db, band_limit):
        """pieces: list of (audio or seconds of silence); returns the mixture and
        the sample offsets of each piece."""
        offsets, parts, at = [], [], 0
        for p in pieces:
            seg = np.zeros(int(p * RATE)) if isinstance(p, (int, float)) else at_level(p, level_db)
            offsets.append((at, at + len(seg)))
            parts.append(seg)
            at += len(seg)
        speech = np.concatenate(parts)
        if condition == "reverb":
            speech = sox_effect(synth.tmp, np.concatenate([speech, np.zeros(RATE)]),
                                ["reverb", str(int(self.rng.integers(40, 90))), "50",
                                 str(int(self.rng.integers(50, 100))), "100", str(int(self.rng.integers(5, 30)))])
        n = len(speech)
        mix = speech + self.floor(n, self.rng.uniform(-70, -60))
        if condition.startswith("snr"):
            snr = float(condition[3:])
            kind = self.pick(NOISES)
            noise = self.babble(synth, n) if kind == "babble" else coloured_noise(self.rng, kind, n)
            speech_level = np.mean([active_rms(p) for p in parts if np.any(p)])
            mix += noise * speech_level * 10 ** (-snr / 20)
            condition = f"{condition}-{kind}"
        if band_limit:
            mix = sox_effect(synth.tmp, mix, ["highpass", "200", "lowpass", "5500", "equalizer", "3000", "1q", "4"])
            condition += "-laptop"
        peak = np.max(np.abs(mix))
        if peak > 0.99:  # loud noise at a high level: the microphone's gain would be lower
            mix *= 0.99 / peak
        return mix, offsets, condition

    def make_positives(self, synth, per_condition):
        os.makedirs(os.path.join(self.dir, "positives"), exist_ok=True)
        lead_ins = [1.0, 3.0, 8.0, 20.0]
        k = 0
        for condition in CONDITIONS:
            for i in range(per_condition):
                voice = self.voices[k % len(self.voices)]
                text = self.positives[(k // len(self.voices)) % len(self.positives)]
                other, sentence = self.pick(self.chatter_pool)
                level = float(self.rng.uniform(-40, -26))
                pieces = [lead_ins[k % len(lead_ins)], synth(other, sentence),
                          float(self.rng.uniform(0.8, 2.0)), synth(voice, text), 1.5]
                mix, offsets, cond = self.render(synth, pieces, condition, level, k % 3 == 2)
                name = f"positives/{condition}-{i:03d}.wav"
                write(os.path.join(self.dir, name), mix)
                start, end = offsets[3]
                self.manifest.append(("positive", name, cond, f"{level:.0f}", voice_name(voice), text,
                                      f"{start / RATE:.3f}", f"{end / RATE:.3f}"))
                k += 1
                print(f"{self.name} positive {k}", flush=True)

    def make_near_misses(self, synth):
        os.makedirs(os.path.join(self.dir, "near-miss"), exist_ok=True)
        k = 0
        for text in self.near_misses:
            for r in range(3):
                voice = self.voices[(k + r) % len(self.voices)]
                condition = ["clean", "clean", "reverb"][r]
                level = float(self.rng.uniform(-36, -26))
                pieces = [float(self.rng.uniform(1, 4)), synth(voice, text), 1.5]
                mix, offsets, cond = self.render(synth, pieces, condition, level, False)
                name = f"near-miss/{k:03d}-{r}.wav"
                write(os.path.join(self.dir, name), mix)
                self.manifest.append(("near-miss", name, cond, f"{level:.0f}", voice_name(voice), text,
                                      f"{offsets[1][0] / RATE:.3f}", f"{offsets[1][1] / RATE:.3f}"))
            k += 1
            print(f"{self.name} near miss {k}", flush=True)

    def make_speech(self, synth, minutes):
        os.makedirs(os.path.join(self.dir, "speech"), exist_ok=True)
        total, f, s = 0.0, 0, 0
        while total < minutes * 60:
            pieces = [float(self.rng.uniform(1, 3))]
            voice = self.voices[f % len(self.voices)]
            texts = []
            # About a minute per file, one talker: a few sentences said in one go
            # (the synthesizer's own pauses between them), a pause, and again.
            while sum(len(p) / RATE if not isinstance(p, float) else p for p in pieces) < 60:
                text = " ".join(self.prose[(s + i) % len(self.prose)] for i in range(3))
                s += 3
                texts.append(text)
                pieces += [synth.make(voice, text), float(self.rng.uniform(0.3, 1.5))]
            condition = ["clean", "reverb", "snr20"][f % 3]
            mix, _, cond = self.render(synth, pieces, condition, float(self.rng.uniform(-36, -26)), f % 4 == 3)
            name = f"speech/{f:03d}.wav"
            write(os.path.join(self.dir, name), mix)
            self.manifest.append(("speech", name, cond, "", voice_name(voice), " / ".join(texts)[:200], "", ""))
            total += len(mix) / RATE
            f += 1
            print(f"{self.name} speech {total / 60:.1f} min", flush=True)

    def save(self):
        with open(os.path.join(self.dir, "manifest.tsv"), "w") as f:
            f.write("kind\tfile\tcondition\tlevel_dbfs\tvoice\ttext\tphrase_start\tphrase_end\n")
            for row in self.manifest:
                f.write("\t".join(row) + "\n")


def voice_name(voice):
    engine, name, speed, pitch = voice
    return f"{engine}:{name}:{speed}" + (f":{pitch}" if pitch is not None else "")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("out")
    parser.add_argument("--per-condition", type=int, default=32, help="held-out positives per condition")
    parser.add_argument("--speech-minutes", type=float, default=60, help="held-out ordinary speech")
    parser.add_argument("--parts", default="tuning,heldout")
    parser.add_argument("--kinds", default="positives,near-miss,speech")
    parser.add_argument("--seed", type=int, default=13)
    args = parser.parse_args()
    kinds = args.kinds.split(",")
    with tempfile.TemporaryDirectory(prefix="speech-corpus-") as tmp:
        synth = Synth(tmp)
        for name in args.parts.split(","):
            if name == "tuning":
                part = Part("tuning", args, TUNING_VOICES, TUNING_POSITIVES,
                            TUNING_NEAR_MISSES + TUNING_MORE_NEAR_MISSES, TUNING_PROSE,
                            TUNING_CHATTER_FILE, args.seed)
                per, minutes = max(8, args.per_condition // 2), max(5.0, args.speech_minutes / 4)
            else:
                part = Part("heldout", args, HELDOUT_VOICES, HELDOUT_POSITIVES, HELDOUT_NEAR_MISSES, HELDOUT_PROSE,
                            HELDOUT_CHATTER_FILE, args.seed + 1)
                per, minutes = args.per_condition, args.speech_minutes
            if "positives" in kinds:
                part.make_positives(synth, per)
                part.save()
            if "near-miss" in kinds:
                part.make_near_misses(synth)
                part.save()
            if "speech" in kinds:
                part.make_speech(synth, minutes)
                part.save()


if __name__ == "__main__":
    sys.exit(main())
