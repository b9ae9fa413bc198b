#pragma once

namespace brimo::timepitch {

// Cholesky solve of the symmetric positive definite n×n system `a` (row-major) for each of
// `count` right-hand sides stored one after another in `rhs`; solutions overwrite them. The
// systems here are banded (far partials do not interact), so each row starts at its first
// non-zero entry, and so does its factor.
void solveSymmetric(double* a, int n, double* rhs, int count);

}  // namespace brimo::timepitch
