#pragma once

namespace brimo::timepitch {

// Whether the AVX2 + FMA loops run. Each piece asks once, when it is prepared: the processor's
// support decides, unless a test has pinned the plain loops to hold the two against each other.
bool vectorLoopsEnabled();

// True when the processor has AVX2 and FMA, whatever a test pinned.
bool processorHasVectorLoops();

// False pins the plain loops for every piece prepared afterwards; true gives the processor's
// choice back. For tests only: pieces already prepared keep the loops they chose.
void allowVectorLoops(bool allowed);

}  // namespace brimo::timepitch
