#include "platform/hal/pulse/DeviceIOSession.h"

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/mainloop-api.h>
#include <pulse/rtclock.h>
#include <pulse/stream.h>
#include <pulse/subscribe.h>
#include <pulse/timeval.h>
#include <sched.h>

#include <algorithm>
#include <ctime>

#include "platform/hal/pulse/LoopTimer.h"

namespace brimo::hal::pulse {

namespace {

constexpr auto streamFlags =
    static_cast<pa_stream_flags_t>(PA_STREAM_DONT_MOVE | PA_STREAM_ADJUST_LATENCY |
                                   PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_INTERPOLATE_TIMING);

constexpr pa_usec_t kResumeSettleMicros = 200'000;
constexpr pa_usec_t kDeafnessCheckMicros = 1'000'000;
constexpr int kDeafnessChecks = 5;
constexpr int kMostResumeReconnects = 4;
constexpr double kStartUpSeconds = 0.5;
// A new record stream is reconfigured by the server a few times as it is linked; later changes
// are the server's doing, not its start.
constexpr pa_usec_t kCaptureSettleMicros = 500'000;

// How often a playback stream looks whether it has been steady long enough to shrink: a
// quarter of the spell, between a quarter of a second and five seconds.
pa_usec_t steadyCheckMicros(double shrinkAfterSeconds) {
    return static_cast<pa_usec_t>(std::clamp(shrinkAfterSeconds / 4.0, 0.25, 5.0) * 1e6);
}

constexpr std::uint32_t serverDefault = static_cast<std::uint32_t>(-1);

AudioTimeStamp timeStampAt(Float64 sampleTime) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    AudioTimeStamp stamp;
    stamp.mSampleTime = sampleTime;
    stamp.mHostTime =
        static_cast<UInt64>(now.tv_sec) * 1'000'000'000U + static_cast<UInt64>(now.tv_nsec);
    stamp.mRateScalar = 1.0;
    stamp.mFlags = kAudioTimeStampSampleHostTimeValid | kAudioTimeStampRateScalarValid;
    return stamp;
}

OSStatus statusForError(int error) {
    switch (error) {
        case PA_ERR_NOENTITY:
        case PA_ERR_KILLED:
            return kAudioHardwareBadDeviceError;
        case PA_ERR_CONNECTIONREFUSED:
        case PA_ERR_CONNECTIONTERMINATED:
            return kAudioHardwareNotRunningError;
        case PA_ERR_NOTSUPPORTED:
        case PA_ERR_INVALID:
            return kAudioDeviceUnsupportedFormatError;
        default:
            return kAudioHardwareUnspecifiedError;
    }
}

bool makeSampleFormat(const DeviceIOPlan& plan, UInt32 channels, const std::string& mapText,
                      pa_sample_spec& sampleFormat, pa_channel_map& map) {
    sampleFormat.format = PA_SAMPLE_FLOAT32NE;
    sampleFormat.rate = static_cast<std::uint32_t>(plan.sampleRate);
    sampleFormat.channels = static_cast<std::uint8_t>(channels);
    if (channels == 0 || channels > PA_CHANNELS_MAX || pa_sample_spec_valid(&sampleFormat) == 0) {
        return false;
    }
    // The device's own layout, so the server neither remixes nor remaps.
    if (pa_channel_map_parse(&map, mapText.c_str()) == nullptr || map.channels != channels) {
        return pa_channel_map_init_auto(&map, channels, PA_CHANNEL_MAP_DEFAULT) != nullptr;
    }
    return true;
}

bool isOver(pa_stream_state_t state) {
    return state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED;
}

}  // namespace

// The libpulse callbacks, on the session's thread.
struct SessionCallbacks {
    static void contextState(pa_context* context, void* userdata) {
        auto& self = *static_cast<DeviceIOSession*>(userdata);
        const pa_context_state_t state = pa_context_get_state(context);
        if ((state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) && !self.closing_) {
            self.reportStopped(kAudioHardwareNotRunningError);
        }
    }

    static void streamState(pa_stream* stream, void* userdata) {
        auto& self = *static_cast<DeviceIOSession*>(userdata);
        if (isOver(pa_stream_get_state(stream)) && !self.closing_) {
            self.reportStopped(statusForError(pa_context_errno(self.context_)));
        }
    }

    static void readable(pa_stream* stream, std::size_t /*bytes*/, void* userdata) {
        auto& self = *static_cast<DeviceIOSession*>(userdata);
        self.noteCallGap(self.lastCaptureCallMicros_, self.counters_.longestCaptureGapMicros,
                         self.counters_.lateCaptureCalls);
        const std::size_t frameBytes = self.plan_.captureChannels * sizeof(float);
        while (true) {
            const void* data = nullptr;
            std::size_t bytes = 0;
            if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) {
                self.publishCaptureLatency();
                return;
            }
            // The server hands out whole frames; a stray remainder is dropped.
            const auto frames = static_cast<UInt32>(bytes / frameBytes);
            if (data == nullptr) {
                self.counters_.captureHoleFrames.fetch_add(frames, std::memory_order_relaxed);
                self.deliverSilence(frames);
            } else {
                self.deliverCapture(static_cast<const float*>(data), frames);
            }
            pa_stream_drop(stream);
        }
    }

    static void reconnectCapture(pa_mainloop_api* api, pa_time_event* event,
                                 const struct timeval* /*time*/, void* userdata) {
        api->time_free(event);
        auto& self = *static_cast<DeviceIOSession*>(userdata);
        self.resumeReconnectPending_ = false;
        if (!self.closing_ && !self.stopReported_.load() && self.capture_ != nullptr) {
            self.reconnectCapture();
        }
    }

    static void deafnessCheck(pa_mainloop_api* api, pa_time_event* event,
                              const struct timeval* /*time*/, void* userdata) {
        api->time_free(event);
        auto& self = *static_cast<DeviceIOSession*>(userdata);
        if (!self.closing_ && !self.stopReported_.load() && self.capture_ != nullptr) {
            self.captureDeafnessCheck();
        }
    }

    static void writable(pa_stream* /*stream*/, std::size_t bytes, void* userdata) {
        static_cast<DeviceIOSession*>(userdata)->fillPlayback(bytes);
    }

    static void underflow(pa_stream* /*stream*/, void* userdata) {
        static_cast<DeviceIOSession*>(userdata)->playbackUnderran();
    }

    static void steadyCheck(pa_mainloop_api* api, pa_time_event* event,
                            const struct timeval* /*time*/, void* userdata) {
        auto& self = *static_cast<DeviceIOSession*>(userdata);
        if (self.closing_ || self.playback_ == nullptr) {
            api->time_free(event);
            return;
        }
        self.playbackSteadyCheck();
        struct timeval when {};
        pa_timeval_add(pa_gettimeofday(&when),
                       steadyCheckMicros(self.plan_.playbackShrinkAfterSeconds));
        api->time_restart(event, &when);
    }

    static void overflow(pa_stream* /*stream*/, void* userdata) {
        static_cast<DeviceIOSession*>(userdata)->counters_.captureOverruns.fetch_add(
            1, std::memory_order_relaxed);
    }

    static void detach(pa_stream* stream) {
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        pa_stream_set_read_callback(stream, nullptr, nullptr);
        pa_stream_set_write_callback(stream, nullptr, nullptr);
        pa_stream_set_underflow_callback(stream, nullptr, nullptr);
        pa_stream_set_overflow_callback(stream, nullptr, nullptr);
        pa_stream_set_suspended_callback(stream, nullptr, nullptr);
    }

    // PipeWire's PulseAudio server announces a suspend of the capture's source neither in the
    // source's state (the node is running again at once, its streams being linked) nor to the
    // stream; but the suspend unlinks the stream for good (its link stays paused), and the only
    // sign of it is a change of our own source output. So a change of it after its start is
    // taken for a suspend, and the stream is made again once the server has settled.
    static void serverEvent(pa_context* /*context*/, pa_subscription_event_type_t type,
                            uint32_t index, void* userdata) {
        auto& self = *static_cast<DeviceIOSession*>(userdata);
        const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
        const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
        if (facility != PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT ||
            kind != PA_SUBSCRIPTION_EVENT_CHANGE || self.closing_ || self.capture_ == nullptr ||
            index != pa_stream_get_index(self.capture_) ||
            pa_rtclock_now() - self.captureConnectedAt_ < kCaptureSettleMicros) {
            return;
        }
        self.counters_.captureRelinks.fetch_add(1, std::memory_order_relaxed);
        self.scheduleResumeReconnect();
    }

    // The server's own word that the capture's source was suspended or resumed; the control
    // connection's view may sample a short suspend on either side and miss it.
    static void captureSuspended(pa_stream* stream, void* userdata) {
        auto& self = *static_cast<DeviceIOSession*>(userdata);
        if (pa_stream_is_suspended(stream) == 0 && !self.closing_) {
            self.scheduleResumeReconnect();
        }
    }
};

OSStatus DeviceIOSession::open(const DeviceIOPlan& plan, DeviceIOClient& client,
                               IOCounters& counters, ListenerThread& listeners,
                               std::unique_ptr<DeviceIOSession>& session) {
    std::unique_ptr<DeviceIOSession> opened(new DeviceIOSession(plan, client, counters, listeners));
    const OSStatus status = opened->start();
    if (status == noErr) {
        session = std::move(opened);
    }
    return status;
}

DeviceIOSession::DeviceIOSession(const DeviceIOPlan& plan, DeviceIOClient& client,
                                 IOCounters& counters, ListenerThread& listeners)
    : plan_(plan),
      client_(client),
      counters_(counters),
      listeners_(listeners),
      captureName_(plan.applicationName + " capture"),
      playbackName_(plan.applicationName + " playback"),
      stopNotice_{&DeviceIOSession::deliverStop, this},
      silence_(
          static_cast<std::size_t>(plan.cycleFrames) * std::max<UInt32>(plan.captureChannels, 1),
          0.0F) {}

DeviceIOSession::~DeviceIOSession() {
    // A session that failed to open ends its thread by itself.
    if (openStatus_ == noErr) {
        loop_.request(kStopRequest);
    }
    loop_.join();
    // The thread is gone, so the notice is posted no more; it may still be queued or running.
    listeners_.withdraw(stopNotice_);
}

OSStatus DeviceIOSession::start() {
    loop_.start([this] { run(); });
    opened_.wait(false, std::memory_order_acquire);
    return openStatus_;
}

// The session's thread, from the connection to the last stream's end.
void DeviceIOSession::run() {
    const OSStatus status = connect();
    if (status == noErr) {
        running_ = true;
        if (plan_.realtimePriority > 0) {
            makeRealtime();
        }
    }
    openStatus_ = status;
    opened_.store(true, std::memory_order_release);
    opened_.notify_one();
    bool stopAsked = false;
    while (status == noErr && !stopAsked && loop_.iterate()) {
        const unsigned requests = loop_.takeRequests();
        stopAsked = (requests & kStopRequest) != 0U;
        if ((requests & kResumeRequest) != 0U && !stopAsked && capture_ != nullptr && !closing_) {
            scheduleResumeReconnect();
        }
    }
    if (status == noErr && !stopAsked) {
        reportStopped(kAudioHardwareUnspecifiedError);  // the loop itself failed
    }
    close();
}

// Audio wake-ups must not queue behind ordinary work on a loaded machine; where the system
// refuses, the thread stays as it was.
void DeviceIOSession::makeRealtime() {
    sched_param parameters{};
    parameters.sched_priority = plan_.realtimePriority;
    if (sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &parameters) == 0) {
        counters_.realtimeThreads.fetch_add(1, std::memory_order_relaxed);
    } else {
        counters_.ordinaryThreads.fetch_add(1, std::memory_order_relaxed);
    }
}

OSStatus DeviceIOSession::connect() {
    context_ = pa_context_new(loop_.api(), plan_.applicationName.c_str());
    if (context_ == nullptr) {
        return kAudioHardwareUnspecifiedError;
    }
    pa_context_set_state_callback(context_, &SessionCallbacks::contextState, this);
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        return kAudioHardwareNotRunningError;
    }
    const bool ready = loop_.iterateUntil(
        [&] {
            const auto state = pa_context_get_state(context_);
            return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
        },
        plan_.connectTimeout);
    if (!ready || pa_context_get_state(context_) != PA_CONTEXT_READY) {
        return kAudioHardwareNotRunningError;
    }
    if (!plan_.captureSource.empty()) {
        pa_context_set_subscribe_callback(context_, &SessionCallbacks::serverEvent, this);
        if (pa_operation* operation = pa_context_subscribe(
                context_, PA_SUBSCRIPTION_MASK_SOURCE_OUTPUT, nullptr, nullptr)) {
            pa_operation_unref(operation);
        }
        if (const OSStatus status = connectCapture(); status != noErr) {
            return status;
        }
    }
    if (!plan_.playbackSink.empty()) {
        if (const OSStatus status = connectPlayback(); status != noErr) {
            return status;
        }
    }
    auto settled = [](pa_stream* stream) {
        return stream == nullptr || pa_stream_get_state(stream) != PA_STREAM_CREATING;
    };
    loop_.iterateUntil([&] { return settled(capture_) && settled(playback_); },
                       plan_.connectTimeout);
    for (pa_stream* stream : {capture_, playback_}) {
        if (stream != nullptr && pa_stream_get_state(stream) != PA_STREAM_READY) {
            const pa_stream_state_t state = pa_stream_get_state(stream);
            return state == PA_STREAM_CREATING ? kAudioHardwareUnspecifiedError
                                               : statusForError(pa_context_errno(context_));
        }
    }
    return noErr;
}

OSStatus DeviceIOSession::connectCapture() {
    pa_sample_spec sampleFormat{};
    pa_channel_map map{};
    if (!makeSampleFormat(plan_, plan_.captureChannels, plan_.captureChannelMap, sampleFormat,
                          map)) {
        return kAudioDeviceUnsupportedFormatError;
    }
    capture_ = pa_stream_new(context_, captureName_.c_str(), &sampleFormat, &map);
    if (capture_ == nullptr) {
        return statusForError(pa_context_errno(context_));
    }
    pa_stream_set_state_callback(capture_, &SessionCallbacks::streamState, this);
    pa_stream_set_read_callback(capture_, &SessionCallbacks::readable, this);
    pa_stream_set_overflow_callback(capture_, &SessionCallbacks::overflow, this);
    pa_stream_set_suspended_callback(capture_, &SessionCallbacks::captureSuspended, this);
    pa_buffer_attr attributes{serverDefault, serverDefault, serverDefault, serverDefault,
                              serverDefault};
    attributes.fragsize =
        static_cast<std::uint32_t>(pa_frame_size(&sampleFormat) * plan_.cycleFrames);
    if (pa_stream_connect_record(capture_, plan_.captureSource.c_str(), &attributes, streamFlags) <
        0) {
        return statusForError(pa_context_errno(context_));
    }
    captureConnectedAt_ = pa_rtclock_now();
    lastCaptureCallMicros_ = 0;  // a new stream's first call is not a late one
    return noErr;
}

OSStatus DeviceIOSession::connectPlayback() {
    pa_sample_spec sampleFormat{};
    pa_channel_map map{};
    if (!makeSampleFormat(plan_, plan_.playbackChannels, plan_.playbackChannelMap, sampleFormat,
                          map)) {
        return kAudioDeviceUnsupportedFormatError;
    }
    playback_ = pa_stream_new(context_, playbackName_.c_str(), &sampleFormat, &map);
    if (playback_ == nullptr) {
        return statusForError(pa_context_errno(context_));
    }
    pa_stream_set_state_callback(playback_, &SessionCallbacks::streamState, this);
    pa_stream_set_write_callback(playback_, &SessionCallbacks::writable, this);
    pa_stream_set_underflow_callback(playback_, &SessionCallbacks::underflow, this);
    playbackCycleBytes_ = pa_frame_size(&sampleFormat) * plan_.cycleFrames;
    playbackCycles_ = std::max<UInt32>(plan_.playbackCycles, 1);
    pa_buffer_attr attributes{serverDefault, serverDefault, serverDefault, serverDefault,
                              serverDefault};
    attributes.tlength = static_cast<std::uint32_t>(playbackCycleBytes_ * playbackCycles_);
    attributes.minreq = static_cast<std::uint32_t>(playbackCycleBytes_);
    if (pa_stream_connect_playback(playback_, plan_.playbackSink.c_str(), &attributes, streamFlags,
                                   nullptr, nullptr) < 0) {
        return statusForError(pa_context_errno(context_));
    }
    startTimer(loop_.api(), steadyCheckMicros(plan_.playbackShrinkAfterSeconds),
               &SessionCallbacks::steadyCheck, this);
    return noErr;
}

void DeviceIOSession::captureSourceResumed() {
    loop_.request(kResumeRequest);
}

void DeviceIOSession::scheduleResumeReconnect() {
    // A stream made at the very moment of the resume is as deaf as the old one: the server's
    // graph is still being set up again. Both signs of one resume share the one reconnection.
    if (resumeReconnectPending_) {
        return;
    }
    resumeReconnectPending_ = true;
    startTimer(loop_.api(), kResumeSettleMicros, &SessionCallbacks::reconnectCapture, this);
    resumeReconnects_ = 0;
}

void DeviceIOSession::captureDeafnessCheck() {
    // Its first fragments may still carry what was buffered before the suspend: deaf is exact
    // zeros (or nothing) for the last half second. Looked at for a few seconds after the resume.
    const auto halfSecond = static_cast<std::uint64_t>(plan_.sampleRate / 2.0);
    const bool deaf = framesSinceSound_ >= halfSecond || framesSinceReconnect_ < halfSecond;
    if (deaf && resumeReconnects_ < kMostResumeReconnects) {
        reconnectCapture();
    }
    if (capture_ != nullptr && ++deafnessChecks_ < kDeafnessChecks) {
        scheduleDeafnessCheck();
    } else {
        listeningForSound_ = false;
    }
}

void DeviceIOSession::scheduleDeafnessCheck() {
    startTimer(loop_.api(), kDeafnessCheckMicros, &SessionCallbacks::deafnessCheck, this);
}

void DeviceIOSession::reconnectCapture() {
    SessionCallbacks::detach(capture_);
    pa_stream_disconnect(capture_);
    pa_stream_unref(capture_);
    capture_ = nullptr;
    counters_.captureReconnects.fetch_add(1, std::memory_order_relaxed);
    if (const OSStatus status = connectCapture(); status != noErr) {
        reportStopped(status);
        return;
    }
    if (resumeReconnects_++ == 0) {
        listeningForSound_ = true;
        deafnessChecks_ = 0;
        scheduleDeafnessCheck();
    }
    framesSinceSound_ = 0;
    framesSinceReconnect_ = 0;
}

// The server ran out of our audio: a stall longer than the buffer (a late wake-up on a loaded
// machine). A larger target rides out the next one; the refill after an underrun is silence
// anyway, so growing now costs nothing audible. Runs on the session's thread between I/O
// callbacks, never inside one.
void DeviceIOSession::playbackUnderran() {
    counters_.playbackUnderruns.fetch_add(1, std::memory_order_relaxed);
    // A stream starting up reports running dry before its first buffer filled: no stall.
    if (playbackSampleTime_ < kStartUpSeconds * plan_.sampleRate) {
        return;
    }
    const UInt32 ceiling = std::max(plan_.playbackCyclesMax, plan_.playbackCycles);
    if (playbackCycles_ < ceiling) {
        setPlaybackCycles(std::min(ceiling, playbackCycles_ * 2));
        counters_.playbackBufferGrowths.fetch_add(1, std::memory_order_relaxed);
    } else {
        playbackTargetSetAt_ = playbackSampleTime_;  // the steady spell starts again
    }
}

// After a steady spell at a larger target, one cycle less: the server plays out the extra
// before it asks for more, so shrinking makes no gap.
void DeviceIOSession::playbackSteadyCheck() {
    const Float64 steadyFrames = plan_.playbackShrinkAfterSeconds * plan_.sampleRate;
    if (playbackCycles_ > std::max<UInt32>(plan_.playbackCycles, 1) &&
        playbackSampleTime_ - playbackTargetSetAt_ >= steadyFrames) {
        setPlaybackCycles(playbackCycles_ - 1);
    }
}

void DeviceIOSession::setPlaybackCycles(UInt32 cycles) {
    playbackCycles_ = cycles;
    playbackTargetSetAt_ = playbackSampleTime_;
    counters_.largestPlaybackCycles.store(
        std::max(counters_.largestPlaybackCycles.load(std::memory_order_relaxed), cycles),
        std::memory_order_relaxed);
    pa_buffer_attr attributes{serverDefault, serverDefault, serverDefault, serverDefault,
                              serverDefault};
    attributes.tlength = static_cast<std::uint32_t>(playbackCycleBytes_ * cycles);
    attributes.minreq = static_cast<std::uint32_t>(playbackCycleBytes_);
    if (pa_operation* operation =
            pa_stream_set_buffer_attr(playback_, &attributes, nullptr, nullptr)) {
        pa_operation_unref(operation);
    }
}

// On the session's thread, which runs the loop no more after this: timers still set go with
// the loop.
void DeviceIOSession::close() {
    closing_ = true;
    for (pa_stream** stream : {&capture_, &playback_}) {
        if (*stream != nullptr) {
            SessionCallbacks::detach(*stream);
            pa_stream_disconnect(*stream);
            pa_stream_unref(*stream);
            *stream = nullptr;
        }
    }
    if (context_ != nullptr) {
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_set_subscribe_callback(context_, nullptr, nullptr);
        pa_context_disconnect(context_);
        pa_context_unref(context_);
        context_ = nullptr;
    }
}

// The client is told on the listener thread: it announces the unit's run state, and its
// listeners may lock, allocate and log.
void DeviceIOSession::reportStopped(OSStatus reason) {
    if (stopReported_.exchange(true)) {
        return;
    }
    counters_.killedStreams.fetch_add(1, std::memory_order_relaxed);
    if (running_) {
        stopReason_.store(reason, std::memory_order_relaxed);  // published by the post
        listeners_.postNotice(stopNotice_);
    }
}

void DeviceIOSession::deliverStop(void* session) {
    auto& self = *static_cast<DeviceIOSession*>(session);
    self.client_.deviceIODidStop(self.stopReason_.load(std::memory_order_relaxed));
}

void DeviceIOSession::noteCallbackFrames(UInt32 frames) {
    counters_.callbacks.fetch_add(1, std::memory_order_relaxed);
    UInt32 largest = counters_.largestCallbackFrames.load(std::memory_order_relaxed);
    while (frames > largest && !counters_.largestCallbackFrames.compare_exchange_weak(
                                   largest, frames, std::memory_order_relaxed)) {
    }
}

void DeviceIOSession::deliverCapture(const float* samples, UInt32 frames) {
    const UInt32 channels = plan_.captureChannels;
    if (listeningForSound_) {
        const bool sound =
            std::any_of(samples, samples + static_cast<std::size_t>(frames) * channels,
                        [](float sample) { return sample != 0.0F; });
        framesSinceSound_ = sound ? 0 : framesSinceSound_ + frames;
        framesSinceReconnect_ += frames;
    }
    while (frames > 0) {
        const UInt32 chunk = std::min(frames, plan_.cycleFrames);
        client_.deviceDidCapture(samples, chunk, channels, plan_.sampleRate,
                                 timeStampAt(captureSampleTime_));
        noteCallbackFrames(chunk);
        captureSampleTime_ += chunk;
        counters_.framesCaptured.fetch_add(chunk, std::memory_order_relaxed);
        samples += static_cast<std::size_t>(chunk) * channels;
        frames -= chunk;
    }
}

void DeviceIOSession::deliverSilence(UInt32 frames) {
    while (frames > 0) {
        const UInt32 chunk = std::min(frames, plan_.cycleFrames);
        client_.deviceDidCapture(silence_.data(), chunk, plan_.captureChannels, plan_.sampleRate,
                                 timeStampAt(captureSampleTime_));
        captureSampleTime_ += chunk;
        frames -= chunk;
    }
}

void DeviceIOSession::noteCallGap(std::uint64_t& lastCallMicros,
                                  std::atomic<std::uint64_t>& longest,
                                  std::atomic<std::uint64_t>& late) const {
    const pa_usec_t now = pa_rtclock_now();
    if (lastCallMicros != 0 && now > lastCallMicros) {
        const std::uint64_t gap = now - lastCallMicros;
        std::uint64_t known = longest.load(std::memory_order_relaxed);
        while (gap > known &&
               !longest.compare_exchange_weak(known, gap, std::memory_order_relaxed)) {
        }
        const double cycleMicros = 1e6 * plan_.cycleFrames / plan_.sampleRate;
        if (static_cast<double>(gap) > 3.0 * cycleMicros) {
            late.fetch_add(1, std::memory_order_relaxed);
        }
    }
    lastCallMicros = now;
}

void DeviceIOSession::fillPlayback(std::size_t bytes) {
    noteCallGap(lastPlaybackCallMicros_, counters_.longestPlaybackGapMicros,
                counters_.latePlaybackCalls);
    const std::size_t frameBytes = plan_.playbackChannels * sizeof(float);
    std::size_t frames = bytes / frameBytes;
    while (frames > 0) {
        auto chunk = static_cast<UInt32>(std::min<std::size_t>(frames, plan_.cycleFrames));
        void* data = nullptr;
        std::size_t room = chunk * frameBytes;
        if (pa_stream_begin_write(playback_, &data, &room) < 0 || data == nullptr) {
            return;
        }
        chunk = static_cast<UInt32>(std::min<std::size_t>(chunk, room / frameBytes));
        if (chunk == 0) {
            pa_stream_cancel_write(playback_);
            return;
        }
        client_.deviceWillPlay(static_cast<float*>(data), chunk, plan_.playbackChannels,
                               plan_.sampleRate, timeStampAt(playbackSampleTime_));
        noteCallbackFrames(chunk);
        pa_stream_write(playback_, data, chunk * frameBytes, nullptr, 0, PA_SEEK_RELATIVE);
        playbackSampleTime_ += chunk;
        counters_.framesPlayed.fetch_add(chunk, std::memory_order_relaxed);
        frames -= chunk;
    }
    publishPlaybackLatency();
}

namespace {

// A stream's latency as the server library reckons it now; false before it has timing data.
bool readLatency(pa_stream* stream, double& seconds, std::uint64_t& readAt) {
    pa_usec_t micros = 0;
    int negative = 0;
    if (pa_stream_get_latency(stream, &micros, &negative) < 0) {
        return false;
    }
    seconds = (negative != 0 ? -1.0 : 1.0) * static_cast<double>(micros) / 1e6;
    readAt = pa_rtclock_now();
    return true;
}

}  // namespace

// After each call of a stream, so a reader's figure is never more than one cycle old.
void DeviceIOSession::publishCaptureLatency() {
    if (capture_ == nullptr) {
        return;
    }
    std::uint64_t readAt = 0;
    latest_.captureValid = readLatency(capture_, latest_.captureSeconds, readAt);
    publishedLatency_.store(latest_);
}

void DeviceIOSession::publishPlaybackLatency() {
    if (playback_ == nullptr) {
        return;
    }
    latest_.playbackValid = readLatency(playback_, latest_.playbackSeconds, latest_.playbackReadAt);
    if (const pa_buffer_attr* granted = pa_stream_get_buffer_attr(playback_)) {
        latest_.playbackTargetSeconds =
            static_cast<double>(granted->tlength) /
            (static_cast<double>(plan_.playbackChannels * sizeof(float)) * plan_.sampleRate);
    }
    publishedLatency_.store(latest_);
}

// Between two calls of the playback stream the server plays out its buffer, one second a
// second, as the library's own interpolation has it. A record stream's figure is its last: a
// PulseAudio monitor hands its audio over in bursts, and the library does not count on between.
StreamLatency DeviceIOSession::latency() const {
    const LatencyReading reading = publishedLatency_.load();
    const auto now = static_cast<double>(pa_rtclock_now());
    StreamLatency result;
    result.valid = (!captures() || reading.captureValid) && (!plays() || reading.playbackValid);
    if (reading.captureValid) {
        result.captureSeconds = reading.captureSeconds;
    }
    if (reading.playbackValid) {
        result.playbackSeconds =
            reading.playbackSeconds - (now - static_cast<double>(reading.playbackReadAt)) / 1e6;
    }
    result.playbackTargetSeconds = reading.playbackTargetSeconds;
    return result;
}

}  // namespace brimo::hal::pulse
