#!/usr/bin/python3
"""Synthesizes the clean speech the wake-phrase model is trained on.

Voices: flite's five, festival's ked diphone voice, and espeak-ng's English
dialects with its voice variants at several rates and pitches. None of the
held-out corpus's voices (bench/speech_corpus.py) is used, nor any text of its
near misses: every word that only the held-out near misses use is left out.
Of the tuning part's near misses, only the flite benchmark's are trained on.
"Hey" followed by words that sound like "or vane" is a wake phrase, never a
near miss.

Writes OUT (a .npz): the clips as 16 kHz int16 arrays, each with its kind
("positive", "near", "prose") and, for positives, where the wake phrase ends.

Usage: make_training_audio.py OUT [--positives N] [--near N] [--continued N] [--prose N]
"""
import argparse
import multiprocessing
import os
import re
import subprocess
import sys
import tempfile
import wave

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "..", "..", "..", "bench"))
from speech_corpus import HELDOUT_NEAR_MISSES, NEAR_MISSES, TUNING_NEAR_MISSES, sentences  # noqa: E402
import features  # noqa: E402

RATE = 16000
DICTIONARY = "/usr/share/pocketsphinx/model/en-us/cmudict-en-us.dict"
ORVANE = ["AO", "R", "V", "EY", "N"]

ESPEAK_DIALECTS = ["en-us", "en", "en-gb-x-gbclan", "en-gb-x-gbcwmd", "en-us-nyc"]
# Variants that the held-out corpus speaks with are not trained on.
HELDOUT_VARIANTS = {"m6", "f4", "m2", "f2"}
FLITE_VOICES = ["kal", "kal16", "awb", "rms", "slt"]

PROSE_FILES = ["/usr/share/common-licenses/GPL-3", "/usr/share/common-licenses/GPL-2",
               "/usr/share/common-licenses/LGPL-2.1", "/usr/share/common-licenses/BSD"]

# "or vane" is how the name sounds when said with a pause before its "v"
# (festival's HTS voice does so): the same phrase, not a near miss.
PHRASES = ["hey orvane", "hey orvane", "Hey Orvane", "hey orvane x", "Hey OrvaneX", "hey orvanex", "hey or vane"]
# Words that sound like "or" and like "vane": "hey" with one of each is the
# wake phrase itself, whatever its spelling.
OR_SOUNDS = {"or", "ore", "oar"}
VANE_SOUNDS = {"vane", "vain", "vein"}
COMMANDS = ["", "", "", "open my notes", "what time is it", "set a timer", "read my messages",
            "turn it down", "play the news", "call home"]
LEAD_INS = ["", "", "", "", "so", "okay", "well", "and"]


def words(text):
    return re.findall(r"[a-z']+", text.lower())


def espeak_variants():
    names = sorted(os.listdir("/usr/lib/x86_64-linux-gnu/espeak-ng-data/voices/!v"))
    return [n for n in names if n not in HELDOUT_VARIANTS]


def edit_distance(a, b):
    d = list(range(len(b) + 1))
    for i, x in enumerate(a, 1):
        prev, d[0] = d[0], i
        for j, y in enumerate(b, 1):
            prev, d[j] = d[j], min(d[j] + 1, d[j - 1] + 1, prev + (x != y))
    return d[len(b)]


def dictionary_words(banned):
    """The dictionary's words (first pronunciations, letters only) with their
    phones, except the banned ones."""
    with open(DICTIONARY) as f:
        for line in f:
            parts = line.split()
            if "(" not in parts[0] and parts[0].isalpha() and parts[0] not in banned:
                yield parts[0], parts[1:]


def confusable_words(banned):
    """Dictionary words that sound close to "orvane"."""
    return sorted(set(word for word, phones in dictionary_words(banned)
                      if 3 <= len(phones) <= 7 and edit_distance(phones, ORVANE) <= (3 if len(phones) >= 5 else 2)))


def words_only_in(held_back):
    """Words of the texts held back from training that the training's own
    near misses do not use (and not the commonest little words)."""
    return set(w for t in held_back for w in words(t)) - set(w for t in NEAR_MISSES for w in words(t)) - \
        {"hey", "a", "the", "is", "are", "or"}


def near_miss_texts(rng):
    banned = words_only_in(HELDOUT_NEAR_MISSES)
    close = confusable_words(banned)
    greetings = ["hey", "hey", "hey", "hi", "hello", "okay", "say", "they", "hay", "oh hey"]
    texts = list(NEAR_MISSES)
    for word in close:
        texts.append(f"{rng.choice(greetings)} {word}")
        if rng.random() < 0.3:
            texts.append(f"{word} is here")
    for other in ["hi", "hello", "okay", "say", "they", "hey there", "oh", "and", "hey the"]:
        texts.append(f"{other} orvane")
    texts += ["orvane", "orvane hey", "hey", "hey hey", "hey you", "hey over", "hey or", "or vane",
              "hey vane", "hey over vain"]
    # "hey" before everyday words, and words before "vane".
    common = [w for s in sentences(PROSE_FILES[:1]) for w in words(s) if len(w) > 2]
    for _ in range(150):
        texts.append(f"hey {common[int(rng.integers(len(common)))]}")
    for word in ["or", "our", "are", "for", "more", "four", "ore", "oar", "door", "war"]:
        ending = rng.choice(['vane', 'vain', 'vein', 'van', 'fine', 'wane', 'rain', 'plane'])
        if word in OR_SOUNDS and ending in VANE_SOUNDS:
            ending = "van"
        texts.append(f"hey {word} {ending}")
    texts = [t for t in texts if not banned.intersection(words(t))]
    return texts


def openers(banned):
    """Dictionary words of two to seven phones that begin the way "orvane"
    does: "er", or an "aw", "ah" or "oh" sound before "r", "l" or "v"."""
    return sorted(set(word for word, phones in dictionary_words(banned) if 2 <= len(phones) <= 7 and
                      phones[0] in ("AO", "AA", "OW", "ER") and (phones[0] == "ER" or phones[1] in ("R", "L", "V"))))


def continued_near_miss_texts(rng, n):
    """Near misses that go on after the word like "orvane": "hey or with this",
    "okay over hacker". A window that ends
    inside them sounds like the phrase for a moment. Words that only the
    held-out or the tuning part's own near misses use are left out."""
    banned = words_only_in(HELDOUT_NEAR_MISSES + TUNING_NEAR_MISSES)
    # Short everyday words, words that begin like the name, words that sound
    # like it: a third each.
    firsts = [["or", "are", "all", "over", "ore", "oar", "off", "on", "ah", "oh", "awe", "ever"],
              openers(banned), confusable_words(banned)]
    greetings = ["hey", "hey", "hey", "hey", "oh hey", "hi", "okay", ""]
    prose = [words(s) for s in sentences(PROSE_FILES)]
    texts = []
    while len(texts) < n:
        sentence = prose[int(rng.integers(len(prose)))]
        start = int(rng.integers(len(sentence)))
        rest = sentence[start:start + int(rng.integers(1, 5))]
        first = firsts[int(rng.integers(len(firsts)))]
        word = first[int(rng.integers(len(first)))]
        if banned.intersection(rest) or (word in OR_SOUNDS and rest[0] in VANE_SOUNDS):
            continue
        texts.append(" ".join(w for w in (rng.choice(greetings), word, *rest) if w))
    return texts


def voices(rng, n):
    out = []
    variants = espeak_variants()
    for i in range(n):
        r = i % 10
        if r < 2:
            out.append(("flite", FLITE_VOICES[int(rng.integers(len(FLITE_VOICES)))], float(rng.uniform(0.8, 1.25)),
                        None))
        elif r < 3:
            out.append(("festival", "ked_diphone", float(rng.uniform(0.85, 1.2)), None))
        else:
            dialect = ESPEAK_DIALECTS[int(rng.integers(len(ESPEAK_DIALECTS)))]
            variant = variants[int(rng.integers(len(variants)))]
            out.append(("espeak", f"{dialect}+{variant}", int(rng.integers(125, 200)), int(rng.integers(20, 85))))
    return out


def read(path):
    with wave.open(path) as w:
        return np.frombuffer(w.readframes(w.getnframes()), dtype="<i2")


def synthesize(job):
    voice, text = job
    engine, name, speed, pitch = voice
    with tempfile.TemporaryDirectory(prefix="phrase-model-") as tmp:
        raw, out = os.path.join(tmp, "raw.wav"), os.path.join(tmp, "out.wav")
        if engine == "flite":
            cmd = ["flite", "-voice", name, "--setf", f"duration_stretch={speed}", "-t", text, "-o", raw]
        elif engine == "festival":
            with open(os.path.join(tmp, "t.txt"), "w") as f:
                f.write(text + "\n")
            cmd = ["text2wave", "-eval", f"({'voice_' + name})", "-eval",
                   f"(Parameter.set 'Duration_Stretch {speed})", os.path.join(tmp, "t.txt"), "-o", raw]
        else:
            cmd = ["espeak-ng", "-v", name, "-s", str(speed), "-p", str(pitch), "-w", raw, text]
        subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["sox", "-v", "0.7", raw, "-r", str(RATE), "-c", "1", "-b", "16", out], check=True,
                       stderr=subprocess.DEVNULL)
        x = read(out).astype(np.float64)
    # Without the synthesizer's leading and trailing silence.
    n = len(x) // 160
    r = np.sqrt(np.mean(x[:n * 160].reshape(n, 160) ** 2, axis=1) + 1e-9)
    loud = np.nonzero(r > r.max() * 0.01)[0]
    if len(loud):
        x = x[max(0, loud[0] * 160 - 480):min(len(x), (loud[-1] + 1) * 160 + 480)]
    return x.astype(np.int16)


def locate(phrase, sentence):
    """Where a phrase said alone lies in a sentence said by the same voice:
    subsequence dynamic time warping of their log-mel frames (each path step
    moves on one frame of the sentence, the phrase, or both). Returns the
    sample offsets of its start and end."""
    a, b = features.log_mel(phrase), features.log_mel(sentence)
    a, b = a - a.mean(axis=0), b - b.mean(axis=0)
    cost = np.sqrt(((a[:, None, :] - b[None, :, :]) ** 2).sum(axis=2))
    n, m = cost.shape
    total = np.full((n, m), np.inf)
    first = np.zeros((n, m), np.int64)
    total[0], first[0] = cost[0], np.arange(m)
    for i in range(1, n):
        options = np.full((3, m), np.inf)
        starts = np.zeros((3, m), np.int64)
        options[0, 1:], starts[0, 1:] = total[i - 1, :-1], first[i - 1, :-1]
        options[1, 2:], starts[1, 2:] = total[i - 1, :-2] + cost[i, 1:-1], first[i - 1, :-2]
        if i >= 2:
            options[2, 1:], starts[2, 1:] = total[i - 2, :-1] + cost[i - 1, 1:], first[i - 2, :-1]
        best = np.argmin(options, axis=0)
        total[i] = options[best, np.arange(m)] + cost[i]
        first[i] = starts[best, np.arange(m)]
    last = int(np.argmin(total[n - 1]))
    return int(first[n - 1, last]) * features.HOP, last * features.HOP + features.FRAME


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("out")
    parser.add_argument("--positives", type=int, default=1600)
    parser.add_argument("--near", type=int, default=2400)
    parser.add_argument("--prose", type=int, default=1600)
    parser.add_argument("--continued", type=int, default=0,
                        help="near misses that go on after a word like \"orvane\" (continued_near_miss_texts)")
    parser.add_argument("--prose-words", default="4,14", help="words per prose clip: MIN,MAX")
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--whole-sentences", type=float, default=0.0,
                        help="share of positives with a lead-in or command said as one sentence")
    args = parser.parse_args()
    rng = np.random.default_rng(args.seed)

    jobs, kinds, extras = [], [], []
    # Positives: the phrase alone, and a lead-in and a command synthesized
    # separately by the same voice and joined on; or (--whole-sentences) all
    # said as one sentence, with the phrase found in it by its clip alone.
    for voice in voices(rng, args.positives):
        # As the listener's wake phrases are written, and as they may be said.
        phrase = PHRASES[int(rng.integers(len(PHRASES)))]
        lead = LEAD_INS[int(rng.integers(len(LEAD_INS)))]
        command = COMMANDS[int(rng.integers(len(COMMANDS)))]
        jobs.append((voice, phrase))
        kinds.append("positive")
        extras.append((lead, command))
    near = near_miss_texts(rng)
    for i, voice in enumerate(voices(rng, args.near)):
        jobs.append((voice, near[i % len(near)]))
        kinds.append("near")
        extras.append(("", ""))
    for voice, text in zip(voices(rng, args.continued), continued_near_miss_texts(rng, args.continued)):
        jobs.append((voice, text))
        kinds.append("near")
        extras.append(("", ""))
    prose = sentences(PROSE_FILES)
    fewest, most = (int(n) for n in args.prose_words.split(","))
    for voice in voices(rng, args.prose):
        start = int(rng.integers(len(prose)))
        text = " ".join(prose[start:start + 4]).split()
        jobs.append((voice, " ".join(text[:int(rng.integers(fewest, most + 1))])))
        kinds.append("prose")
        extras.append(("", ""))
    side = []
    for i, (lead, command) in enumerate(extras):
        if (lead or command) and rng.random() < args.whole_sentences:
            side.append((i, "sentence", (jobs[i][0], " ".join(w for w in (lead, jobs[i][1], command) if w))))
            continue
        if lead:
            side.append((i, "lead", (jobs[i][0], lead)))
        if command:
            side.append((i, "command", (jobs[i][0], command)))

    with multiprocessing.Pool(os.cpu_count()) as pool:
        clips = pool.map(synthesize, jobs, chunksize=8)
        side_clips = pool.map(synthesize, [s[2] for s in side], chunksize=8)
    said = {(i, what): c for (i, what, _), c in zip(side, side_clips)}

    audio, starts, ends = [], [], []
    for i, clip in enumerate(clips):
        start, end = -1, -1
        if (i, "sentence") in said:
            # Said in one go, the phrase runs into the words around it.
            whole = said[i, "sentence"]
            start, end = locate(clip, whole)
        else:
            pieces = []
            if (i, "lead") in said:
                pieces += [said[i, "lead"], np.zeros(int(rng.integers(800, 3200)), np.int16)]
            if kinds[i] == "positive":
                start = sum(len(p) for p in pieces)
                end = start + len(clip)
            pieces.append(clip)
            if (i, "command") in said:
                pieces += [np.zeros(int(rng.integers(0, 2400)), np.int16), said[i, "command"]]
            whole = np.concatenate(pieces)
        audio.append(whole)
        starts.append(start)
        ends.append(end)
    texts = [text for _, text in jobs]
    lengths = np.array([len(a) for a in audio])
    np.savez_compressed(args.out, audio=np.concatenate(audio), lengths=lengths, kinds=np.array(kinds),
                        starts=np.array(starts), ends=np.array(ends), texts=np.array(texts),
                        voices=np.array([f"{v[0]}:{v[1]}:{v[2]}:{v[3]}" for v, _ in jobs]))
    print(f"{len(audio)} clips, {lengths.sum() / RATE / 60:.1f} min, {len(near)} near-miss texts")


if __name__ == "__main__":
    sys.exit(main())
