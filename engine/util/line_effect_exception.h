// The one exception engine stages throw; the LineEffect entry points contain it.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace KvrnLib {

// A stage error carries one of the fixed messages ("invalid settings.", ...); an abort is the
// same exception with no message.
class LineEffectException : public std::exception {
  public:
    explicit LineEffectException(std::string message) : message_(std::move(message)) {}
    static LineEffectException Aborted() { return LineEffectException(std::string()); }
    bool IsAbort() const { return message_.empty(); }
    const char* what() const noexcept override { return message_.c_str(); }

  private:
    std::string message_;
};

}  // namespace KvrnLib
