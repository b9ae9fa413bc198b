#pragma once

#include <pulse/mainloop-api.h>
#include <pulse/timeval.h>

#include <chrono>

namespace brimo::hal::pulse {

// A one-shot timer of a libpulse loop, `micros` from now.
inline pa_time_event* startTimer(pa_mainloop_api* api, pa_usec_t micros,
                                 pa_time_event_cb_t callback, void* userdata) {
    struct timeval when {};
    pa_timeval_add(pa_gettimeofday(&when), micros);
    return api->time_new(api, &when, callback, userdata);
}

inline pa_time_event* startTimer(pa_mainloop_api* api, std::chrono::milliseconds delay,
                                 pa_time_event_cb_t callback, void* userdata) {
    return startTimer(api,
                      static_cast<pa_usec_t>(
                          std::chrono::duration_cast<std::chrono::microseconds>(delay).count()),
                      callback, userdata);
}

}  // namespace brimo::hal::pulse
