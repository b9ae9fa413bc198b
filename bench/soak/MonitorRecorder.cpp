#include "MonitorRecorder.h"

#include <unistd.h>

namespace brimo::bench {

MonitorRecorder::MonitorRecorder(const std::string& sink, double sampleRate, double expectedSeconds)
    : recorder_(std::make_unique<ChildProcess>(
          std::vector<std::string>{"parec", "--device=" + sink + ".monitor", "--format=float32le",
                                   "--channels=1",
                                   "--rate=" + std::to_string(static_cast<int>(sampleRate)),
                                   "--raw", "--client-name=soak-recorder-" + sink},
          ChildProcess::Pipe::fromChild)) {
    samples_.reserve(static_cast<std::size_t>(sampleRate * expectedSeconds));
    reader_ = std::thread([this] {
        std::vector<float> chunk(4096);
        for (;;) {
            const ssize_t got = read(recorder_->fd(), chunk.data(), chunk.size() * sizeof(float));
            if (got <= 0) {
                break;
            }
            samples_.insert(samples_.end(), chunk.begin(),
                            chunk.begin() + got / static_cast<ssize_t>(sizeof(float)));
        }
    });
}

MonitorRecorder::~MonitorRecorder() {
    finish();
}

std::vector<float>& MonitorRecorder::finish() {
    if (reader_.joinable()) {
        recorder_->terminate();
        reader_.join();
        recorder_->stop();
    }
    return samples_;
}

}  // namespace brimo::bench
