// Small text helpers shared by the model readers.
#pragma once

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

namespace KvrnApp {

// A token as a message may show it: printable and short, whatever a fuzzed file holds.
inline std::string Shown(std::string_view token) {
    constexpr size_t kMaxShown = 40;
    std::string shown;
    for (char c : token.substr(0, kMaxShown)) shown += c >= ' ' && c <= '~' ? c : '?';
    if (token.size() > kMaxShown) shown += "...";
    return shown;
}

// std::from_chars, except that a value too small for T reads as zero (writers print doubles such
// as 1e-50 where a float holds 0); values too large still fail.
template <typename T>
std::from_chars_result ParseReal(const char* first, const char* last, T& value) {
    std::from_chars_result result = std::from_chars(first, last, value);
    if (result.ec == std::errc::result_out_of_range) {
        long double wide = 0;
        if (std::from_chars(first, last, wide).ec == std::errc() && std::fabs(wide) < 1) {
            value = T(wide);
            result.ec = std::errc();
        }
    }
    return result;
}

// Reads a plain decimal at `first` (before `last`): [-]digits[.digits][(e|E)[+|-]digits] with at
// most 19 significant digits and a scale within 10^+-22, the form model files hold. Sets *value to
// what std::from_chars gives for the same characters and returns where the number ends; returns
// null, *value untouched, for anything else (other forms, or a value for which the fast way below
// is not exact), which the caller then reads with std::from_chars. Clinger's fast path: the digits
// and the power of ten are exact doubles, so one division or product rounds correctly to double;
// rounding that to float is exact too unless it lands on a tie between two floats.
inline const char* ReadPlainFloat(const char* first, const char* last, float* value) {
    constexpr int kMaxDigits = 19, kMaxScale = 22;
    constexpr std::array<double, kMaxScale + 1> kPowers = {
        1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
        1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const char* at = first;
    const bool negative = at != last && *at == '-';
    at += negative;
    uint64_t digits = 0;
    int count = 0, scale = 0;
    const auto isDigit = [&at, last] { return at != last && unsigned(*at - '0') < 10; };
    if (!isDigit()) return nullptr;
    for (; isDigit(); ++at, ++count) digits = digits * 10 + unsigned(*at - '0');
    if (at != last && *at == '.') {
        ++at;
        if (!isDigit()) return nullptr;
        for (; isDigit(); ++at, ++count, --scale) digits = digits * 10 + unsigned(*at - '0');
    }
    // Leading zeros count too: a bound, not the exact number of significant digits.
    if (count > kMaxDigits) return nullptr;
    if (at != last && (*at == 'e' || *at == 'E')) {
        ++at;
        const bool negativeExponent = at != last && *at == '-';
        at += at != last && (*at == '-' || *at == '+');
        if (!isDigit()) return nullptr;
        int exponent = 0;
        for (; isDigit() && exponent < 1000; ++at) exponent = exponent * 10 + (*at - '0');
        if (isDigit()) return nullptr;
        scale += negativeExponent ? -exponent : exponent;
    }
    if (digits == 0) {
        *value = negative ? -0.0f : 0.0f;
        return at;
    }
    if (digits > (uint64_t(1) << 53) || scale < -kMaxScale || scale > kMaxScale) return nullptr;
    const double exact = scale < 0 ? double(digits) / kPowers[size_t(-scale)]
                                   : double(digits) * kPowers[size_t(scale)];
    // Outside the normal floats a different number of bits is dropped; the tie test below is
    // for normal ones.
    if (!(exact >= std::numeric_limits<float>::min() && exact <= std::numeric_limits<float>::max()))
        return nullptr;
    // A double exactly halfway between two floats: its 29 bits beyond a float's are 1 then 0s.
    constexpr uint64_t kDroppedBits = (uint64_t(1) << 29) - 1, kTie = uint64_t(1) << 28;
    if ((std::bit_cast<uint64_t>(exact) & kDroppedBits) == kTie) return nullptr;
    *value = negative ? -float(exact) : float(exact);
    return at;
}

}  // namespace KvrnApp
