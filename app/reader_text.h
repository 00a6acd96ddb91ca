// Small text helpers shared by the model readers.
#pragma once

#include <charconv>
#include <cmath>
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

}  // namespace KvrnApp
