#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <vector>

#include "platform/hal/AudioObject.h"

namespace brimo::testing {

// What one device's input side (a sink's monitor) heard while `paplay` played a tone into
// "Brimola Vetrix", judged on interior windows once the sound had arrived.
struct HeardTone {
    bool arrived = false;
    double sampleRate = 0.0;
    std::vector<float> samples;
    // Judged on the 1.5 s from half a second after the onset; zero frequency when the tone
    // arrived cut short. The frequency is that of the undisturbed periods; periods more than
    // 2 % off the expected one are disturbed (each dropout disturbs some).
    double frequencyHz = 0.0;
    std::size_t disturbedPeriods = 0;
    // The steady amplitude (the median peak of two-period blocks), and the loudest sample of
    // the whole recording.
    float level = 0.0F;
    float overallPeak = 0.0F;
    // When the sound was first heard, on the steady clock (polled every 10 ms).
    std::chrono::steady_clock::time_point heardAt;
};

// Runs the main queue until the predicate holds or the time is up; true if it held.
using Pump = std::function<bool(const std::function<bool()>&, std::chrono::milliseconds)>;

// Plays `seconds` of a 440 Hz tone at 0.5 into "Brimola Vetrix" and records each of `devices`
// meanwhile, pumping the main queue all along. `expectedHz` is what the devices should hear.
std::vector<HeardTone> playToneAndRecord(const std::vector<hal::AudioDeviceID>& devices,
                                         double expectedHz, double seconds, const Pump& pump);

}  // namespace brimo::testing
