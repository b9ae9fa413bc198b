// A second process appending to the same diagnostic log as the test, as a second instance of
// the application would: waits until the file `go` exists, then logs `count` numbered lines.
// Usage: diagnostic_log_writer <folder> <writer> <count> <max-file-bytes> <go>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "audio/log/DiagnosticLog.h"
#include "audio/log/LogLineSample.h"

int main(int argc, char** argv) {
    if (argc != 6) {
        return 2;
    }
    std::filesystem::path folder = argv[1];
    const std::string writer = argv[2];
    const int count = std::stoi(argv[3]);
    const auto maxFileBytes = std::stoull(argv[4]);
    const std::filesystem::path go = argv[5];
    brimo::audio::DiagnosticLog log(
        "AudioManager", [folder] { return folder; }, maxFileBytes);
    while (!std::filesystem::exists(go)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (int i = 0; i < count; ++i) {
        log.debugLog(brimo::testing::sampleMessage(writer, i));
    }
    return 0;
}
