#include "DropoutCauses.h"

#include <algorithm>

namespace brimo::bench {

const char* causeName(DropoutCause cause) {
    switch (cause) {
        case DropoutCause::input:
            return "input";
        case DropoutCause::ours:
            return "ours";
        case DropoutCause::server:
            return "server";
        case DropoutCause::machine:
            return "machine";
    }
    return "?";
}

std::vector<EngineEvent> eventsNear(const std::vector<EngineEvent>& events, double heardAt,
                                    double maxDelay, double maxEarly) {
    std::vector<EngineEvent> near;
    std::copy_if(events.begin(), events.end(), std::back_inserter(near),
                 [&](const EngineEvent& event) {
                     const double lead = heardAt - event.atSeconds;
                     return lead > -maxEarly && lead < maxDelay;
                 });
    return near;
}

DropoutCause dropoutCause(const Glitch& heard, const std::vector<Glitch>& input,
                          const std::vector<EngineEvent>& events,
                          const std::vector<MachineStall>& stalls, double machineHoldMs) {
    // Both recordings start together; the engine's latency (well under a second) separates
    // the same moment in the two.
    const bool inInput = std::any_of(input.begin(), input.end(), [&](const Glitch& early) {
        const double lead = heard.atSeconds - early.atSeconds;
        return lead > -0.25 && lead < 1.0;
    });
    if (inInput) {
        return DropoutCause::input;
    }
    // The hole reaches the recording a pipeline's latency (well under a second) after the stall.
    const bool machineHeld =
        std::any_of(stalls.begin(), stalls.end(), [&](const MachineStall& stall) {
            const double lead = heard.atSeconds - stall.startSeconds;
            return stall.heldMs >= machineHoldMs && lead > -0.25 && lead < 1.0;
        });
    if (machineHeld) {
        return DropoutCause::machine;
    }
    return eventsNear(events, heard.atSeconds).empty() ? DropoutCause::server : DropoutCause::ours;
}

}  // namespace brimo::bench
