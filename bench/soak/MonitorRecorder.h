#pragma once

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"

namespace brimo::bench {

// Records a sink's monitor (mono, 32-bit float) with the server's own recorder, in memory,
// until finish().
class MonitorRecorder {
  public:
    MonitorRecorder(const std::string& sink, double sampleRate, double expectedSeconds);
    ~MonitorRecorder();
    MonitorRecorder(const MonitorRecorder&) = delete;
    MonitorRecorder& operator=(const MonitorRecorder&) = delete;
    MonitorRecorder(MonitorRecorder&&) = delete;
    MonitorRecorder& operator=(MonitorRecorder&&) = delete;

    // Stops the recorder; what it recorded.
    std::vector<float>& finish();

  private:
    std::unique_ptr<ChildProcess> recorder_;
    std::vector<float> samples_;
    std::thread reader_;
};

}  // namespace brimo::bench
