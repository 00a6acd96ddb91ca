#include "number_format.h"

#include <charconv>
#include <system_error>

namespace KvrnVectorOut {

void AppendG(std::string& out, double value) {
    // to_chars with a precision is defined as printf("%.*g") in the "C" locale; printf itself
    // would follow LC_NUMERIC and could write a decimal comma.
    char buffer[64];
    const auto [end, ec] =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 6);
    for (char* c = buffer; c != end; ++c) {
        if (*c >= 'a' && *c <= 'z') *c = char(*c - 'a' + 'A');
    }
    out.append(buffer, ec == std::errc() ? end : buffer);
}

std::string FormatG(double value) {
    std::string text;
    AppendG(text, value);
    return text;
}

PsText& PsText::D(int value) {
    char buffer[16];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    text_.append(buffer, ec == std::errc() ? end : buffer);
    return *this;
}

PsText& PsText::Numbers(std::initializer_list<float> values) {
    bool first = true;
    for (float v : values) {
        if (!first) text_ += ' ';
        AppendG(text_, v);
        first = false;
    }
    return *this;
}

}  // namespace KvrnVectorOut
