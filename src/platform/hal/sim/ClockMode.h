#pragma once

namespace brimo::hal::sim {

// How the simulated backend's time moves:
// - stepped: nothing happens until advance(); then every device cycle due in that span runs on
//   the caller's thread in time order (ties in the order devices were added). No threads, no
//   sleeps, the same samples on every run.
// - realTime: each running device has a thread of its own, paced by the monotonic clock, on
//   which its unit callbacks run, as on a real system.
enum class ClockMode { stepped, realTime };

}  // namespace brimo::hal::sim
