#pragma once

#include <optional>
#include <regex>
#include <string>

namespace brimo::testing {

// Numbered log messages of varying length, with multi-byte characters, that a reader can
// check for being whole: "<writer> #<n> 🎛️" and then n % 41 dots.
inline std::string sampleMessage(const std::string& writer, int number) {
    return writer + " #" + std::to_string(number) + " 🎛️" + std::string(number % 41, '.');
}

struct SampleLine {
    std::string writer;
    int number = 0;
};

// The writer and number of a whole diagnostic log line (without its line feed) that carries a
// sample message; nothing for anything else, a torn or merged line included.
inline std::optional<SampleLine> parseSampleLine(const std::string& line) {
    static const std::regex kLine(
        R"(\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\] \[Audio(?:Engine|Manager)\] (\w+) #(\d+) .*)");
    std::smatch match;
    if (!std::regex_match(line, match, kLine)) {
        return std::nullopt;
    }
    SampleLine sample{match[1].str(), std::stoi(match[2].str())};
    const auto messageStart = line.find("] ", line.find("] ") + 2) + 2;
    if (line.substr(messageStart) != sampleMessage(sample.writer, sample.number)) {
        return std::nullopt;
    }
    return sample;
}

}  // namespace brimo::testing
