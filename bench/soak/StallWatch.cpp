#include "StallWatch.h"

#include <sched.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <sstream>
#include <string>

namespace brimo::bench {

namespace {

constexpr long kNanosPerSecond = 1'000'000'000;
constexpr long kPeriodNanos = 10'000'000;  // about as often as the audio cycles, no more
constexpr double kReportedLateMs = 5.0;

double seconds(const timespec& at) {
    return static_cast<double>(at.tv_sec) + static_cast<double>(at.tv_nsec) / 1e9;
}

void advance(timespec& at, long nanos) {
    at.tv_nsec += nanos;
    while (at.tv_nsec >= kNanosPerSecond) {
        at.tv_nsec -= kNanosPerSecond;
        ++at.tv_sec;
    }
}

}  // namespace

int watchStalls(int core) {
    // Ends with the benchmark however it ends.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() == 1) {
        return 0;
    }
    cpu_set_t only;
    CPU_ZERO(&only);
    CPU_SET(core, &only);
    if (sched_setaffinity(0, sizeof only, &only) != 0) {
        return 1;
    }
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (;;) {
        advance(next, kPeriodNanos);
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) != 0) {
        }
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const double lateMs = (seconds(now) - seconds(next)) * 1e3;
        if (lateMs >= kReportedLateMs) {
            std::printf("%.6f %.3f\n", seconds(now), lateMs);
            std::fflush(stdout);
        }
        if (lateMs * 1e6 > kPeriodNanos) {
            next = now;  // one report per stall, not one per missed period
        }
    }
}

StallWatch::StallWatch(const std::string& self, double origin) : origin_(origin) {
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    for (int core = 0; core < cores; ++core) {
        auto& watcher = watchers_.emplace_back(std::make_unique<ChildProcess>(
            std::vector<std::string>{self, "--watch-stalls", std::to_string(core)},
            ChildProcess::Pipe::fromChild));
        const int fd = watcher->fd();
        readers_.emplace_back([this, fd, core] {
            std::string pending;
            std::array<char, 256> chunk{};
            ssize_t got = 0;
            while ((got = read(fd, chunk.data(), chunk.size())) > 0) {
                pending.append(chunk.data(), static_cast<std::size_t>(got));
                std::size_t end = 0;
                while ((end = pending.find('\n')) != std::string::npos) {
                    std::istringstream line(pending.substr(0, end));
                    pending.erase(0, end + 1);
                    double at = 0.0;
                    double lateMs = 0.0;
                    if (line >> at >> lateMs) {
                        const std::lock_guard lock(mutex_);
                        stalls_.push_back({core, at - lateMs / 1e3 - origin_, lateMs});
                    }
                }
            }
        });
    }
}

StallWatch::~StallWatch() {
    finish();
}

std::vector<CoreStall> StallWatch::finish() {
    for (auto& watcher : watchers_) {
        watcher->terminate();  // the reader sees the pipe end and returns
    }
    for (auto& reader : readers_) {
        reader.join();
    }
    readers_.clear();
    watchers_.clear();
    const std::lock_guard lock(mutex_);
    return stalls_;
}

std::vector<MachineStall> machineStalls(const std::vector<CoreStall>& stalls, int cores,
                                        double minimumMs) {
    // Intersect each stall of core 0 with the others' overlapping stalls: what is left is the
    // time every core was held.
    std::vector<MachineStall> together;
    for (const auto& first : stalls) {
        if (first.core != 0) {
            continue;
        }
        double start = first.startSeconds;
        double end = first.startSeconds + first.heldMs / 1e3;
        for (int core = 1; core < cores && start < end; ++core) {
            double bestStart = end;
            double bestEnd = end;
            for (const auto& other : stalls) {
                const double otherEnd = other.startSeconds + other.heldMs / 1e3;
                if (other.core != core || otherEnd <= start || other.startSeconds >= end) {
                    continue;
                }
                const double overlapStart = std::max(start, other.startSeconds);
                const double overlapEnd = std::min(end, otherEnd);
                if (overlapEnd - overlapStart > bestEnd - bestStart) {
                    bestStart = overlapStart;
                    bestEnd = overlapEnd;
                }
            }
            start = bestStart;
            end = bestEnd;
        }
        if ((end - start) * 1e3 >= minimumMs) {
            together.push_back({start, (end - start) * 1e3});
        }
    }
    return together;
}

}  // namespace brimo::bench
