// Text building for the PostScript writers: C printf's "%G" and "%d" without its dependence on
// the process locale, and lines that end with CR LF on every platform.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace KvrnVectorOut {

// Appends value as printf("%G", value) prints it in the "C" locale: six significant digits,
// trailing zeros dropped, exponent form "1E-05" below 1e-4 and from 1e6, INF and NAN in capitals.
void AppendG(std::string& out, double value);
std::string FormatG(double value);

// 8-bit PostScript text. Floats go through AppendG (promoted to double), integers as "%d".
class PsText {
  public:
    PsText& Put(std::string_view text) {
        text_ += text;
        return *this;
    }
    PsText& G(float value) {
        AppendG(text_, value);
        return *this;
    }
    PsText& D(int value);
    // The values separated by single spaces.
    PsText& Numbers(std::initializer_list<float> values);
    PsText& EndLine() { return Put("\r\n"); }
    PsText& Line(std::string_view text) { return Put(text).EndLine(); }
    // Text that may hold line breaks: each becomes CR LF, as every other line end.
    PsText& TextLine(std::string_view text) {
        for (const char c : text) {
            if (c == '\n')
                EndLine();
            else
                Put(std::string_view(&c, 1));
        }
        return EndLine();
    }

    std::string Take() { return std::move(text_); }

  private:
    std::string text_;
};

}  // namespace KvrnVectorOut
