#pragma once

#include <memory>
#include <string>

#include "platform/hal/AudioObject.h"

namespace brimo::hal::contract {

// A backend under the contract suite, installed under the hardware layer for one test. It
// starts with two devices that both play and capture two channels, "speakers" (UID `speakers`,
// the default output) and "Brimola Vetrix" (UID `brimola_vetrix`), and can add and remove more
// of that kind; everything else a test does goes through the layer's own calls.
class ContractBackend {
  public:
    ContractBackend() = default;
    virtual ~ContractBackend() = default;
    ContractBackend(const ContractBackend&) = delete;
    ContractBackend& operator=(const ContractBackend&) = delete;
    ContractBackend(ContractBackend&&) = delete;
    ContractBackend& operator=(ContractBackend&&) = delete;

    // Adds a device named and identified by `uid`; returns once the layer lists it.
    virtual void addDevice(const std::string& uid) = 0;
    // Removes a device added by addDevice; returns once the layer no longer lists it.
    virtual void removeDevice(const std::string& uid) = 0;
    // Returns when every listener call for the changes seen so far has returned.
    virtual void waitForNotifications() = 0;
};

// The backend of this test program; null when it cannot run here (the test then skips and says
// why in `reason`).
std::unique_ptr<ContractBackend> makeContractBackend(std::string& reason);

}  // namespace brimo::hal::contract
