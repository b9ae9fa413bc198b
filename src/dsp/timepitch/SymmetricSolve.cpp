#include "dsp/timepitch/SymmetricSolve.h"

#include <algorithm>
#include <cmath>
#include <type_traits>

namespace brimo::timepitch {

namespace {

// Factors `a` in place (its lower triangle) after adding the ridge; start[i] is the first
// non-zero entry of row i. `Size` is n, or any int.
template <typename Size>
void factorOf(double* a, Size n, int* start) {
    double trace = 0.0;
    for (int i = 0; i < n; ++i) {
        trace += a[i * n + i];
    }
    const double ridge = 1e-9 * trace / n + 1e-30;
    for (int i = 0; i < n; ++i) {
        a[i * n + i] += ridge;
        start[i] = i;
        for (int k = 0; k < i; ++k) {
            if (a[i * n + k] != 0.0) {
                start[i] = k;
                break;
            }
        }
    }
    for (int j = 0; j < n; ++j) {
        double d = a[j * n + j];
        for (int k = start[j]; k < j; ++k) {
            d -= a[j * n + k] * a[j * n + k];
        }
        d = std::sqrt(std::max(d, 1e-30));
        a[j * n + j] = d;
        for (int i = j + 1; i < n; ++i) {
            if (start[i] > j) {
                continue;
            }
            double s = a[i * n + j];
            for (int k = std::max(start[i], start[j]); k < j; ++k) {
                s -= a[i * n + k] * a[j * n + k];
            }
            a[i * n + j] = s / d;
        }
    }
}

// The small systems (most groups hold two to four partials) with their size fixed, so that
// the loops unroll; the same operations in the same order.
void factor(double* a, int n, int* start) {
    switch (n) {
        case 2:
            factorOf(a, std::integral_constant<int, 2>{}, start);
            return;
        case 3:
            factorOf(a, std::integral_constant<int, 3>{}, start);
            return;
        case 4:
            factorOf(a, std::integral_constant<int, 4>{}, start);
            return;
        default:
            factorOf(a, n, start);
    }
}

}  // namespace

void solveSymmetric(double* a, int n, double* rhs, int count) {
    int start[kLargestSystem];
    factor(a, n, start);
    for (int r = 0; r < count; ++r) {
        double* b = rhs + static_cast<std::ptrdiff_t>(r) * n;
        for (int i = 0; i < n; ++i) {
            double s = b[i];
            for (int k = start[i]; k < i; ++k) {
                s -= a[i * n + k] * b[k];
            }
            b[i] = s / a[i * n + i];
        }
        for (int i = n - 1; i >= 0; --i) {
            double s = b[i];
            for (int k = i + 1; k < n; ++k) {
                if (start[k] <= i) {
                    s -= a[k * n + i] * b[k];
                }
            }
            b[i] = s / a[i * n + i];
        }
    }
}

namespace {

// The substitutions of solveSymmetricFour(), `Size` as in factorOf().
template <typename Size>
void substituteFour(const double* a, Size n, const int* start, double (*rhs)[4]) {
    // The four sides in step, each lane as solveSymmetric() takes it.
    for (int i = 0; i < n; ++i) {
        double s[4] = {rhs[i][0], rhs[i][1], rhs[i][2], rhs[i][3]};
        for (int k = start[i]; k < i; ++k) {
            for (int r = 0; r < 4; ++r) {
                s[r] -= a[i * n + k] * rhs[k][r];
            }
        }
        for (int r = 0; r < 4; ++r) {
            rhs[i][r] = s[r] / a[i * n + i];
        }
    }
    for (int i = n - 1; i >= 0; --i) {
        double s[4] = {rhs[i][0], rhs[i][1], rhs[i][2], rhs[i][3]};
        for (int k = i + 1; k < n; ++k) {
            if (start[k] <= i) {
                for (int r = 0; r < 4; ++r) {
                    s[r] -= a[k * n + i] * rhs[k][r];
                }
            }
        }
        for (int r = 0; r < 4; ++r) {
            rhs[i][r] = s[r] / a[i * n + i];
        }
    }
}

}  // namespace

void solveSymmetricFour(double* a, int n, double (*rhs)[4]) {
    int start[kLargestSystem];
    factor(a, n, start);
    switch (n) {
        case 2:
            substituteFour(a, std::integral_constant<int, 2>{}, start, rhs);
            return;
        case 3:
            substituteFour(a, std::integral_constant<int, 3>{}, start, rhs);
            return;
        case 4:
            substituteFour(a, std::integral_constant<int, 4>{}, start, rhs);
            return;
        default:
            substituteFour(a, n, start, rhs);
    }
}

}  // namespace brimo::timepitch
