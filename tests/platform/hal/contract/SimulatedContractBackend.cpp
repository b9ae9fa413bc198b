#include <map>

#include "platform/hal/contract/ContractBackend.h"
#include "platform/hal/sim/ScopedSimulatedBackend.h"

namespace brimo::hal::contract {

namespace {

class SimulatedContractBackend final : public ContractBackend {
  public:
    SimulatedContractBackend() {
        sim_->addDevice(sim::DeviceConfig::loopbackDevice("speakers", "speakers"));
        sim_->addDevice(sim::DeviceConfig::loopbackDevice("Brimola Vetrix", "brimola_vetrix"));
        sim_->waitForNotifications();
    }

    void addDevice(const std::string& uid) override {
        added_[uid] = sim_->addDevice(sim::DeviceConfig::loopbackDevice(uid, uid));
    }
    void removeDevice(const std::string& uid) override { sim_->removeDevice(added_.at(uid)); }
    void waitForNotifications() override { sim_->waitForNotifications(); }

  private:
    sim::ScopedSimulatedBackend sim_;
    std::map<std::string, AudioDeviceID> added_;
};

}  // namespace

std::unique_ptr<ContractBackend> makeContractBackend(std::string& /*reason*/) {
    return std::make_unique<SimulatedContractBackend>();
}

}  // namespace brimo::hal::contract
