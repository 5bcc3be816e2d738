"""Log-mel features of the wake-phrase model; phrase_features.cpp computes the same."""
import numpy as np

RATE = 16000
FRAME = 400     # 25 ms
HOP = 160       # 10 ms
FFT = 512
BANDS = 40
LOW_HZ, HIGH_HZ = 60.0, 7600.0
FLOOR = 1e-8
WINDOW_FRAMES = 160   # the model looks at the last 1.6 s


def mel(f):
    return 2595.0 * np.log10(1.0 + f / 700.0)


def filterbank():
    bins = np.arange(FFT // 2 + 1) * RATE / FFT
    edges = np.linspace(mel(LOW_HZ), mel(HIGH_HZ), BANDS + 2)
    m = mel(bins)
    fb = np.zeros((BANDS, len(bins)))
    for b in range(BANDS):
        lo, mid, hi = edges[b], edges[b + 1], edges[b + 2]
        rise = (m - lo) / (mid - lo)
        fall = (hi - m) / (hi - mid)
        fb[b] = np.clip(np.minimum(rise, fall), 0, None)
    return fb.astype(np.float32)


FILTERBANK = filterbank()
HANN = (0.5 - 0.5 * np.cos(2 * np.pi * np.arange(FRAME) / FRAME)).astype(np.float32)


def log_mel(samples):
    """samples: int16 (or float in int16 units); one row per 10 ms frame."""
    x = np.asarray(samples, dtype=np.float32) / 32768.0
    n = 0 if len(x) < FRAME else 1 + (len(x) - FRAME) // HOP
    if n == 0:
        return np.zeros((0, BANDS), np.float32)
    idx = np.arange(FRAME)[None, :] + HOP * np.arange(n)[:, None]
    frames = x[idx] * HANN
    power = np.abs(np.fft.rfft(frames, FFT, axis=1)) ** 2
    return np.log(power.astype(np.float32) @ FILTERBANK.T + FLOOR).astype(np.float32)


def normalise(window):
    """A window of frames (time x bands) as the model takes it: each band
    relative to its mean over the window, so that level and a fixed channel
    colouring do not matter."""
    return window - window.mean(axis=0, keepdims=True)


def reference_signal():
    """Two seconds of a rising tone over noise; the C++ test makes the same."""
    n = 2 * RATE
    state = 12345
    out = np.zeros(n, np.int16)
    for i in range(n):
        state = (state * 1664525 + 1013904223) % (1 << 32)
        noise = (state >> 16) % 201 - 100
        tone = 8000.0 * np.sin(2 * np.pi * (200.0 + 1500.0 * i / n) * i / RATE)
        out[i] = int(np.round(tone)) + noise
    return out


REFERENCE_ROWS = [0, 57, 159]
