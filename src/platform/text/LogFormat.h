#pragma once

#include <cstdint>
#include <string>

// How values appear in every log line and user-visible text of the audio side, so that lines
// read the same wherever they are written.
namespace brimo::text {

// "true" / "false".
std::string formatBool(bool value);

// Device and object IDs: unsigned decimal.
std::string formatDeviceId(std::uint32_t id);

// Status codes: signed decimal.
std::string formatStatus(std::int32_t status);

// The shortest decimal that reads back to the same value, always with a fractional part or an
// exponent: 48000.0, 437.59999999999997, 1e+16, inf, nan.
std::string formatDouble(double value);

// Same for single precision: -31.766653 for the 432 Hz shift.
std::string formatFloat(float value);

}  // namespace brimo::text
