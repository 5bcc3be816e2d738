#!/usr/bin/python3
"""Trains the wake-phrase model on the clips of make_training_audio.py and
writes its weights as C++ (phrase_model_weights.cpp).

Every example is a 1.6 s window of log-mel frames (features.py) of a clip,
most clips played 0.85 to 1.15 times as fast (other speakers' pitch, formants
and pace), put in a room: a level from -20 to -45 dBFS, a quiet floor, and at random a
synthetic room response, background noise (white, pink, brown or babble of
other clips) at -2 to 25 dB SNR, and a band limit like a laptop microphone's.
Positive windows end just after a whole wake phrase; negative ones are near
misses, prose, noise, and wake phrases cut before their last syllable. While
training, half of the windows lose a few bands and frames.

Usage: train.py TRAINING.npz[,MORE.npz] [--out phrase_model_weights.cpp] [--epochs N]
       train.py TRAINING.npz --score CORPUS_DIR --model model.pt   (per-file peak scores)
"""
import argparse
import os
import sys
import time

import numpy as np
import torch
from torch import nn

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "..", "..", "bench"))
import features  # noqa: E402
from speech_corpus import coloured_noise  # noqa: E402

RATE = features.RATE
W = features.WINDOW_FRAMES
W_SAMPLES = (W - 1) * features.HOP + features.FRAME


class PhraseModel(nn.Module):
    """Four 1-D convolutions over time (bands as channels), then two dense layers."""

    LAYERS = [(features.BANDS, 48, 5, 2), (48, 48, 5, 2), (48, 64, 5, 2), (64, 64, 3, 2)]
    HIDDEN = 64

    def __init__(self):
        super().__init__()
        convs = []
        for cin, cout, k, s in self.LAYERS:
            convs += [nn.Conv1d(cin, cout, k, s, k // 2), nn.BatchNorm1d(cout), nn.ReLU()]
        self.convs = nn.Sequential(*convs)
        t = W
        for _, _, k, s in self.LAYERS:
            t = (t + 2 * (k // 2) - k) // s + 1
        self.steps = t
        self.dense = nn.Sequential(nn.Flatten(), nn.Dropout(0.3), nn.Linear(self.LAYERS[-1][1] * t, self.HIDDEN),
                                   nn.ReLU(), nn.Linear(self.HIDDEN, 1))

    def forward(self, x):  # x: batch x time x bands
        return self.dense(self.convs(x.transpose(1, 2))).squeeze(1)


# ---- rooms ----------------------------------------------------------------

def pow2(n):
    return 1 << int(np.ceil(np.log2(max(n, 2))))


def coloured(rng, kind, n):
    # The corpus's noise, made at a power-of-two length: numpy's FFT is many
    # times slower on the odd lengths of clips.
    y = coloured_noise(rng, kind, pow2(n))[:n]
    return y / (np.sqrt(np.mean(y ** 2)) + 1e-12)


def active_rms(x):
    n = len(x) // 160
    if n == 0:
        return 1e-9
    r = np.sqrt(np.mean(x[:n * 160].reshape(n, 160) ** 2, axis=1) + 1e-20)
    return float(np.sqrt(np.mean(r[r > r.max() * 10 ** (-30 / 20)] ** 2)))


def room_response(rng):
    rt60 = rng.uniform(0.15, 0.8)
    n = int(RATE * rt60)
    t = np.arange(n) / RATE
    tail = rng.standard_normal(n) * np.exp(-6.9 * t / rt60)
    tail[: int(RATE * rng.uniform(0.002, 0.01))] = 0
    h = tail * rng.uniform(0.1, 0.5)
    h[0] = 1.0
    return h / np.sqrt(np.sum(h ** 2))


def change_speed(x, factor):
    """x played factor times faster: shorter, higher in pitch and formants, as
    if said by a smaller (factor > 1) or larger speaker more quickly or slowly."""
    size = pow2(len(x))
    out = int(round(size / factor))
    s = np.fft.rfft(x, size)
    keep = min(len(s), out // 2 + 1)
    return np.fft.irfft(s[:keep], out)[: int(len(x) / factor)] * (out / size)


def fft_filter(x, fn):
    size = pow2(len(x))
    s = np.fft.rfft(x, size)
    f = np.fft.rfftfreq(size, 1 / RATE)
    return np.fft.irfft(s * fn(f), size)[: len(x)]


class Rooms:
    def __init__(self, data, rng):
        self.rng = rng
        self.data = data
        self.prose = [i for i, k in enumerate(data.kinds) if k == "prose"]

    def clip(self, i):
        return self.data.clip(i).astype(np.float64)

    def babble(self, n):
        y = np.zeros(n)
        for _ in range(int(self.rng.integers(3, 6))):
            c = self.clip(self.prose[int(self.rng.integers(len(self.prose)))])
            c = c / (active_rms(c) + 1e-9)
            reps = np.tile(c, n // len(c) + 2)
            s = int(self.rng.integers(len(c)))
            y += reps[s:s + n]
        return y / (np.sqrt(np.mean(y ** 2)) + 1e-12)

    def render(self, speech):
        """speech: float samples (int16 units, any level); returns int16-unit samples in a random room."""
        rng = self.rng
        level = 32768 * 10 ** (rng.uniform(-45, -20) / 20)
        x = speech / (active_rms(speech) + 1e-9) * level
        if rng.random() < 0.35:
            h = room_response(rng)
            size = pow2(len(x) + len(h))
            x = np.fft.irfft(np.fft.rfft(x, size) * np.fft.rfft(h, size), size)[: len(x)]
            x *= level / (active_rms(x) + 1e-9)
        n = len(x)
        mix = x + coloured(rng, "pink", n) * 32768 * 10 ** (rng.uniform(-72, -55) / 20)
        if rng.random() < 0.6:
            kind = ["white", "pink", "brown", "babble"][int(rng.integers(4))]
            noise = self.babble(n) if kind == "babble" else coloured(rng, kind, n)
            mix += noise * level * 10 ** (-rng.uniform(-2, 25) / 20)
        if rng.random() < 0.3:
            lo, hi = rng.uniform(120, 350), rng.uniform(3400, 6500)
            mix = fft_filter(mix, lambda f: 1 / (1 + (lo / np.maximum(f, 1)) ** 4) / (1 + (f / hi) ** 8))
        peak = np.max(np.abs(mix))
        if peak > 32000:
            mix *= 32000 / peak
        return np.round(mix)


class Clips:
    """The clips of one or more files of make_training_audio.py (paths joined by commas)."""

    def __init__(self, paths):
        parts = [np.load(p) for p in paths.split(",")]
        join = lambda key: np.concatenate([d[key] for d in parts])  # noqa: E731
        self.audio = join("audio")
        self.lengths = join("lengths")
        self.offsets = np.concatenate([[0], np.cumsum(self.lengths)])
        self.kinds = join("kinds")
        self.starts = join("starts")
        self.ends = join("ends")
        self.texts = join("texts")
        self.voices = join("voices")

    def clip(self, i):
        return self.audio[self.offsets[i]:self.offsets[i + 1]]


def window_ending(feats, end_frame):
    w = feats[max(0, end_frame - W):end_frame]
    if len(w) < W:
        w = np.concatenate([np.repeat(w[:1], W - len(w), axis=0), w])
    return features.normalise(w)


def _examples_chunk(job):
    path, indices, seed, repeats, miner_path = job
    miner = None
    if miner_path:
        torch.set_num_threads(1)
        miner = PhraseModel()
        miner.load_state_dict(torch.load(miner_path))
        miner.eval()
    return examples(Clips(path), indices, np.random.default_rng(seed), repeats, miner)


def parallel_examples(path, indices, seed, repeats, miner_path=None):
    import multiprocessing
    chunks = [(path, c, seed * 1000 + k, repeats, miner_path)
              for k, c in enumerate(np.array_split(indices, 16)) if len(c)]
    # Spawned, not forked: the workers may run torch.
    with multiprocessing.get_context("spawn").Pool(os.cpu_count()) as pool:
        parts = pool.map(_examples_chunk, chunks)
    return np.concatenate([p[0] for p in parts]), np.concatenate([p[1] for p in parts])


def hardest_window(miner, feats, first, last):
    """Of the windows ending at frames first..last (every 5th), the one the
    miner scores highest, with its score."""
    ends = list(range(max(first, 1), min(last, len(feats)) + 1, 5))
    if not ends:
        return None, 0.0
    batch = np.stack([window_ending(feats, e) for e in ends]).astype(np.float32)
    with torch.no_grad():
        scores = torch.sigmoid(miner(torch.from_numpy(batch))).numpy()
    best = int(np.argmax(scores))
    return batch[best], float(scores[best])


def examples(data, indices, rng, repeats, miner=None):
    """Windows of the clips in random rooms, with their labels. With a miner
    (a trained model), every negative clip also gives the window of it that
    the miner scores highest, when that score is not low: the moments of near
    misses and speech that come closest to the phrase."""
    rooms = Rooms(data, rng)
    xs, ys = [], []
    for _ in range(repeats):
        for i in indices:
            clip = rooms.clip(i)
            # Speakers the synthesizers do not have: most clips faster or
            # slower, with their pitch and formants moved with the speed.
            speed = rng.uniform(0.85, 1.15) if rng.random() < 0.7 else 1.0
            if speed != 1.0:
                clip = change_speed(clip, speed)
            # Room before the clip, sometimes with other speech in it.
            lead = np.zeros(int(RATE * rng.uniform(0.3, 1.8)))
            if rng.random() < 0.35:
                other = rooms.clip(rooms.prose[int(rng.integers(len(rooms.prose)))])
                lead = np.concatenate([other * rng.uniform(0.5, 1.5), lead])
            tail = np.zeros(int(RATE * 0.5))
            audio = rooms.render(np.concatenate([lead, clip, tail]))
            feats = features.log_mel(audio)
            base = len(lead)
            to_frame = lambda sample: int((sample - features.FRAME) // features.HOP + 1)  # noqa: E731
            if data.kinds[i] == "positive":
                start, end = base + data.starts[i] / speed, base + data.ends[i] / speed
                e = to_frame(end + rng.uniform(0.02, 0.35) * RATE)
                if e - W <= to_frame(start):  # the whole phrase is in the window
                    xs.append(window_ending(feats, e))
                    ys.append(1.0)
                cut = 0.25 if data.texts[i].lower().endswith("orvane") else 0.6
                e = to_frame(end - rng.uniform(cut, cut + 0.45) * RATE)
                if e > to_frame(start) + 10:
                    xs.append(window_ending(feats, e))
                    ys.append(0.0)
            else:
                end = base + len(clip)
                xs.append(window_ending(feats, to_frame(end + rng.uniform(0.0, 0.35) * RATE)))
                ys.append(0.0)
                # Anywhere in the clip; prose twice, being most of what a
                # listening agent hears.
                for _ in range(2 if data.kinds[i] == "prose" else 1):
                    e = int(rng.integers(to_frame(base) + 20, to_frame(end + 0.3 * RATE) + 1))
                    xs.append(window_ending(feats, min(e, len(feats))))
                    ys.append(0.0)
                if miner is not None:
                    window, score = hardest_window(miner, feats, to_frame(base) + 20, to_frame(end + 0.35 * RATE))
                    if score >= HARD_SCORE:
                        xs.append(window)
                        ys.append(0.0)
    return np.stack(xs).astype(np.float32), np.array(ys, np.float32)


# A negative window the miner scores at least this high is hard enough to add.
HARD_SCORE = 0.05


def mask_bands_and_frames(x):
    """Half of the windows lose a few bands and a few frames (set to the
    window's mean), so that no one band or moment decides."""
    b, t, f = x.shape
    width = torch.randint(0, 6, (b, 1, 1))
    first = (torch.rand(b, 1, 1) * (f - width + 1)).long()
    bands = torch.arange(f)[None, None, :]
    frames_width = torch.randint(0, 13, (b, 1, 1))
    first_frame = (torch.rand(b, 1, 1) * (t - frames_width + 1)).long()
    frames = torch.arange(t)[:, None][None]
    masked = ((bands >= first) & (bands < first + width)) | \
        ((frames >= first_frame) & (frames < first_frame + frames_width))
    return x.masked_fill(masked & (torch.rand(b, 1, 1) < 0.5), 0.0)


def export(model, path):
    model.eval()
    lines = ["// Generated by train.py from the wake-phrase model's training run. Do not edit.",
             '#include "phrase_model_weights.h"', "", "namespace hotword::speech::phrase_model {", ""]
    arrays = []
    convs = [m for m in model.convs if isinstance(m, nn.Conv1d)]
    norms = [m for m in model.convs if isinstance(m, nn.BatchNorm1d)]
    for n, (conv, bn) in enumerate(zip(convs, norms)):
        # Batch normalisation folded into the convolution.
        scale = (bn.weight / torch.sqrt(bn.running_var + bn.eps)).detach()
        w = conv.weight.detach() * scale[:, None, None]          # out x in x k
        b = (conv.bias.detach() - bn.running_mean) * scale + bn.bias.detach()
        arrays += [(f"conv{n}Weights", w.permute(2, 1, 0).contiguous()),  # k x in x out
                   (f"conv{n}Bias", b)]
    d1, d2 = [m for m in model.dense if isinstance(m, nn.Linear)]
    # Flatten order in torch is channel-major (channel x time); stored time-major.
    c, t = model.LAYERS[-1][1], model.steps
    w1 = d1.weight.detach().reshape(-1, c, t).permute(2, 1, 0).contiguous()  # time x channel x hidden
    arrays += [("dense0Weights", w1), ("dense0Bias", d1.bias.detach()),
               ("dense1Weights", d2.weight.detach()), ("dense1Bias", d2.bias.detach())]
    # The features and the score of a known signal, for the C++ code to match.
    feats = features.log_mel(features.reference_signal())
    window = features.normalise(feats[:W])
    with torch.no_grad():
        probability = torch.sigmoid(model(torch.from_numpy(window[None].astype(np.float32)))).item()
    arrays += [("referenceRows", torch.from_numpy(feats[features.REFERENCE_ROWS].copy())),
               ("referenceProbability", torch.tensor([probability]))]
    for name, a in arrays:
        flat = a.reshape(-1).numpy()
        body = ",\n".join("    " + ", ".join(f"{v:.8g}f" for v in flat[i:i + 8]) for i in range(0, len(flat), 8))
        lines += [f"const float {name}[{len(flat)}] = {{", body, "};", ""]
    lines.append("}  // namespace hotword::speech::phrase_model")
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def score_corpus(model, corpus):
    """Peak score of every corpus file, stepping 10 frames like the agent."""
    import wave
    model.eval()
    out = []
    with open(os.path.join(corpus, "manifest.tsv")) as f:
        rows = [line.rstrip("\n").split("\t") for line in f][1:]
    for row in rows:
        kind, name = row[0], row[1]
        with wave.open(os.path.join(corpus, name)) as w:
            x = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2")
        feats = features.log_mel(x)
        ends = list(range(W, len(feats) + 1, 10))
        batch = np.stack([features.normalise(feats[e - W:e]) for e in ends]).astype(np.float32)
        with torch.no_grad():
            s = torch.sigmoid(model(torch.from_numpy(batch))).numpy()
        times = np.array(ends) * features.HOP / RATE
        if kind == "positive":
            start, end = float(row[6]), float(row[7])
            inside = (times > start) & (times < end + 0.6)
            before = times < start
            out.append((kind, row[2], float(s[inside].max()), float(s[before].max(initial=0)), name, row[5]))
        elif kind == "speech":
            # Separate events: scores at or over 0.5 more than 1.5 s apart, each with its peak.
            events, last = [], -10.0
            for t, v in zip(times, s):
                if v >= 0.5:
                    if t - last > 1.5:
                        events.append(float(v))
                    else:
                        events[-1] = max(events[-1], float(v))
                    last = t
            out.append((kind, row[2], len(x) / RATE, " ".join(f"{v:.3f}" for v in events), name, ""))
        else:
            out.append((kind, row[2], float(s.max()), 0.0, name, row[5]))
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("data")
    parser.add_argument("--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                      "phrase_model_weights.cpp"))
    parser.add_argument("--model", default="/tmp/phrase_model.pt")
    parser.add_argument("--epochs", type=int, default=18)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--seed", type=int, default=12)
    parser.add_argument("--score", help="a corpus part: print peak scores instead of training")
    parser.add_argument("--export", action="store_true", help="only write the weights of --model as C++")
    parser.add_argument("--hard", help="a trained model: add the windows of negative clips it scores highest")
    args = parser.parse_args()
    torch.set_num_threads(os.cpu_count())
    torch.manual_seed(args.seed)
    rng = np.random.default_rng(args.seed)
    data = Clips(args.data)
    model = PhraseModel()
    if args.export:
        model.load_state_dict(torch.load(args.model))
        export(model, args.out)
        return 0
    if args.score:
        model.load_state_dict(torch.load(args.model))
        for row in score_corpus(model, args.score):
            print("\t".join(str(v) for v in row))
        return 0

    # Validation: the clips of one voice in ten.
    voice_ids = {v: k for k, v in enumerate(sorted(set(data.voices)))}
    valid = np.array([voice_ids[v] % 10 == 3 for v in data.voices])
    t0 = time.time()
    xt, yt = parallel_examples(args.data, np.nonzero(~valid)[0], args.seed, args.repeats, args.hard)
    xv, yv = parallel_examples(args.data, np.nonzero(valid)[0], args.seed + 1, 1, args.hard)
    print(f"examples: train {len(yt)} ({yt.mean():.2f} positive), valid {len(yv)}; {time.time() - t0:.0f} s",
          flush=True)
    xt, yt, xv, yv = map(torch.from_numpy, (xt, yt, xv, yv))
    opt = torch.optim.AdamW(model.parameters(), lr=2e-3, weight_decay=1e-3)
    sched = torch.optim.lr_scheduler.OneCycleLR(opt, max_lr=3e-3, total_steps=args.epochs * (len(yt) // 128 + 1))
    loss_fn = nn.BCEWithLogitsLoss()
    for epoch in range(args.epochs):
        model.train()
        perm = torch.randperm(len(yt))
        total = 0.0
        for b in range(0, len(yt), 128):
            idx = perm[b:b + 128]
            opt.zero_grad()
            loss = loss_fn(model(mask_bands_and_frames(xt[idx])), yt[idx])
            loss.backward()
            opt.step()
            sched.step()
            total += loss.item() * len(idx)
        model.eval()
        with torch.no_grad():
            sv = torch.sigmoid(model(xv))
        pos, neg = sv[yv == 1], sv[yv == 0]
        print(f"epoch {epoch}: loss {total / len(yt):.4f}; valid: positives >0.5 {(pos > 0.5).float().mean():.3f}, "
              f"negatives >0.5 {(neg > 0.5).float().mean():.4f}; {time.time() - t0:.0f} s", flush=True)
    torch.save(model.state_dict(), args.model)
    export(model, args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
