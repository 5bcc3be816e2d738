#include "pulse_audio_engine.h"

#include <pulse/pulseaudio.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "pcm_buffer.h"

namespace hotword::speech {

namespace {

using platform::AudioFormat;

// How long the engine waits for the server to answer before giving up.
constexpr pa_usec_t answerTimeout = 5 * PA_USEC_PER_SEC;

class PulseAudioEngine final : public platform::AudioEngine {
public:
    PulseAudioEngine() = default;
    ~PulseAudioEngine() override {
        stop();
        if (loop_) {
            pa_threaded_mainloop_lock(loop_);
            if (context_) {
                pa_context_set_state_callback(context_, nullptr, nullptr);
                pa_context_disconnect(context_);
                pa_context_unref(context_);
            }
            pa_threaded_mainloop_unlock(loop_);
            pa_threaded_mainloop_stop(loop_);
            pa_threaded_mainloop_free(loop_);
        }
    }
    PulseAudioEngine(const PulseAudioEngine&) = delete;
    PulseAudioEngine& operator=(const PulseAudioEngine&) = delete;

    AudioFormat inputFormat(int bus) override {
        if (bus != 0) return {};
        Locked locked(*this);
        if (!connect()) return {};

        struct Query {
            pa_threaded_mainloop* loop = nullptr;
            bool done = false;
            std::string source;
            AudioFormat format;
        } query;
        query.loop = loop_;
        pa_operation* operation = pa_context_get_server_info(
            context_,
            [](pa_context*, const pa_server_info* info, void* userdata) {
                auto* q = static_cast<Query*>(userdata);
                if (info && info->default_source_name) q->source = info->default_source_name;
                q->done = true;
                pa_threaded_mainloop_signal(q->loop, 0);
            },
            &query);
        if (!finish(operation, [&] { return query.done; }) || query.source.empty()) return {};

        query.done = false;
        operation = pa_context_get_source_info_by_name(
            context_, query.source.c_str(),
            [](pa_context*, const pa_source_info* info, int eol, void* userdata) {
                auto* q = static_cast<Query*>(userdata);
                if (info && eol == 0) {
                    q->format.sampleRate = info->sample_spec.rate;
                    q->format.channelCount = info->sample_spec.channels;
                }
                if (eol != 0) {
                    q->done = true;
                    pa_threaded_mainloop_signal(q->loop, 0);
                }
            },
            &query);
        if (!finish(operation, [&] { return query.done; })) return {};
        return query.format;
    }

    void installTap(int bus, std::uint32_t bufferSize, AudioFormat format, platform::TapBlock block) override {
        if (bus != 0) return;
        std::lock_guard lock(tapMutex_);
        tap_ = std::move(block);
        tapFrames_ = bufferSize > 0 ? bufferSize : 1024;
        tapFormat_ = format;
    }

    void removeTap(int bus) override {
        if (bus != 0) return;
        std::lock_guard lock(tapMutex_);
        tap_ = nullptr;
    }

    void prepare() override {}

    bool start() override {
        AudioFormat format;
        std::uint32_t frames = 0;
        {
            std::lock_guard lock(tapMutex_);
            format = tapFormat_;
            frames = tapFrames_;
        }
        Locked locked(*this);
        if (stream_) return running_;
        if (!connect() || format.sampleRate <= 0 || format.channelCount == 0 ||
            format.channelCount > PA_CHANNELS_MAX) {
            return false;
        }
        pa_sample_spec sampleSpec{PA_SAMPLE_FLOAT32NE, static_cast<std::uint32_t>(format.sampleRate),
                            static_cast<std::uint8_t>(format.channelCount)};
        if (!pa_sample_spec_valid(&sampleSpec)) return false;
        pa_channel_map map;
        pa_channel_map_init_extend(&map, sampleSpec.channels, PA_CHANNEL_MAP_DEFAULT);
        stream_ = pa_stream_new(context_, "wake-phrase capture", &sampleSpec, &map);
        if (!stream_) return false;
        capturedChannels_ = sampleSpec.channels;
        captured_.clear();
        pa_stream_set_state_callback(stream_, &PulseAudioEngine::streamStateChanged, this);
        pa_stream_set_read_callback(stream_, &PulseAudioEngine::readable, this);
        pa_buffer_attr attributes{};
        attributes.maxlength = static_cast<std::uint32_t>(-1);
        attributes.tlength = static_cast<std::uint32_t>(-1);
        attributes.prebuf = static_cast<std::uint32_t>(-1);
        attributes.minreq = static_cast<std::uint32_t>(-1);
        attributes.fragsize = frames * static_cast<std::uint32_t>(pa_frame_size(&sampleSpec));
        if (pa_stream_connect_record(stream_, nullptr, &attributes, PA_STREAM_ADJUST_LATENCY) < 0) {
            dropStream();
            return false;
        }
        waitFor([&] {
            const auto state = pa_stream_get_state(stream_);
            return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
        });
        if (pa_stream_get_state(stream_) != PA_STREAM_READY) {
            dropStream();
            return false;
        }
        running_ = true;
        return true;
    }

    bool isRunning() override { return running_.load(); }

    void stop() override {
        if (!loop_) return;
        Locked locked(*this);
        dropStream();
    }

private:
    // Holds the PulseAudio thread's lock, as every use of its objects must.
    class Locked {
    public:
        explicit Locked(PulseAudioEngine& engine) : engine_(engine) {
            if (!engine_.loop_) {
                engine_.loop_ = pa_threaded_mainloop_new();
                if (engine_.loop_ && pa_threaded_mainloop_start(engine_.loop_) < 0) {
                    pa_threaded_mainloop_free(engine_.loop_);
                    engine_.loop_ = nullptr;
                }
            }
            if (engine_.loop_) pa_threaded_mainloop_lock(engine_.loop_);
        }
        ~Locked() {
            if (engine_.loop_) pa_threaded_mainloop_unlock(engine_.loop_);
        }
        Locked(const Locked&) = delete;
        Locked& operator=(const Locked&) = delete;

    private:
        PulseAudioEngine& engine_;
    };

    // Waits on the PulseAudio thread's signal until `done` holds or the
    // server takes too long; false on a timeout.
    bool waitFor(const std::function<bool()>& done) {
        bool timedOut = false;
        struct Alarm {
            pa_threaded_mainloop* loop;
            bool* timedOut;
        } alarm{loop_, &timedOut};
        pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
        pa_time_event* timer = api->time_new(
            api, nullptr,
            [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
                auto* a = static_cast<Alarm*>(userdata);
                *a->timedOut = true;
                pa_threaded_mainloop_signal(a->loop, 0);
            },
            &alarm);
        struct timeval deadline;
        pa_timeval_add(pa_gettimeofday(&deadline), answerTimeout);
        api->time_restart(timer, &deadline);
        while (!done() && !timedOut) pa_threaded_mainloop_wait(loop_);
        api->time_free(timer);
        return done();
    }

    bool finish(pa_operation* operation, const std::function<bool()>& done) {
        if (!operation) return false;
        const bool answered = waitFor([&] {
            return done() || pa_operation_get_state(operation) != PA_OPERATION_RUNNING;
        });
        if (!answered) pa_operation_cancel(operation);
        pa_operation_unref(operation);
        return done();
    }

    // A context that is ready, made anew when the last one failed. Never
    // starts a server.
    bool connect() {
        if (!loop_) return false;
        if (context_ && pa_context_get_state(context_) == PA_CONTEXT_READY) return true;
        if (context_) {
            dropStream();
            pa_context_set_state_callback(context_, nullptr, nullptr);
            pa_context_disconnect(context_);
            pa_context_unref(context_);
            context_ = nullptr;
        }
        context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "hotword-agent");
        if (!context_) return false;
        pa_context_set_state_callback(context_, &PulseAudioEngine::contextStateChanged, this);
        if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return false;
        waitFor([&] {
            const auto state = pa_context_get_state(context_);
            return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
        });
        return pa_context_get_state(context_) == PA_CONTEXT_READY;
    }

    void dropStream() {
        running_ = false;
        if (!stream_) return;
        pa_stream_set_state_callback(stream_, nullptr, nullptr);
        pa_stream_set_read_callback(stream_, nullptr, nullptr);
        if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
        stream_ = nullptr;
    }

    static void contextStateChanged(pa_context* context, void* userdata) {
        auto* engine = static_cast<PulseAudioEngine*>(userdata);
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) engine->running_ = false;
        pa_threaded_mainloop_signal(engine->loop_, 0);
    }

    static void streamStateChanged(pa_stream* stream, void* userdata) {
        auto* engine = static_cast<PulseAudioEngine*>(userdata);
        if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) engine->running_ = false;
        pa_threaded_mainloop_signal(engine->loop_, 0);
    }

    // On the PulseAudio thread: gathers the captured samples and hands them
    // to the tap in buffers of its size.
    static void readable(pa_stream* stream, std::size_t, void* userdata) {
        auto* engine = static_cast<PulseAudioEngine*>(userdata);
        const void* data = nullptr;
        std::size_t bytes = 0;
        while (pa_stream_readable_size(stream) > 0) {
            if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) return;
            if (data) {
                const auto* samples = static_cast<const float*>(data);
                engine->captured_.insert(engine->captured_.end(), samples, samples + bytes / sizeof(float));
            }
            pa_stream_drop(stream);
        }
        engine->deliverCaptured();
    }

    void deliverCaptured() {
        std::lock_guard lock(tapMutex_);
        const std::size_t chunk = static_cast<std::size_t>(tapFrames_) * capturedChannels_;
        std::size_t at = 0;
        while (captured_.size() - at >= chunk) {
            if (tap_) {
                const PcmBuffer buffer(tapFormat_, std::vector<float>(captured_.begin() + static_cast<std::ptrdiff_t>(at),
                                                                      captured_.begin() + static_cast<std::ptrdiff_t>(at + chunk)));
                tap_(buffer);
            }
            at += chunk;
        }
        captured_.erase(captured_.begin(), captured_.begin() + static_cast<std::ptrdiff_t>(at));
    }

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
    std::atomic<bool> running_{false};

    std::mutex tapMutex_;  // guards the tap; held while it runs
    platform::TapBlock tap_;
    std::uint32_t tapFrames_ = 1024;
    AudioFormat tapFormat_;
    std::uint32_t capturedChannels_ = 0;  // PulseAudio thread only, like captured_
    std::vector<float> captured_;
};

}  // namespace

std::shared_ptr<platform::AudioEngine> makePulseAudioEngine() { return std::make_shared<PulseAudioEngine>(); }

}  // namespace hotword::speech

#if defined(__SANITIZE_THREAD__)
// libpulse is not built with ThreadSanitizer: it publishes its lazily made
// mutexes through atomics the sanitizer cannot see, which reads as a race in
// pa_mutex_lock. Its own synchronization is not ours to check.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libpulsecommon\n"
           "race:libpulse.so\n";
}
#endif
