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

    ControlConnection(std::string applicationName, std::chrono::milliseconds reconnectInterval,
                      ViewHandler handler);
    ~ControlConnection();
    ControlConnection(const ControlConnection&) = delete;
    ControlConnection& operator=(const ControlConnection&) = delete;
    ControlConnection(ControlConnection&&) = delete;
    ControlConnection& operator=(ControlConnection&&) = delete;

    // Starts the thread and the first connection; waits up to `timeout` for the first view of
    // a connected server. False when there was none by then (the attempts go on).
    bool start(std::chrono::milliseconds timeout);
    [[nodiscard]] bool isConnected() const { return connected_.load(); }

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

    friend struct ControlCallbacks;

    std::string applicationName_;
    std::chrono::milliseconds reconnectInterval_;
    ViewHandler handler_;
    ThreadedMainLoop loop_;
    pa_context* context_ = nullptr;
    pa_time_event* reconnectTimer_ = nullptr;
    ServerView pending_;
    int pendingSteps_ = 0;
    bool refreshing_ = false;
    bool refreshAgain_ = false;
    bool hasConnectedView_ = false;
    std::string viewDefaultSink_;  // the default sink of the last view handed over
    bool reportedDisconnected_ = false;
    bool stopping_ = false;
    std::atomic<bool> connected_{false};
};

}  // namespace brimo::hal::pulse
