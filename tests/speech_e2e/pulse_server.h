#pragma once

// A private PulseAudio server (scripts/private-pulseaudio.sh) that a test can
// stop, restart, freeze and reconfigure, and that is stopped by its pid
// whatever happens to the test.
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"

namespace speechtest {

using namespace std::chrono_literals;

// The full path of a program found on PATH (the name itself when none is).
inline std::string program(const std::string& name) {
    std::istringstream path(getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(path, dir, ':')) {
        const std::string candidate = dir + "/" + name;
        if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return name;
}

class PulseServer {
public:
    explicit PulseServer(std::string script, bool startNow = true) : script_(std::move(script)) {
        char pattern[] = "/tmp/hotword-pulse-XXXXXX";
        if (!mkdtemp(pattern)) return;
        dir_ = pattern;
        if (startNow) start();
    }
    ~PulseServer() {
        if (dir_.empty()) return;
        stop();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    // Starts a server on the same socket; true once it answers.
    bool start() {
        const auto started = testsupport::runToEnd({script_, "start", dir_}, 30s);
        pid_ = started.status == 0 ? std::atoi(started.output.c_str()) : -1;
        error_ = started.error;
        return pid_ > 0;
    }
    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGCONT);
        testsupport::runToEnd({script_, "stop", dir_}, 30s);
        if (::kill(pid_, 0) == 0) ::kill(pid_, SIGKILL);
        pid_ = -1;
    }
    void freeze() const { ::kill(pid_, SIGSTOP); }
    void thaw() const { ::kill(pid_, SIGCONT); }

    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    const std::string& error() const { return error_; }
    const std::string& dir() const { return dir_; }

    std::vector<std::string> clientEnvironment() const {
        return {"PATH=" + std::string(getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin"),
                "PULSE_SERVER=unix:" + dir_ + "/native", "HOME=" + dir_ + "/home",
                "XDG_RUNTIME_DIR=" + dir_ + "/run"};
    }

    // Runs a client program of this server (pactl, paplay) to its end.
    testsupport::RunResult client(std::vector<std::string> argv,
                                  std::chrono::milliseconds timeout = 30s) const {
        argv.at(0) = program(argv.at(0));
        testsupport::ChildProcess child(argv, clientEnvironment());
        child.closeInput();
        testsupport::RunResult result;
        result.output = child.readRemainingOutput(timeout);
        result.status = child.waitForExit(timeout);
        result.error = child.standardError();
        return result;
    }
    bool pactl(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), "pactl");
        return client(arguments).status == 0;
    }

    // Speaks the text into a sink (the default one when empty) with a flite
    // voice over a faint noise floor; returns once it is played.
    bool say(const std::string& voice, const std::string& text, const std::string& sink = "") const {
        const std::string wav = dir_ + "/utterance.wav";
        if (testsupport::runToEnd({script_, "synth", dir_, voice, "1.0", wav, text}, 60s).status != 0) return false;
        std::vector<std::string> play = {"paplay"};
        if (!sink.empty()) play.push_back("--device=" + sink);
        play.push_back(wav);
        return client(play, 60s).status == 0;
    }

    // Speaks the text into the microphone with a flite voice at this stretch
    // (above 1 is slower), over a faint noise floor; returns once it is played.
    bool speak(const std::string& voice, const std::string& stretch, const std::string& text) const {
        return testsupport::runToEnd({script_, "say", dir_, voice, stretch, text}, 60s).status == 0;
    }

    // Writes a room scene (scripts/private-pulseaudio.sh scene) to a file of
    // this server's directory; its path, or nothing on failure.
    std::optional<std::string> scene(double leadSeconds, const std::string& condition, const std::string& voice,
                                     const std::string& stretch, const std::string& text) const {
        const std::string path = dir_ + "/scene.wav";
        const auto made = testsupport::runToEnd(
            {script_, "scene", dir_, std::to_string(leadSeconds), condition, voice, stretch, path, text}, 60s);
        if (made.status != 0) return std::nullopt;
        return path;
    }

    // Plays a file into the microphone; returns once it is played.
    bool play(const std::string& path) const {
        return testsupport::runToEnd({script_, "play", dir_, path}, 90s).status == 0;
    }

    // The name of the source the first capture stream records from, if any.
    std::optional<std::string> captureSource() const {
        const auto outputs = client({"pactl", "list", "short", "source-outputs"}, 5s);
        std::istringstream lines(outputs.output);
        std::string index, sourceIndex;
        if (!(lines >> index >> sourceIndex)) return std::nullopt;
        const auto sources = client({"pactl", "list", "short", "sources"}, 5s);
        std::istringstream sourceLines(sources.output);
        std::string line;
        while (std::getline(sourceLines, line)) {
            std::istringstream fields(line);
            std::string number, name;
            if (fields >> number >> name && number == sourceIndex) return name;
        }
        return std::nullopt;
    }

    // Waits until a capture stream records from `source` (any source when
    // empty); how long that took.
    std::optional<std::chrono::milliseconds> waitForCapture(const std::string& source,
                                                            std::chrono::milliseconds timeout) const {
        const auto begin = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() - begin < timeout) {
            const auto current = captureSource();
            if (current && (source.empty() || *current == source)) {
                return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                             begin);
            }
            std::this_thread::sleep_for(20ms);
        }
        return std::nullopt;
    }

private:
    std::string script_;
    std::string dir_;
    pid_t pid_ = -1;
    std::string error_;
};

}  // namespace speechtest
