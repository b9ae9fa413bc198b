#pragma once

#include <optional>
#include <string>
#include <vector>

namespace brimo::process {

struct ProcessResult {
    int exitStatus = -1;    // the exit code, or -1 when the program could not run or was killed
    std::string output;     // everything it wrote to standard output
    std::string errorText;  // everything it wrote to standard error, or why it could not run
};

// Runs a program with its arguments, no shell in between, and waits for it. Standard input is
// /dev/null. The program is looked up on PATH.
ProcessResult runProgram(const std::vector<std::string>& arguments);

}  // namespace brimo::process
