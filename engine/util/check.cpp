#include "check.h"

#include <cstdio>
#include <cstdlib>

namespace KvrnLib::detail {

void CheckFailed(const char* file, int line, const char* expr, const std::string& values) {
    std::fprintf(stderr, "%s:%d: check failed: %s (%s)\n", file, line, expr, values.c_str());
    std::abort();
}

}  // namespace KvrnLib::detail
