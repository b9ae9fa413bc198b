#pragma once

#include <memory>

#include "platform/hal/sim/SimulatedAudioBackend.h"

namespace brimo::hal::sim {

// A fresh simulated backend installed for the scope of a test or a demo; the previous backend
// comes back afterwards.
class ScopedSimulatedBackend {
  public:
    explicit ScopedSimulatedBackend(ClockMode mode = ClockMode::stepped)
        : backend_(std::make_shared<SimulatedAudioBackend>(mode)), installation_(backend_) {}

    SimulatedAudioBackend& operator*() const { return *backend_; }
    SimulatedAudioBackend* operator->() const { return backend_.get(); }
    [[nodiscard]] const std::shared_ptr<SimulatedAudioBackend>& backend() const { return backend_; }

  private:
    std::shared_ptr<SimulatedAudioBackend> backend_;
    ScopedAudioHardwareBackend installation_;
};

}  // namespace brimo::hal::sim
