#pragma once

#include <span>
#include <string_view>

namespace brimo::driver::installer {

// One file of the driver bundle: its path inside the bundle and its contents.
struct DeviceFile {
    std::string_view pathInBundle;
    std::string_view contents;
};

// The bundle's files exactly as they were when this program was built.
std::span<const DeviceFile> builtDeviceFiles();

}  // namespace brimo::driver::installer
