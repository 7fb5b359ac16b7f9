#pragma once

namespace Kavrin::Core {

// Scope object that installs the host's crash filter for its lifetime: an
// exception that escapes to std::terminate is logged with its call stack before
// the previous handler runs. Guards nest; the outermost one restores the
// previous handler. Thread-safe.
class UnhandledExceptionFilterGuard {
public:
    UnhandledExceptionFilterGuard();
    ~UnhandledExceptionFilterGuard();
    UnhandledExceptionFilterGuard(const UnhandledExceptionFilterGuard&) = delete;
    UnhandledExceptionFilterGuard& operator=(const UnhandledExceptionFilterGuard&) = delete;

    // Number of guards alive in the process (for diagnostics and tests).
    static int ActiveCount();
};

}  // namespace Kavrin::Core
