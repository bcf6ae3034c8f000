#pragma once
#include <algorithm>
#include <cstdint>

namespace sk::rec {

// Digits after the decimal point of 1/d written out exactly, or -1 when 1/d
// never ends in decimal (d has a prime factor other than 2 and 5). EDF's text
// fields hold durations and onsets only as exact decimals, so both the record
// duration and the onset width come down to this.
inline int TerminatingDecimalDigits(int64_t d) {
    if (d <= 0)
        return -1;
    int twos = 0, fives = 0;
    for (; d % 2 == 0; d /= 2)
        ++twos;
    for (; d % 5 == 0; d /= 5)
        ++fives;
    return d == 1 ? std::max(twos, fives) : -1;
}

} // namespace sk::rec
