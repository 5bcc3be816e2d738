#include "pulse_audio_engine.h"

#include <pulse/pulseaudio.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "pcm_buffer.h"

namespace hotword::speech {

namespace {

using platform::AudioFormat;

// The longest the main thread waits for the server, per call: a slow or hung
// server must never keep the main loop from its signals and timers.
constexpr pa_usec_t mainThreadWait = 250 * PA_USEC_PER_MSEC;
// Reconnection attempts start this soon after a loss and back off to the
// longest delay; a working stream resets the delay.
constexpr pa_usec_t firstRetryDelay = 100 * PA_USEC_PER_MSEC;
constexpr pa_usec_t longestRetryDelay = 1 * PA_USEC_PER_SEC;
// The format reported while a server that exists has not answered yet. The
// stream always asks the server for the tap's format, so the server converts
// whatever the source delivers.
constexpr AudioFormat provisionalFormat{16000, 1};
// The size of the cookie of the native protocol.
constexpr std::size_t cookieLength = 256;

// What the engine knows of the server.
enum class ServerState {
    unknown,     // not connected yet, or a connection attempt under way
    absent,      // no server answered the last attempt
    noSource,    // connected; there is no default source
    ready,       // connected; the default source's format is known
};

class PulseAudioEngine final : public platform::AudioEngine {
public:
    PulseAudioEngine() = default;
    ~PulseAudioEngine() override {
        if (!loop_) return;
        pa_threaded_mainloop_lock(loop_);
        wanted_ = false;
        cancelRetry();
        dropStream();
        dropContext();
        pa_threaded_mainloop_unlock(loop_);
        pa_threaded_mainloop_stop(loop_);
        pa_threaded_mainloop_free(loop_);
        if (cookie_ >= 0) close(cookie_);
    }
    PulseAudioEngine(const PulseAudioEngine&) = delete;
    PulseAudioEngine& operator=(const PulseAudioEngine&) = delete;

    AudioFormat inputFormat(int bus) override {
        if (bus != 0 || !startLoop()) return {};
        Locked locked(loop_);
        if (!context_ || serverState_ == ServerState::absent) {
            cancelRetry();
            connectContext();
        }
        waitFor([&] { return serverState_ != ServerState::unknown; });
        switch (serverState_) {
            case ServerState::ready: return sourceFormat_;
            case ServerState::absent:
            case ServerState::noSource: return {};
            case ServerState::unknown: break;
        }
        // A server exists but is slow to answer: not a final failure.
        return provisionalFormat;
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
        if (!sampleSpec() || !startLoop()) return false;
        Locked locked(loop_);
        if (wanted_) return true;
        wanted_ = true;
        refused_ = false;
        retryDelay_ = firstRetryDelay;
        if (serverState_ == ServerState::ready) {
            openStream();
            // A stream the server refuses at once is the engine failing to
            // start; one that is slow to come up goes on in the background.
            waitFor([&] { return !stream_ || pa_stream_get_state(stream_) != PA_STREAM_CREATING || refused_; });
            if (refused_) {
                wanted_ = false;
                cancelRetry();
                return false;
            }
        } else if (!context_ || serverState_ == ServerState::absent) {
            cancelRetry();
            connectContext();
        }
        return true;
    }

    // Started and not stopped, whether or not a server is there right now.
    bool isRunning() override { return wanted_.load(); }

    void stop() override {
        if (!loop_) return;
        Locked locked(loop_);
        wanted_ = false;
        cancelRetry();
        dropStream();
    }

private:
    class Locked {
    public:
        explicit Locked(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
        ~Locked() { pa_threaded_mainloop_unlock(loop_); }
        Locked(const Locked&) = delete;
        Locked& operator=(const Locked&) = delete;

    private:
        pa_threaded_mainloop* loop_;
    };

    bool startLoop() {
        if (loop_) return true;
        loop_ = pa_threaded_mainloop_new();
        if (!loop_) return false;
        pa_threaded_mainloop_set_name(loop_, "hotword-audio");
        if (pa_threaded_mainloop_start(loop_) < 0) {
            pa_threaded_mainloop_free(loop_);
            loop_ = nullptr;
            return false;
        }
        return true;
    }

    std::optional<pa_sample_spec> sampleSpec() {
        std::lock_guard lock(tapMutex_);
        if (!(tapFormat_.sampleRate > 0) || tapFormat_.sampleRate > PA_RATE_MAX || tapFormat_.channelCount == 0 ||
            tapFormat_.channelCount > PA_CHANNELS_MAX) {
            return std::nullopt;
        }
        pa_sample_spec wanted{PA_SAMPLE_FLOAT32NE, static_cast<std::uint32_t>(tapFormat_.sampleRate),
                            static_cast<std::uint8_t>(tapFormat_.channelCount)};
        if (!pa_sample_spec_valid(&wanted)) return std::nullopt;
        return wanted;
    }

    // With the loop locked, on the main thread: waits on the PulseAudio
    // thread's signal until `done` holds or mainThreadWait has passed.
    void waitFor(const std::function<bool()>& done) {
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
        pa_timeval_add(pa_gettimeofday(&deadline), mainThreadWait);
        api->time_restart(timer, &deadline);
        while (!done() && !timedOut) pa_threaded_mainloop_wait(loop_);
        api->time_free(timer);
    }

    // The cookie the library sends to the server: an anonymous memory file of
    // zeros. Without one, libpulse creates a cookie file in the user's home
    // directory, or logs on standard error when it cannot. Local servers
    // authorize by the peer's credentials.
    const char* cookiePath() {
        if (cookie_ < 0) {
            cookie_ = memfd_create("pulse-cookie", MFD_CLOEXEC);
            if (cookie_ < 0) return nullptr;
            const std::vector<char> zeros(cookieLength, 0);
            if (write(cookie_, zeros.data(), zeros.size()) != static_cast<ssize_t>(zeros.size())) {
                close(cookie_);
                cookie_ = -1;
                return nullptr;
            }
            std::snprintf(cookiePath_, sizeof cookiePath_, "/proc/self/fd/%d", cookie_);
        }
        return cookiePath_;
    }

    // Everything below runs with the loop locked: on the PulseAudio thread
    // (callbacks) or on the main thread inside Locked.

    void connectContext() {
        dropStream();
        dropContext();
        serverState_ = ServerState::unknown;
        context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "hotword-agent");
        if (!context_) return lost();
        if (const char* cookie = cookiePath()) pa_context_load_cookie_from_file(context_, cookie);
        pa_context_set_state_callback(context_, &PulseAudioEngine::contextStateChanged, this);
        // Never starts a server.
        if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) lost();
    }

    void dropContext() {
        if (!context_) return;
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_set_subscribe_callback(context_, nullptr, nullptr);
        pa_context_disconnect(context_);
        pa_context_unref(context_);
        context_ = nullptr;
    }

    // The server went away or never answered: try again later.
    void lost() {
        dropStream();
        dropContext();
        serverState_ = ServerState::absent;
        pa_threaded_mainloop_signal(loop_, 0);
        if (wanted_) scheduleRetry();
    }

    void scheduleRetry() {
        if (retry_) return;
        pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
        struct timeval deadline;
        pa_timeval_add(pa_gettimeofday(&deadline), retryDelay_);
        retryDelay_ = std::min(retryDelay_ * 2, longestRetryDelay);
        retry_ = api->time_new(
            api, &deadline,
            [](pa_mainloop_api* a, pa_time_event* event, const struct timeval*, void* userdata) {
                auto* engine = static_cast<PulseAudioEngine*>(userdata);
                a->time_free(event);
                engine->retry_ = nullptr;
                engine->retry();
            },
            this);
    }

    void cancelRetry() {
        if (!retry_) return;
        pa_threaded_mainloop_get_api(loop_)->time_free(retry_);
        retry_ = nullptr;
    }

    void retry() {
        if (!wanted_) return;
        if (!context_ || !PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) return connectContext();
        if (pa_context_get_state(context_) == PA_CONTEXT_READY && !stream_) queryServer();
    }

    void queryServer() {
        if (pa_operation* operation = pa_context_get_server_info(context_, &PulseAudioEngine::serverInfo, this)) {
            pa_operation_unref(operation);
        }
    }

    static void contextStateChanged(pa_context* context, void* userdata) {
        auto* engine = static_cast<PulseAudioEngine*>(userdata);
        switch (pa_context_get_state(context)) {
            case PA_CONTEXT_READY:
                pa_context_set_subscribe_callback(context, &PulseAudioEngine::serverEvent, engine);
                if (pa_operation* operation = pa_context_subscribe(
                        context,
                        static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SOURCE),
                        nullptr, nullptr)) {
                    pa_operation_unref(operation);
                }
                engine->queryServer();
                break;
            case PA_CONTEXT_FAILED:
            case PA_CONTEXT_TERMINATED:
                engine->lost();
                break;
            default:
                break;
        }
    }

    // The default source may have changed, or a source came or went.
    static void serverEvent(pa_context*, pa_subscription_event_type_t type, std::uint32_t, void* userdata) {
        auto* engine = static_cast<PulseAudioEngine*>(userdata);
        const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
        const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
        if (facility == PA_SUBSCRIPTION_EVENT_SERVER ||
            (facility == PA_SUBSCRIPTION_EVENT_SOURCE && kind == PA_SUBSCRIPTION_EVENT_NEW && !engine->stream_)) {
            engine->queryServer();
        }
    }

    static void serverInfo(pa_context* context, const pa_server_info* info, void* userdata) {
        auto* engine = static_cast<PulseAudioEngine*>(userdata);
        if (context != engine->context_) return;
        const std::string source = info && info->default_source_name ? info->default_source_name : "";
        if (source.empty()) {
            engine->serverState_ = ServerState::noSource;
            engine->dropStream();
            pa_threaded_mainloop_signal(engine->loop_, 0);
            return;  // a source that appears is announced by an event
        }
        if (engine->stream_ && engine->streamSource_ == source) return;
        if (pa_operation* operation =
                pa_context_get_source_info_by_name(context, source.c_str(), &PulseAudioEngine::sourceInfo, engine)) {
            pa_operation_unref(operation);
        }
    }

    static void sourceInfo(pa_context* context, const pa_source_info* info, int eol, void* userdata) {
        auto* engine = static_cast<PulseAudioEngine*>(userdata);
        if (context != engine->context_ || eol != 0 || !info) {
            // No such source (it went away between the two answers): the
            // server announces the next default.
            if (eol < 0 && context == engine->context_ && engine->serverState_ == ServerState::unknown) {
                engine->serverState_ = ServerState::noSource;
                pa_threaded_mainloop_signal(engine->loop_, 0);
            }
            return;
        }
        engine->sourceFormat_ = AudioFormat{static_cast<double>(info->sample_spec.rate), info->sample_spec.channels};
        engine->serverState_ = ServerState::ready;
        pa_threaded_mainloop_signal(engine->loop_, 0);
        if (!engine->wanted_) return;
        // Follow the default source: a stream on another one is replaced.
        if (engine->stream_ && engine->streamSource_ == info->name) return;
        engine->openStream(info->name);
    }

    // A record stream in the tap's format on the source (the default one
    // when none is named); the server converts from the source's format.
    void openStream(const char* source = nullptr) {
        dropStream();
        const auto format = sampleSpec();
        if (!format || !context_ || pa_context_get_state(context_) != PA_CONTEXT_READY) return;
        std::uint32_t frames = 0;
        {
            std::lock_guard lock(tapMutex_);
            frames = tapFrames_;
        }
        pa_channel_map map;
        pa_channel_map_init_extend(&map, format->channels, PA_CHANNEL_MAP_DEFAULT);
        stream_ = pa_stream_new(context_, "wake-phrase capture", &*format, &map);
        if (!stream_) return scheduleRetry();
        capturedChannels_ = format->channels;
        captured_.clear();
        streamSource_ = source ? source : "";
        pa_stream_set_state_callback(stream_, &PulseAudioEngine::streamStateChanged, this);
        pa_stream_set_read_callback(stream_, &PulseAudioEngine::readable, this);
        pa_buffer_attr attributes{};
        attributes.maxlength = static_cast<std::uint32_t>(-1);
        attributes.tlength = static_cast<std::uint32_t>(-1);
        attributes.prebuf = static_cast<std::uint32_t>(-1);
        attributes.minreq = static_cast<std::uint32_t>(-1);
        attributes.fragsize = frames * static_cast<std::uint32_t>(pa_frame_size(&*format));
        if (pa_stream_connect_record(stream_, source, &attributes, PA_STREAM_ADJUST_LATENCY) < 0) {
            dropStream();
            scheduleRetry();
        }
    }

    void dropStream() {
        streamReady_ = false;
        if (!stream_) return;
        pa_stream_set_state_callback(stream_, nullptr, nullptr);
        pa_stream_set_read_callback(stream_, nullptr, nullptr);
        if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
        stream_ = nullptr;
        streamSource_.clear();
    }

    static void streamStateChanged(pa_stream* stream, void* userdata) {
        auto* engine = static_cast<PulseAudioEngine*>(userdata);
        switch (pa_stream_get_state(stream)) {
            case PA_STREAM_READY:
                engine->streamReady_ = true;
                engine->retryDelay_ = firstRetryDelay;
                if (const char* device = pa_stream_get_device_name(stream)) engine->streamSource_ = device;
                pa_threaded_mainloop_signal(engine->loop_, 0);
                break;
            case PA_STREAM_FAILED:
            case PA_STREAM_TERMINATED: {
                // The source went away, or the server ended the stream.
                const bool wasReady = engine->streamReady_;
                engine->dropStream();
                if (!wasReady) engine->refused_ = true;
                pa_threaded_mainloop_signal(engine->loop_, 0);
                if (engine->wanted_) engine->scheduleRetry();
                break;
            }
            default:
                break;
        }
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

    pa_threaded_mainloop* loop_ = nullptr;  // made on first use, on the main thread

    // Guarded by the loop's lock.
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
    std::string streamSource_;
    pa_time_event* retry_ = nullptr;
    pa_usec_t retryDelay_ = firstRetryDelay;
    ServerState serverState_ = ServerState::unknown;
    AudioFormat sourceFormat_;
    bool streamReady_ = false;
    bool refused_ = false;  // the server ended a stream before it was ready
    int cookie_ = -1;
    char cookiePath_[48] = {};

    std::atomic<bool> wanted_{false};  // between start() and stop(); written with the loop locked

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
