#include <gtest/gtest.h>

#include <set>

#include "integration/hal_pulse/HalQueries.h"
#include "integration/hal_pulse/PrivateAudioServer.h"
#include "platform/hal/AudioHardwareBackend.h"
#include "platform/hal/contract/ContractBackend.h"
#include "platform/hal/pulse/PulseAudioBackend.h"

namespace brimo::hal::contract {

namespace {

using namespace std::chrono_literals;

// The backend on the private server, whose "speakers" and "Brimola Vetrix" are null sinks:
// devices with both sides. Devices a test adds are null sinks too, unloaded by the end.
class PulseContractBackend final : public ContractBackend {
  public:
    PulseContractBackend()
        : backend_(pulse::PulseAudioBackend::create()), installation_(backend_) {}

    ~PulseContractBackend() override {
        for (const auto& uid : added_) {
            testing::pactl({"unload-module", testing::nullSinkModule(uid).value_or("none")});
        }
        testing::pactl({"set-default-sink", "speakers"});
    }

    void addDevice(const std::string& uid) override {
        testing::loadNullSink(uid, uid);
        added_.insert(uid);
        EXPECT_TRUE(testing::eventually(
            [&] { return testing::deviceWithUid(uid) != kAudioObjectUnknown; }, 3s));
    }

    void removeDevice(const std::string& uid) override {
        testing::pactl({"unload-module", testing::nullSinkModule(uid).value_or("none")});
        added_.erase(uid);
        EXPECT_TRUE(testing::eventually(
            [&] { return testing::deviceWithUid(uid) == kAudioObjectUnknown; }, 3s));
    }

    void waitForNotifications() override { backend_->waitForNotifications(); }

  private:
    std::shared_ptr<pulse::PulseAudioBackend> backend_;
    ScopedAudioHardwareBackend installation_;
    std::set<std::string> added_;
};

}  // namespace

std::unique_ptr<ContractBackend> makeContractBackend(std::string& reason) {
    if (!testing::usePrivateAudioServer()) {
        reason = "no private audio server: run through ctest or audio-servers run";
        return nullptr;
    }
    return std::make_unique<PulseContractBackend>();
}

}  // namespace brimo::hal::contract
