#include "platform/hal/pulse/ControlConnection.h"

#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/subscribe.h>
#include <pulse/timeval.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <utility>

#include "platform/hal/pulse/LoopTimer.h"

namespace brimo::hal::pulse {

namespace {

std::string text(const char* value) {
    return value == nullptr ? std::string() : value;
}

std::string channelMapText(const pa_channel_map& map) {
    std::array<char, PA_CHANNEL_MAP_SNPRINT_MAX> buffer{};
    pa_channel_map_snprint(buffer.data(), buffer.size(), &map);
    return buffer.data();
}

bool propertyIs(const pa_proplist* properties, const char* key, const char* value) {
    const char* actual = pa_proplist_gets(properties, key);
    return actual != nullptr && std::strcmp(actual, value) == 0;
}

// A sink that only loops back what is played into it: PulseAudio's null sink, or PipeWire's
// null-audio-sink node (as its PulseAudio server reports either kind).
bool isNullSink(const pa_sink_info& sink) {
    return propertyIs(sink.proplist, "device.class", "abstract") ||
           propertyIs(sink.proplist, "factory.name", "support.null-audio-sink");
}

// What sinks and sources report alike.
template <typename Record, typename Info>
Record recordOf(const Info& info) {
    Record record;
    record.index = info.index;
    record.name = text(info.name);
    record.description = text(info.description);
    record.sampleRate = static_cast<Float64>(info.sample_spec.rate);
    record.channels = info.channel_map.channels;
    record.channelMap = channelMapText(info.channel_map);
    return record;
}

}  // namespace

// Where a setting call's answer lands; it lives on the caller's stack, so the operation is
// cancelled (its callback never to run) before the caller returns without an answer.
struct SetAnswer {
    ThreadedMainLoop* loop = nullptr;
    bool answered = false;
    bool accepted = false;
};

// The libpulse callbacks, all on the connection's thread with its lock held. Each one checks
// that it still belongs to the current context: replies of a dropped one are ignored.
struct ControlCallbacks {
    static void stateChanged(pa_context* context, void* userdata) {
        auto& self = *static_cast<ControlConnection*>(userdata);
        if (context != self.context_) {
            return;
        }
        switch (pa_context_get_state(context)) {
            case PA_CONTEXT_READY:
                subscribe(context, self);
                self.requestRefresh();
                break;
            case PA_CONTEXT_FAILED:
            case PA_CONTEXT_TERMINATED:
                self.connectionLost();
                break;
            default:
                break;
        }
    }

    // Every change of the sinks, the sources and the server's defaults refreshes the view.
    static void subscribe(pa_context* context, ControlConnection& self) {
        constexpr auto mask = static_cast<pa_subscription_mask_t>(
            PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SERVER);
        pa_context_set_subscribe_callback(context, &ControlCallbacks::event, &self);
        if (pa_operation* operation = pa_context_subscribe(context, mask, nullptr, nullptr)) {
            pa_operation_unref(operation);
        }
    }

    static void event(pa_context* context, pa_subscription_event_type_t /*type*/,
                      uint32_t /*index*/, void* userdata) {
        auto& self = *static_cast<ControlConnection*>(userdata);
        if (context == self.context_) {
            self.requestRefresh();
        }
    }

    static void serverInfo(pa_context* context, const pa_server_info* info, void* userdata) {
        auto& self = *static_cast<ControlConnection*>(userdata);
        if (context != self.context_) {
            return;
        }
        if (info != nullptr) {
            self.pending_.defaultSinkName = text(info->default_sink_name);
            self.pending_.defaultSourceName = text(info->default_source_name);
            self.onPipeWire_ = std::strstr(text(info->server_name).c_str(), "PipeWire") != nullptr;
            self.pending_.onPipeWire = self.onPipeWire_;
        }
        self.refreshStepDone();
    }

    // The connection an item of a sink or source listing is for, null when the listing is
    // a dropped context's or has ended (which completes a step of the refresh).
    static ControlConnection* listing(pa_context* context, int last, void* userdata) {
        auto& self = *static_cast<ControlConnection*>(userdata);
        if (context != self.context_) {
            return nullptr;
        }
        if (last != 0) {
            self.refreshStepDone();
            return nullptr;
        }
        return &self;
    }

    static void sinkInfo(pa_context* context, const pa_sink_info* info, int last, void* userdata) {
        ControlConnection* self = listing(context, last, userdata);
        if (self == nullptr) {
            return;
        }
        auto sink = recordOf<SinkRecord>(*info);
        sink.isNullSink = isNullSink(*info);
        sink.monitorSourceName = text(info->monitor_source_name);
        sink.suspended = info->state == PA_SINK_SUSPENDED;
        self->pending_.sinks.push_back(std::move(sink));
    }

    static void sourceInfo(pa_context* context, const pa_source_info* info, int last,
                           void* userdata) {
        ControlConnection* self = listing(context, last, userdata);
        if (self == nullptr) {
            return;
        }
        auto source = recordOf<SourceRecord>(*info);
        source.isMonitor = info->monitor_of_sink != PA_INVALID_INDEX;
        source.suspended = info->state == PA_SOURCE_SUSPENDED;
        self->pending_.sources.push_back(std::move(source));
    }

    static void defaultSinkSet(pa_context* /*context*/, int success, void* userdata) {
        auto& answer = *static_cast<SetAnswer*>(userdata);
        answer.answered = true;
        answer.accepted = success != 0;
        answer.loop->signal();
    }

    static void probeStateChanged(pa_context* context, void* userdata) {
        auto& self = *static_cast<ControlConnection*>(userdata);
        if (context != self.probe_) {
            return;
        }
        switch (pa_context_get_state(context)) {
            case PA_CONTEXT_READY:
                if (pa_operation* operation =
                        pa_context_get_server_info(context, &ControlCallbacks::probeInfo, &self)) {
                    pa_operation_unref(operation);
                }
                break;
            case PA_CONTEXT_FAILED:
            case PA_CONTEXT_TERMINATED:
                // Dropped from the next check, not from inside its own callback.
                self.scheduleCheck();
                break;
            default:
                break;
        }
    }

    static void probeInfo(pa_context* context, const pa_server_info* info, void* userdata) {
        auto& self = *static_cast<ControlConnection*>(userdata);
        if (context != self.probe_) {
            return;
        }
        if (info == nullptr) {
            self.scheduleCheck();
            return;
        }
        self.checkAnswered(context, text(info->default_sink_name), text(info->default_source_name));
    }

    static void check(pa_mainloop_api* api, pa_time_event* event, const struct timeval* /*time*/,
                      void* userdata) {
        auto& self = *static_cast<ControlConnection*>(userdata);
        api->time_free(event);
        self.checkTimer_ = nullptr;
        if (!self.stopping_) {
            self.beginCheck();
        }
    }

    static void reconnect(pa_mainloop_api* api, pa_time_event* event,
                          const struct timeval* /*time*/, void* userdata) {
        auto& self = *static_cast<ControlConnection*>(userdata);
        api->time_free(event);
        self.reconnectTimer_ = nullptr;
        if (!self.stopping_) {
            self.connect();
        }
    }
};

ControlConnection::ControlConnection(std::string applicationName,
                                     std::chrono::milliseconds reconnectInterval,
                                     std::chrono::milliseconds checkInterval,
                                     std::chrono::milliseconds checkIntervalMax,
                                     ViewHandler handler)
    : applicationName_(std::move(applicationName)),
      reconnectInterval_(reconnectInterval),
      handler_(std::move(handler)),
      checkInterval_(checkInterval),
      checkIntervalMax_(std::max(checkInterval, checkIntervalMax)),
      checkDelay_(checkInterval) {}

ControlConnection::~ControlConnection() {
    {
        MainLoopLock lock(loop_);
        stopping_ = true;
        if (reconnectTimer_ != nullptr) {
            loop_.api()->time_free(reconnectTimer_);
            reconnectTimer_ = nullptr;
        }
        if (checkTimer_ != nullptr) {
            loop_.api()->time_free(checkTimer_);
            checkTimer_ = nullptr;
        }
        tearDownContext();
    }
    loop_.stop();
}

bool ControlConnection::start(std::chrono::milliseconds timeout) {
    MainLoopLock lock(loop_);
    if (!loop_.start()) {
        return false;
    }
    connect();
    // Also give up early when the first attempt has already failed: no server to wait for.
    return loop_.waitUntil([&] { return hasConnectedView_ || reportedDisconnected_; }, timeout) &&
           hasConnectedView_;
}

void ControlConnection::connect() {
    tearDownContext();
    context_ = pa_context_new(loop_.api(), applicationName_.c_str());
    if (context_ == nullptr) {
        connectionLost();
        return;
    }
    pa_context_set_state_callback(context_, &ControlCallbacks::stateChanged, this);
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        connectionLost();
    }
}

void ControlConnection::tearDownContext() {
    if (context_ == nullptr) {
        return;
    }
    pa_context* context = std::exchange(context_, nullptr);
    release(context);
    release(probe_);
    release(lingering_);
    refreshing_ = false;
    refreshAgain_ = false;
}

void ControlConnection::release(pa_context*& context) {
    if (context == nullptr) {
        return;
    }
    pa_context_set_state_callback(context, nullptr, nullptr);
    pa_context_set_subscribe_callback(context, nullptr, nullptr);
    pa_context_disconnect(context);
    pa_context_unref(context);
    context = nullptr;
}

void ControlConnection::connectionLost() {
    const bool wasConnected = connected_.exchange(false);
    refreshing_ = false;
    refreshAgain_ = false;
    if (wasConnected || !reportedDisconnected_) {
        reportedDisconnected_ = true;
        handler_(ServerView{});
    }
    loop_.signal();
    // The context is dropped from the timer, not from inside its own callback.
    scheduleReconnect();
}

void ControlConnection::scheduleReconnect() {
    if (stopping_ || reconnectTimer_ != nullptr) {
        return;
    }
    reconnectTimer_ =
        startTimer(loop_.api(), reconnectInterval_, &ControlCallbacks::reconnect, this);
}

void ControlConnection::requestRefresh() {
    if (refreshing_) {
        refreshAgain_ = true;  // one more refresh after this one covers every event since
        return;
    }
    beginRefresh();
}

void ControlConnection::beginRefresh() {
    refreshing_ = true;
    pending_ = ServerView{};
    pending_.connected = true;
    pendingSteps_ = 0;
    auto issue = [&](pa_operation* operation) {
        if (operation != nullptr) {
            ++pendingSteps_;
            pa_operation_unref(operation);
        }
    };
    issue(pa_context_get_server_info(context_, &ControlCallbacks::serverInfo, this));
    issue(pa_context_get_sink_info_list(context_, &ControlCallbacks::sinkInfo, this));
    issue(pa_context_get_source_info_list(context_, &ControlCallbacks::sourceInfo, this));
    if (pendingSteps_ != 3) {
        // The context is going down; its state callback reports that.
        refreshing_ = false;
    }
}

void ControlConnection::refreshStepDone() {
    if (!refreshing_ || --pendingSteps_ > 0) {
        return;
    }
    refreshing_ = false;
    connected_.store(true);
    hasConnectedView_ = true;
    reportedDisconnected_ = false;
    viewDefaultSink_ = pending_.defaultSinkName;
    viewDefaultSource_ = pending_.defaultSourceName;
    handler_(pending_);
    checkSoon();
    loop_.signal();
    if (refreshAgain_) {
        refreshAgain_ = false;
        beginRefresh();
    }
}

}  // namespace brimo::hal::pulse

namespace brimo::hal::pulse {

void ControlConnection::scheduleCheck() {
    if (stopping_ || checkInterval_.count() <= 0 || !onPipeWire_ || checkTimer_ != nullptr ||
        context_ == nullptr) {
        return;
    }
    checkTimer_ = startTimer(loop_.api(), checkDelay_, &ControlCallbacks::check, this);
}

// A view just arrived: the server changed, and the checks come close again. A check already
// that close stays as it is, so a stream of views never puts the checks off.
void ControlConnection::checkSoon() {
    if (checkDelay_ == checkInterval_ && checkTimer_ != nullptr) {
        return;
    }
    checkDelay_ = checkInterval_;
    if (checkTimer_ != nullptr) {
        loop_.api()->time_free(checkTimer_);
        checkTimer_ = nullptr;
    }
    scheduleCheck();
}

void ControlConnection::beginCheck() {
    // A probe still unanswered after a whole interval is given up.
    release(probe_);
    if (context_ == nullptr || !connected_.load()) {
        return;  // the reconnection's first view schedules the next check
    }
    probe_ = pa_context_new(loop_.api(), applicationName_.c_str());
    if (probe_ == nullptr) {
        scheduleCheck();
        return;
    }
    pa_context_set_state_callback(probe_, &ControlCallbacks::probeStateChanged, this);
    if (pa_context_connect(probe_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        release(probe_);
    }
    scheduleCheck();
}

void ControlConnection::checkAnswered(pa_context* probe, const std::string& sinkName,
                                      const std::string& sourceName) {
    // While a refresh runs, the view may be catching up with a change the probe already saw.
    const bool stale = !refreshing_ && hasConnectedView_ &&
                       (sinkName != viewDefaultSink_ || sourceName != viewDefaultSource_);
    probe_ = nullptr;
    release(lingering_);
    if (!stale) {
        lingering_ = probe;
        checkDelay_ = std::min(checkIntervalMax_, 2 * checkDelay_);
        return;
    }
    staleViewsReplaced_.fetch_add(1);
    adopt(probe);
}

void ControlConnection::adopt(pa_context* context) {
    pa_context* old = std::exchange(context_, context);
    release(old);
    refreshing_ = false;
    refreshAgain_ = false;
    pa_context_set_state_callback(context_, &ControlCallbacks::stateChanged, this);
    ControlCallbacks::subscribe(context_, *this);
    requestRefresh();
}

OSStatus ControlConnection::setDefaultSink(const std::string& sinkName,
                                           std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    MainLoopLock lock(loop_);
    if (context_ == nullptr || !connected_.load()) {
        return kAudioHardwareNotRunningError;
    }
    SetAnswer answer;
    answer.loop = &loop_;
    pa_operation* operation = pa_context_set_default_sink(
        context_, sinkName.c_str(), &ControlCallbacks::defaultSinkSet, &answer);
    if (operation == nullptr) {
        return kAudioHardwareNotRunningError;
    }
    // A context that fails meanwhile cancels the operation, which then ends unanswered.
    loop_.waitUntil(
        [&] {
            return answer.answered || pa_operation_get_state(operation) != PA_OPERATION_RUNNING;
        },
        timeout);
    if (!answer.answered) {
        pa_operation_cancel(operation);
    }
    pa_operation_unref(operation);
    if (!answer.answered) {
        return connected_.load() ? kAudioHardwareUnspecifiedError : kAudioHardwareNotRunningError;
    }
    if (!answer.accepted) {
        return kAudioHardwareBadDeviceError;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    loop_.waitUntil([&] { return viewDefaultSink_ == sinkName || !connected_.load(); },
                    std::max(left, std::chrono::milliseconds(0)));
    return noErr;
}

}  // namespace brimo::hal::pulse
