#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>

#include "platform/hal/AudioStatus.h"
#include "platform/hal/pulse/ServerView.h"
#include "platform/hal/pulse/ThreadedMainLoop.h"

struct pa_context;
struct pa_time_event;

namespace brimo::hal::pulse {

// The backend's watch on the audio server: one connection that listens to sink, source and
// server events and answers each burst of them with a fresh view of the whole server. When the
// server goes away (it stops, or is restarted after a driver installation) the view turns
// disconnected and the connection is tried again at an interval; the client never starts a
// server itself.
class ControlConnection {
  public:
    // Called on the connection's own thread, once per view, in order.
    using ViewHandler = std::function<void(const ServerView&)>;

    // `checkInterval`: how often, on PipeWire, a fresh connection's default sink and source are
    // compared with the view's (0: never). PipeWire 0.3's PulseAudio server can stop telling a
    // connection about default changes for good (a client that bound the "default" metadata
    // and left before the session manager answered leaves it waiting), and re-asking on that
    // connection keeps giving the old answer; only a new connection reads the truth. When the
    // two differ, the fresh connection becomes the control connection and the view is
    // refreshed from it.
    //
    // Each check costs the server a client's coming and going (about 0.8 % of a core, counting
    // the session manager, at one every 0.5 s), so the interval doubles after each check that
    // agreed, up to `checkIntervalMax`, and is back at `checkInterval` after every view: right
    // after a change, when the fault can take, the checks are close; on a quiet server they are
    // far apart.
    ControlConnection(std::string applicationName, std::chrono::milliseconds reconnectInterval,
                      std::chrono::milliseconds checkInterval,
                      std::chrono::milliseconds checkIntervalMax, ViewHandler handler);
    ~ControlConnection();
    ControlConnection(const ControlConnection&) = delete;
    ControlConnection& operator=(const ControlConnection&) = delete;
    ControlConnection(ControlConnection&&) = delete;
    ControlConnection& operator=(ControlConnection&&) = delete;

    // Starts the thread and the first connection; waits up to `timeout` for the first view of
    // a connected server. False when there was none by then (the attempts go on).
    bool start(std::chrono::milliseconds timeout);
    [[nodiscard]] bool isConnected() const { return connected_.load(); }
    // How often a fresh connection found the view's defaults stale and replaced the control
    // connection.
    [[nodiscard]] unsigned staleViewsReplaced() const { return staleViewsReplaced_.load(); }

    // Asks the server to make the sink the default and waits up to `timeout` for its answer:
    // noErr once accepted, kAudioHardwareNotRunningError without a connection,
    // kAudioHardwareBadDeviceError when refused (the sink has gone), kAudioHardwareUnspecifiedError
    // without an answer in time. When accepted it also waits, within the same timeout, for a
    // view that shows the new default, so a read right after the call sees it.
    OSStatus setDefaultSink(const std::string& sinkName, std::chrono::milliseconds timeout);

  private:
    void connect();
    void tearDownContext();
    void connectionLost();
    void scheduleReconnect();
    void requestRefresh();
    void beginRefresh();
    void refreshStepDone();
    void scheduleCheck();
    void checkSoon();
    void beginCheck();
    void checkAnswered(pa_context* probe, const std::string& sinkName,
                       const std::string& sourceName);
    void adopt(pa_context* context);
    static void release(pa_context*& context);

    friend struct ControlCallbacks;

    std::string applicationName_;
    std::chrono::milliseconds reconnectInterval_;
    ViewHandler handler_;
    ThreadedMainLoop loop_;
    pa_context* context_ = nullptr;
    pa_time_event* reconnectTimer_ = nullptr;
    std::chrono::milliseconds checkInterval_;
    std::chrono::milliseconds checkIntervalMax_;
    std::chrono::milliseconds checkDelay_;  // until the next check, between the two
    pa_time_event* checkTimer_ = nullptr;
    pa_context* probe_ = nullptr;  // the check's fresh connection, until it answered
    // The last probe that agreed, kept open until the next one answers: a client that leaves
    // at once is what sets the server's fault off when the session manager is slow.
    pa_context* lingering_ = nullptr;
    bool onPipeWire_ = false;
    ServerView pending_;
    int pendingSteps_ = 0;
    bool refreshing_ = false;
    bool refreshAgain_ = false;
    bool hasConnectedView_ = false;
    std::string viewDefaultSink_;  // the defaults of the last view handed over
    std::string viewDefaultSource_;
    bool reportedDisconnected_ = false;
    bool stopping_ = false;
    std::atomic<bool> connected_{false};
    std::atomic<unsigned> staleViewsReplaced_{0};
};

}  // namespace brimo::hal::pulse
