// Debug checks of internal invariants: Q_ASSERT(cond, "what must hold").
//
// With Q_DEBUG_ASSERTS defined (the CMake option of that name, on by default
// for sanitizer and C++ test builds) a false condition prints the message,
// the condition and where it failed, then calls std::abort. Without it the
// condition is still compiled, so it cannot rot, but never evaluated: the
// release code keeps whatever fallback follows the check.
//
// Aborting rather than throwing: a broken invariant means the data structure
// is already inconsistent, so no caller (C++ or Python) should catch it and
// carry on; an abort also stops sanitizer and debugger runs at the fault with
// the stack intact. Bad input from users is refused with panic()
// (geometry/panic.h) instead, which Python sees as an exception.
#pragma once

#if defined(Q_DEBUG_ASSERTS)

#include <cstdio>
#include <cstdlib>

namespace geom::detail {

[[noreturn, gnu::cold, gnu::noinline]] inline void assert_failed(const char* message, const char* condition,
                                                                const char* file, int line) {
    std::fprintf(stderr, "%s:%d: internal invariant broken: %s (%s)\n", file, line, message, condition);
    std::fflush(stderr);
    std::abort();
}

}  // namespace geom::detail

#define Q_ASSERT(cond, message)                                                          \
    do {                                                                                 \
        if (!static_cast<bool>(cond)) [[unlikely]]                                       \
            ::geom::detail::assert_failed((message), #cond, __FILE__, __LINE__);         \
    } while (false)

#else

// The discarded branch is type-checked but generates no code.
#define Q_ASSERT(cond, message)                        \
    do {                                               \
        if constexpr (false) {                         \
            static_cast<void>(static_cast<bool>(cond)); \
            static_cast<void>(message);                \
        }                                              \
    } while (false)

#endif
