#include "account/update/VersionOrdering.h"

namespace brimo::account {
namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Compares two digit runs by value without converting them, so no length overflows.
std::strong_ordering compareNumbers(std::string_view left, std::string_view right) {
    while (left.size() > 1 && left.front() == '0') {
        left.remove_prefix(1);
    }
    while (right.size() > 1 && right.front() == '0') {
        right.remove_prefix(1);
    }
    if (left.size() != right.size()) {
        return left.size() <=> right.size();
    }
    return left.compare(right) <=> 0;
}

}  // namespace

std::strong_ordering compareVersions(std::string_view left, std::string_view right) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < left.size() && j < right.size()) {
        if (isDigit(left[i]) && isDigit(right[j])) {
            const std::size_t leftStart = i;
            const std::size_t rightStart = j;
            while (i < left.size() && isDigit(left[i])) {
                ++i;
            }
            while (j < right.size() && isDigit(right[j])) {
                ++j;
            }
            const auto order = compareNumbers(left.substr(leftStart, i - leftStart),
                                              right.substr(rightStart, j - rightStart));
            if (order != std::strong_ordering::equal) {
                return order;
            }
            continue;
        }
        const auto leftByte = static_cast<unsigned char>(left[i]);
        const auto rightByte = static_cast<unsigned char>(right[j]);
        if (leftByte != rightByte) {
            return leftByte <=> rightByte;
        }
        ++i;
        ++j;
    }
    // What is left over orders after nothing: 1.0.1 after 1.0.
    return (left.size() - i) <=> (right.size() - j);
}

}  // namespace brimo::account
