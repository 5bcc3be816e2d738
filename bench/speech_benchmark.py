#!/usr/bin/env python3
"""Wake-phrase benchmark of hotword-agent on synthetic speech.

Plays a corpus through a private PulseAudio server (scripts/private-pulseaudio.sh)
into the real agent and reports hit rate, false accepts per hour, CPU use of
one core while listening, wake latency after the end of the phrase and peak RSS.

Positives: wake phrases said by several flite voices at several speeds, each to
a fresh agent. Negatives: at least ten minutes of speech without a wake phrase
(prose plus everyday sentences with words close to the wake phrase) played to
one listening agent, restarted after any false accept.

With --corpus DIR (a part made by bench/speech_corpus.py, e.g. its held-out
part): plays that corpus instead, each positive and near miss to a fresh agent
(every file starts with its own stretch of room noise and other speech), the
ordinary speech to one listening agent, and reports hits per condition.

Usage: bench/speech_benchmark.py [--agent PATH] [--negative-minutes N] [--quick]
       bench/speech_benchmark.py --corpus DIR [--corpus DIR ...] [--per-condition N] [--near-misses N]
"""
import argparse
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import wave

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PULSE = os.path.join(ROOT, "scripts", "private-pulseaudio.sh")

VOICES = ["slt", "rms", "awb", "kal16"]
STRETCHES = ["0.85", "1.0", "1.15", "1.3"]
# (text, whether it ends with the wake phrase, so latency can be measured)
POSITIVES = [("Hey Orvane", True), ("Hey OrvaneX", True),
             ("ok hey orvane open my notes", False), ("hey orvane what is the weather like", False)]
NEAR_MISSES = [
    "hey there orvane", "orvane hey", "hey orange", "hello world how are you",
    "hey can you pass me the orange juice", "we drove the van over the bridge",
    "the oven is still warm", "it was all in vain", "hey there how are you doing today",
    "orange is my favourite colour", "hey what time is it", "open my notes please",
    "the weather vane on the roof turned", "hey are you coming over tonight",
    "they came over in a van", "heavy rain is on the way", "a raven sat on the fence",
    "hey honey I am home", "every evening we go for a walk", "the organ played all night",
]


LIVE_AGENTS = set()


class Agent:
    """hotword-agent with its lines time-stamped as they arrive."""

    def __init__(self, path, env):
        self.proc = subprocess.Popen([path, "--locale", "en-US"], stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, env=env, text=True)
        LIVE_AGENTS.add(self.proc)
        self.lines = []
        self.cond = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            with self.cond:
                self.lines.append((time.monotonic(), line.rstrip("\n")))
                self.cond.notify_all()
        with self.cond:
            self.cond.notify_all()

    def wait_line(self, text, timeout):
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for stamp, line in self.lines:
                    if line == text:
                        return stamp
                left = deadline - time.monotonic()
                if left <= 0 or self.proc.poll() is not None:
                    return None
                self.cond.wait(left)

    def cpu_seconds(self):
        with open(f"/proc/{self.proc.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def peak_rss_mb(self):
        with open(f"/proc/{self.proc.pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024
        return 0

    def stop(self):
        LIVE_AGENTS.discard(self.proc)
        self.proc.send_signal(signal.SIGTERM)
        try:
            return self.proc.wait(20)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            return None


def speech_end_seconds(path):
    """Seconds from the start of the file to the end of its last loud part."""
    with wave.open(path) as w:
        rate, frames = w.getframerate(), w.readframes(w.getnframes())
    samples = memoryview(frames).cast("h")
    window = rate // 100
    last = 0
    for start in range(0, len(samples) - window, window):
        chunk = samples[start:start + window]
        if max(abs(min(chunk)), max(chunk)) > 1500:
            last = start + window
    return last / rate


def duration(path):
    with wave.open(path) as w:
        return w.getnframes() / w.getframerate()


def synth(work, voice, stretch, text, out):
    subprocess.run([PULSE, "synth", work, voice, stretch, out, text], check=True)


def play(env, path):
    subprocess.run(["paplay", "--latency-msec=20", path], env=env, check=True)


class Listener:
    """A second capture client of the microphone: records when loud audio
    reaches capture clients, so the end of a phrase is timed as the agent
    hears it, whatever the server's buffering."""

    def __init__(self, env):
        self.proc = subprocess.Popen(["parec", "--raw", "--format=s16le", "--rate=16000", "--channels=1",
                                      "--latency-msec=10"], stdout=subprocess.PIPE, env=env)
        self.loud = []
        self.sounding = []  # 10 ms chunks that are not digital silence
        self.lock = threading.Lock()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        while True:
            chunk = self.proc.stdout.read(320)  # 10 ms
            if not chunk:
                return
            samples = memoryview(chunk).cast("h")
            peak = max(abs(min(samples)), max(samples))
            now = time.monotonic()
            with self.lock:
                if peak > 1500:
                    self.loud.append(now)
                if peak > 0:
                    self.sounding.append(now)

    def last_loud(self, since):
        with self.lock:
            stamps = [t for t in self.loud if t >= since]
        return stamps[-1] if stamps else None

    def first_sound(self, since):
        """When a file that starts with room noise began to reach capture
        clients (the microphone is digitally silent between files)."""
        with self.lock:
            stamps = [t for t in self.sounding if t >= since]
        return stamps[0] - 0.01 if stamps else None

    def stop(self):
        self.proc.kill()
        self.proc.wait()


def read_manifest(dirs):
    rows = []
    for d in dirs:
        with open(os.path.join(d, "manifest.tsv")) as f:
            header = f.readline().rstrip("\n").split("\t")
            for line in f:
                row = dict(zip(header, line.rstrip("\n").split("\t")))
                row["path"] = os.path.join(d, row["file"])
                rows.append(row)
    return rows


def ends_with_wake_phrase(text):
    words = re.sub(r"[^a-z ]", "", text.lower()).split()
    return words in (["hey", "orvane"], ["hey", "orvane", "x"])


def run_corpus(args, env):
    rows = read_manifest(args.corpus)
    conditions = ["clean", "reverb", "snr20", "snr10", "snr5"]
    tally = {c: [0, 0] for c in conditions}
    latencies, misses, rss = [], [], []
    positives = [r for r in rows if r["kind"] == "positive"]
    chosen = []
    for c in conditions:
        of_condition = [r for r in positives if r["condition"].split("-")[0] == c]
        chosen += of_condition[:args.per_condition] if args.per_condition else of_condition
    listener = Listener(env)
    for i, row in enumerate(chosen):
        c = row["condition"].split("-")[0]
        agent = Agent(args.agent, env)
        if agent.wait_line("status:listening:en-US", 30) is None:
            sys.exit("the agent did not start listening")
        spawned = time.monotonic()
        play(env, row["path"])
        time.sleep(0.5)
        rss.append(agent.peak_rss_mb())
        agent.stop()
        # File times count from when its first sound reached the microphone.
        started = listener.first_sound(spawned) or spawned
        wakes = [t - started for t, line in agent.lines if line == "wake"]
        start, end = float(row["phrase_start"]), float(row["phrase_end"])
        hit = next((w for w in wakes if start <= w <= end + 2.0), None)
        tally[c][1] += 1
        if hit is not None:
            tally[c][0] += 1
            if ends_with_wake_phrase(row["text"]):
                latencies.append(hit - end)
        else:
            misses.append(f"{row['file']} {row['condition']} {row['voice']}: {row['text']}"
                          + (f" (woke at {wakes[0]:.1f} s, phrase at {start:.1f} s)" if wakes else ""))
        print(f"positive {i + 1}/{len(chosen)} {row['condition']} {row['voice']} {row['text']!r}: "
              f"{'wake' if hit is not None else 'MISS'}", flush=True)
    listener.stop()
    near = [r for r in rows if r["kind"] == "near-miss"]
    if args.near_misses is not None:
        near = near[:args.near_misses]
    near_wakes = []
    for row in near:
        agent = Agent(args.agent, env)
        agent.wait_line("status:listening:en-US", 30)
        play(env, row["path"])
        time.sleep(0.5)
        agent.stop()
        if any(line == "wake" for _, line in agent.lines):
            near_wakes.append(f"{row['voice']}: {row['text']}")
    speech = [r for r in rows if r["kind"] == "speech"]
    speech_seconds, false_accepts, busy_cpu, busy_wall = 0.0, 0, 0.0, 0.0
    if speech:
        agent = Agent(args.agent, env)
        agent.wait_line("status:listening:en-US", 30)
        for row in speech:
            cpu0, wall0 = agent.cpu_seconds(), time.monotonic()
            play(env, row["path"])
            busy_cpu += agent.cpu_seconds() - cpu0
            busy_wall += time.monotonic() - wall0
            speech_seconds += duration(row["path"])
            if agent.wait_line("wake", 0.3) is not None:
                false_accepts += 1
                rss.append(agent.peak_rss_mb())
                agent.stop()
                agent = Agent(args.agent, env)
                agent.wait_line("status:listening:en-US", 30)
        rss.append(agent.peak_rss_mb())
        agent.stop()
    print()
    print("| condition | hits |")
    print("|---|---|")
    for c in conditions:
        h, n = tally[c]
        if n:
            print(f"| {c} | {h}/{n} = {100 * h / n:.0f} % |")
    h, n = sum(t[0] for t in tally.values()), sum(t[1] for t in tally.values())
    if n:
        print(f"| all | {h}/{n} = {100 * h / n:.0f} % |")
    if near:
        print(f"near misses that woke: {len(near_wakes)}/{len(near)}")
    if speech:
        print(f"ordinary speech: {false_accepts} false accepts in {speech_seconds / 60:.1f} min; "
              f"CPU {100 * busy_cpu / max(busy_wall, 1e-9):.1f} % of one core")
    if latencies:
        lat = sorted(latencies)
        p95 = lat[min(len(lat) - 1, int(round(0.95 * (len(lat) - 1))))]
        print(f"wake latency after the phrase (n={len(lat)}): median {1000 * statistics.median(lat):.0f} ms, "
              f"p95 {1000 * p95:.0f} ms, max {1000 * lat[-1]:.0f} ms")
    if rss:
        print(f"peak RSS {max(rss):.1f} MB")
    if misses:
        print("\nmisses:\n  " + "\n  ".join(misses))
    if near_wakes:
        print("\nnear misses that woke:\n  " + "\n  ".join(near_wakes))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--agent", default=os.path.join(ROOT, "build/default/listener/hotword-agent"))
    parser.add_argument("--negative-minutes", type=float, default=10.5)
    parser.add_argument("--quick", action="store_true", help="a few cases only, to try the script")
    parser.add_argument("--corpus", action="append", help="a corpus part made by bench/speech_corpus.py")
    parser.add_argument("--per-condition", type=int, default=0, help="with --corpus: positives per condition")
    parser.add_argument("--near-misses", type=int, help="with --corpus: at most this many near misses")
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="hotword-bench-")
    subprocess.run([PULSE, "start", work], check=True, stdout=subprocess.DEVNULL)
    env = dict(line.split("=", 1) for line in
               subprocess.run([PULSE, "env", work], check=True, capture_output=True, text=True).stdout.split())
    env["PATH"] = os.environ.get("PATH", "/usr/bin:/bin")
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("terminated"))
    try:
        if args.corpus:
            run_corpus(args, env)
        else:
            run(args, work, env)
    finally:
        for proc in LIVE_AGENTS:
            proc.kill()
        subprocess.run([PULSE, "stop", work])
        shutil.rmtree(work, ignore_errors=True)


def run(args, work, env):
    # Positives, each to a fresh agent.
    cases = [(t, e, v, s) for (t, e) in POSITIVES for v in VOICES for s in STRETCHES]
    if args.quick:
        cases = cases[::16]
    hits, latencies, misses, rss = 0, [], [], []
    listener = Listener(env)
    for i, (text, ends_with_phrase, voice, stretch) in enumerate(cases):
        wav = os.path.join(work, "positive.wav")
        synth(work, voice, stretch, text, wav)
        agent = Agent(args.agent, env)
        if agent.wait_line("status:listening:en-US", 30) is None:
            sys.exit("the agent did not start listening")
        started = time.monotonic()
        play(env, wav)
        woke = agent.wait_line("wake", 5)
        time.sleep(0.2)
        phrase_end = listener.last_loud(started)
        rss.append(agent.peak_rss_mb())
        agent.stop()
        if woke is not None:
            hits += 1
            if ends_with_phrase and phrase_end is not None:
                latencies.append(woke - phrase_end)
        else:
            misses.append(f"{voice} x{stretch}: {text}")
        print(f"positive {i + 1}/{len(cases)} {voice} x{stretch} {text!r}: "
              f"{'wake' if woke else 'MISS'}", flush=True)

    listener.stop()

    # Negatives: prose and near misses to one listening agent.
    with open("/usr/share/common-licenses/GPL-3") as f:
        prose = re.sub(r"\s+", " ", f.read())
    sentences = [s.strip() for s in re.split(r"(?<=[.;:])\s", prose) if 20 < len(s.strip()) < 300]
    sentences = [re.sub(r"[^A-Za-z0-9,.' ]", " ", s) for s in sentences]
    agent = Agent(args.agent, env)
    agent.wait_line("status:listening:en-US", 30)
    # Idle listening first: CPU with nothing said.
    idle_start_cpu, idle_start = agent.cpu_seconds(), time.monotonic()
    time.sleep(10 if args.quick else 30)
    idle_cpu = (agent.cpu_seconds() - idle_start_cpu) / (time.monotonic() - idle_start) * 100
    negative_seconds, false_accepts, fa_texts = 0.0, 0, []
    busy_cpu, busy_wall = 0.0, 0.0
    target = (1.0 if args.quick else args.negative_minutes) * 60
    n = 0
    while negative_seconds < target:
        if n % 3 == 2:
            text = NEAR_MISSES[(n // 3) % len(NEAR_MISSES)]
        else:
            text = sentences[n % len(sentences)]
        voice, stretch = VOICES[n % len(VOICES)], STRETCHES[(n // len(VOICES)) % len(STRETCHES)]
        wav = os.path.join(work, "negative.wav")
        synth(work, voice, stretch, text, wav)
        cpu0, wall0 = agent.cpu_seconds(), time.monotonic()
        play(env, wav)
        time.sleep(0.3)
        busy_cpu += agent.cpu_seconds() - cpu0
        busy_wall += time.monotonic() - wall0
        negative_seconds += speech_end_seconds(wav) - 0.7
        n += 1
        if agent.wait_line("wake", 0.01) is not None:
            false_accepts += 1
            fa_texts.append(f"{voice} x{stretch}: {text}")
            rss.append(agent.peak_rss_mb())
            agent.stop()
            agent = Agent(args.agent, env)
            agent.wait_line("status:listening:en-US", 30)
    rss.append(agent.peak_rss_mb())
    agent.stop()

    hours = negative_seconds / 3600
    print()
    print("| measure | result | goal |")
    print("|---|---|---|")
    print(f"| hit rate | {hits}/{len(cases)} = {100 * hits / len(cases):.1f} % | >= 90 % |")
    print(f"| false accepts | {false_accepts} in {negative_seconds / 60:.1f} min of speech = "
          f"{false_accepts / hours:.1f} per hour | <= 1 per hour |")
    print(f"| CPU, listening with nothing said | {idle_cpu:.1f} % of one core | <= 5 % |")
    print(f"| CPU, listening to continuous speech | {100 * busy_cpu / busy_wall:.1f} % of one core | <= 5 % |")
    if latencies:
        lat = sorted(latencies)
        p95 = lat[min(len(lat) - 1, int(round(0.95 * (len(lat) - 1))))]
        print(f"| wake latency after the phrase (n={len(lat)}) | median {1000 * statistics.median(lat):.0f} ms, "
              f"max {1000 * lat[-1]:.0f} ms, "
              f"p95 {1000 * p95:.0f} ms | p95 <= 500 ms |")
    print(f"| peak RSS | {max(rss):.1f} MB | <= 100 MB |")
    if misses:
        print("\nmisses:\n  " + "\n  ".join(misses))
    if fa_texts:
        print("\nfalse accepts:\n  " + "\n  ".join(fa_texts))


if __name__ == "__main__":
    main()
