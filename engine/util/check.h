// Invariant checks that print both operands before aborting. KVRN_DCHECK is for hot paths and
// compiles away in release builds.
#pragma once

#include <sstream>
#include <string>

namespace KvrnLib::detail {

[[noreturn]] void CheckFailed(const char* file, int line, const char* expr,
                              const std::string& values);

template <class A, class B>
std::string CheckValues(const A& a, const B& b) {
    std::ostringstream s;
    s << a << " vs " << b;
    return s.str();
}

}  // namespace KvrnLib::detail

#define KVRN_CHECK_OP(a, op, b)                                                             \
    do {                                                                                    \
        const auto& kvrnA_ = (a);                                                           \
        const auto& kvrnB_ = (b);                                                           \
        if (!(kvrnA_ op kvrnB_))                                                            \
            ::KvrnLib::detail::CheckFailed(__FILE__, __LINE__, #a " " #op " " #b,           \
                                           ::KvrnLib::detail::CheckValues(kvrnA_, kvrnB_)); \
    } while (0)

#define KVRN_CHECK(cond)                                                                 \
    do {                                                                                 \
        if (!(cond)) ::KvrnLib::detail::CheckFailed(__FILE__, __LINE__, #cond, "false"); \
    } while (0)

#define KVRN_CHECK_LT(a, b) KVRN_CHECK_OP(a, <, b)
#define KVRN_CHECK_LE(a, b) KVRN_CHECK_OP(a, <=, b)
#define KVRN_CHECK_EQ(a, b) KVRN_CHECK_OP(a, ==, b)
#define KVRN_CHECK_GE(a, b) KVRN_CHECK_OP(a, >=, b)

#ifdef NDEBUG
#define KVRN_DCHECK(cond) \
    do {                  \
    } while (0)
#define KVRN_DCHECK_LT(a, b) KVRN_DCHECK(true)
#else
#define KVRN_DCHECK(cond) KVRN_CHECK(cond)
#define KVRN_DCHECK_LT(a, b) KVRN_CHECK_LT(a, b)
#endif
