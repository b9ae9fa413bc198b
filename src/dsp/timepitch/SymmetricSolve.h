#pragma once

namespace brimo::timepitch {

// The largest system solved (a group's partials).
inline constexpr int kLargestSystem = 32;

// Cholesky solve of the symmetric positive definite n×n system `a` (row-major) for each of
// `count` right-hand sides stored one after another in `rhs`; solutions overwrite them. The
// systems here are banded (far partials do not interact), so each row starts at its first
// non-zero entry, and so does its factor.
void solveSymmetric(double* a, int n, double* rhs, int count);

// The same for four right-hand sides stored side by side (rhs[i][r]: row i of side r), each
// solved as solveSymmetric() solves it, to the bit.
void solveSymmetricFour(double* a, int n, double (*rhs)[4]);

}  // namespace brimo::timepitch
