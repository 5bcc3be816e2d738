// SIGTERM at random moments while audio flows: every run must exit 0 with
// nothing on standard error (so no sanitizer report, in the asan and tsan
// builds), never hang and never crash. The decoder and audio threads are
// still busy when the main thread ends the process.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "pulse_server.h"

namespace {

using namespace std::chrono_literals;
using speechtest::PulseServer;
using testsupport::ChildProcess;

const std::string agentPath = HOTWORD_AGENT_PATH;
const std::string pulseScript = PRIVATE_PULSEAUDIO_SCRIPT;

// Runs in all, shared by a few agents at a time. An agent under
// ThreadSanitizer starts about four times slower: fewer runs keep the storm
// to a few minutes there too.
#if defined(__SANITIZE_THREAD__)
constexpr int runs = 200;
#else
constexpr int runs = 300;
#endif
constexpr int parallelAgents = 3;

struct Outcome {
    std::mutex mutex;
    int finished = 0;
    int failed = 0;
    int sanitizerReports = 0;
    std::vector<std::string> failures;  // the first few

    void fail(std::string what) {
        const std::lock_guard<std::mutex> lock(mutex);
        ++finished;
        ++failed;
        if (what.find("Sanitizer") != std::string::npos) ++sanitizerReports;
        if (failures.size() < 5) failures.push_back(std::move(what));
    }
};

// One run: the agent starts, and SIGTERM comes at a random moment, either
// while it starts up (after its termination handler is set, which the pid
// line shows) or while it listens.
void runOnce(const PulseServer& server, std::mt19937& random, Outcome& outcome) {
    ChildProcess agent({agentPath, "--locale", "en-US"}, server.clientEnvironment());
    const auto pid = agent.readLine(60s);
    if (pid != "status:pid:" + std::to_string(agent.pid())) {
        return outcome.fail("no pid line: " + agent.standardError());
    }
    int longest = 1000;
    if (std::bernoulli_distribution(0.75)(random)) {
        // While listening, with audio reaching the decoder; half of these
        // right after the first session started, while the decoder builds its
        // language model.
        agent.readLine(60s);
        const auto listening = agent.readLine(60s);
        if (listening != "status:listening:en-US") {
            return outcome.fail("not listening: " + listening.value_or("(nothing)") + "\n" + agent.standardError());
        }
        if (std::bernoulli_distribution(0.5)(random)) longest = 40;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(0, longest)(random)));
    agent.sendSignal(SIGTERM);
    const auto status = agent.waitForExit(60s);
    const std::string error = agent.standardError();
    if (status != 0 || !error.empty()) {
        return outcome.fail("exit status " + (status ? std::to_string(*status) : std::string("(still running)")) +
                            "\n" + error.substr(0, 4000));
    }
    const std::lock_guard<std::mutex> lock(outcome.mutex);
    ++outcome.finished;
}

TEST(SigtermStorm, EveryRunExitsZeroWithNothingOnStandardError) {
    PulseServer server(pulseScript);
    ASSERT_TRUE(server.running()) << server.error();

    // Speech without a wake phrase, played for as long as the storm lasts.
    const std::string sentence = server.dir() + "/sentence.wav";
    const std::string speech = server.dir() + "/speech.wav";
    ASSERT_EQ(testsupport::runToEnd({pulseScript, "synth", server.dir(), "slt", "1.0", sentence,
                                     "the oven is still warm so we can bake the bread after the meeting"},
                                    60s)
                  .status,
              0);
    ASSERT_EQ(testsupport::runToEnd({speechtest::program("sox"), sentence, speech, "repeat", "300"}, 60s).status, 0);
    ChildProcess player({speechtest::program("paplay"), speech}, server.clientEnvironment());

    Outcome outcome;
    std::vector<std::thread> threads;
    for (int slot = 0; slot < parallelAgents; ++slot) {
        threads.emplace_back([&, slot] {
            std::mt19937 random(static_cast<unsigned>(std::random_device{}()) + static_cast<unsigned>(slot));
            for (int run = slot; run < runs; run += parallelAgents) runOnce(server, random, outcome);
        });
    }
    for (auto& thread : threads) thread.join();

    std::cout << "SIGTERM storm: " << outcome.finished << " runs, " << outcome.failed << " failures, "
              << outcome.sanitizerReports << " sanitizer reports\n";
    EXPECT_EQ(player.waitForExit(0ms), std::nullopt) << "the audio stopped before the storm ended";
    EXPECT_EQ(outcome.finished, runs);
    EXPECT_EQ(outcome.failed, 0);
    for (const auto& failure : outcome.failures) ADD_FAILURE() << failure;
}

}  // namespace
