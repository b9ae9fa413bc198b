#pragma once

#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "ChildProcess.h"

namespace brimo::bench {

// A moment a watcher pinned to one core was held past its wake-up time: from `startSeconds`
// for `heldMs`, on the recordings' clock.
struct CoreStall {
    int core = 0;
    double startSeconds = 0.0;
    double heldMs = 0.0;
};

// A moment every core was held at once, which neither the audio servers nor the engine can
// cause or ride out: the machine itself (a virtual machine's host, firmware) stopped.
struct MachineStall {
    double startSeconds = 0.0;
    double heldMs = 0.0;  // how long all cores were held together
};

// The watcher's own loop, run in a process of its own (`bench_soak --watch-stalls CORE`):
// pinned to CORE, it wakes every 10 ms and prints each wake-up at least 5 ms late as
// "<monotonic seconds> <late ms>". It touches no audio and competes for nothing, so when it is
// held, whatever else ran on that core was held too.
int watchStalls(int core);

// One watcher process per core for as long as the object lives.
class StallWatch {
  public:
    // `origin`: the recordings' zero, in seconds of the monotonic clock.
    StallWatch(const std::string& self, double origin);
    ~StallWatch();
    StallWatch(const StallWatch&) = delete;
    StallWatch& operator=(const StallWatch&) = delete;
    StallWatch(StallWatch&&) = delete;
    StallWatch& operator=(StallWatch&&) = delete;

    // Stops the watchers and returns what each core saw.
    std::vector<CoreStall> finish();

  private:
    double origin_;
    std::vector<std::unique_ptr<ChildProcess>> watchers_;
    std::vector<std::thread> readers_;
    std::mutex mutex_;
    std::vector<CoreStall> stalls_;
};

// The moments all `cores` were held together for at least `minimumMs`.
std::vector<MachineStall> machineStalls(const std::vector<CoreStall>& stalls, int cores,
                                        double minimumMs = 10.0);

}  // namespace brimo::bench
