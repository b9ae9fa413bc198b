#include <gtest/gtest.h>

#include "platform/hal/AudioObject.h"
#include "platform/hal/sim/SimulatedAudioBackend.h"

namespace brimo::hal {
namespace {
TEST(AudioObject, Placeholder) {
    EXPECT_EQ(noErr, 0);
}
}  // namespace
}  // namespace brimo::hal
