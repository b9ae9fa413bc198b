#pragma once

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>

namespace brimo::testing {

// For the life of the object the calling thread obeys file permissions even when the tests
// run as root (as in CI): it drops the capabilities that bypass them from its effective set,
// and raises them again on the way out. Capabilities belong to a thread, so other threads
// keep theirs. Does nothing for an ordinary user, who obeys permissions anyway.
class WithoutFileOverride {
  public:
    WithoutFileOverride() {
        if (::geteuid() != 0) {
            return;
        }
        // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg): no libc wrapper for capget
        if (::syscall(SYS_capget, &header_, saved_.data()) != 0) {
            return;
        }
        auto reduced = saved_;
        for (const int capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}) {
            reduced.at(CAP_TO_INDEX(capability)).effective &= ~CAP_TO_MASK(capability);
        }
        // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg): no libc wrapper for capset
        dropped_ = ::syscall(SYS_capset, &header_, reduced.data()) == 0;
    }
    ~WithoutFileOverride() {
        if (dropped_) {
            // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg): no libc wrapper for capset
            ::syscall(SYS_capset, &header_, saved_.data());
        }
    }
    WithoutFileOverride(const WithoutFileOverride&) = delete;
    WithoutFileOverride& operator=(const WithoutFileOverride&) = delete;

  private:
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    std::array<__user_cap_data_struct, _LINUX_CAPABILITY_U32S_3> saved_{};
    bool dropped_ = false;
};

}  // namespace brimo::testing
