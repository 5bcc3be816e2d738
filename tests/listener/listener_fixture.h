#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "wake_word_listener.h"

namespace hotword::testing {

namespace fake = platform::fake;

// Collects output lines in order; any thread may write.
class LineRecorder {
public:
    LineSink sink() {
        return [this](std::string_view line) {
            const std::lock_guard<std::mutex> lock(mutex_);
            lines_.emplace_back(line);
        };
    }
    std::vector<std::string> lines() const {
        const std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// A fake backend, a line recorder and (once made) a listener. At the end the
// listener and the backend are released and every platform object they
// handed out must be gone.
class ListenerTest : public ::testing::Test {
protected:
    ListenerTest() : fake_(std::make_unique<fake::FakePlatform>()), counts_(fake_->counts) {}

    void TearDown() override {
        listener.reset();
        fake_.reset();
        EXPECT_THAT(counts_->leaks(), ::testing::IsEmpty());
    }

    std::shared_ptr<WakeWordListener> makeListener(const std::string& requestedLocale = "en-US") {
        listener = WakeWordListener::create(requestedLocale, fake_->mainQueue, fake_->speech, recorder.sink());
        return listener;
    }

    // A listener in en-US whose start() succeeded.
    void startListening() {
        speech().setRecognizer("en-US", {});
        makeListener("en-US");
        listener->start();
        ASSERT_EQ(lines(), std::vector<std::string>{"status:listening:en-US"});
        ASSERT_NE(speech().lastTask(), nullptr);
    }

    std::vector<std::string> lines() const { return recorder.lines(); }
    fake::FakeSpeechServices& speech() { return *fake_->speech; }
    fake::FakeMainQueue& mainQueue() { return *fake_->mainQueue; }
    fake::FakeAudioEngine& engine() { return *fake_->speech->engine(); }
    const fake::ObjectCounts& counts() const { return *counts_; }

    LineRecorder recorder;
    std::unique_ptr<fake::FakePlatform> fake_;
    std::shared_ptr<fake::ObjectCounts> counts_;
    std::shared_ptr<WakeWordListener> listener;
};

}  // namespace hotword::testing
