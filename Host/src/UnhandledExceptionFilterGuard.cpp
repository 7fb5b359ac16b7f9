#include "Kavrin/Core/UnhandledExceptionFilterGuard.h"

#include <cstdio>
#include <exception>
#include <mutex>

#include <boost/exception/diagnostic_information.hpp>

#include "Kavrin/Core/Exception.h"

namespace Kavrin::Core {
namespace {

// Guards the two fields below; a leaf lock.
std::mutex guardMutex;
int activeGuards = 0;
std::terminate_handler previousHandler = nullptr;

[[noreturn]] void CrashFilter() {
    // Written with stdio: logging may itself be what failed.
    std::fprintf(stderr, "Unhandled exception: %s\nCall stack:\n%s\n",
                 std::current_exception()
                     ? boost::current_exception_diagnostic_information().c_str()
                     : "none",
                 GetCallStack().c_str());
    std::terminate_handler next;
    {
        std::lock_guard lock(guardMutex);
        next = previousHandler;
    }
    if (next) {
        next();
    }
    std::abort();
}

}  // namespace

UnhandledExceptionFilterGuard::UnhandledExceptionFilterGuard() {
    std::lock_guard lock(guardMutex);
    if (activeGuards++ == 0) {
        previousHandler = std::set_terminate(&CrashFilter);
    }
}

UnhandledExceptionFilterGuard::~UnhandledExceptionFilterGuard() {
    std::lock_guard lock(guardMutex);
    if (--activeGuards == 0) {
        std::set_terminate(previousHandler);
        previousHandler = nullptr;
    }
}

int UnhandledExceptionFilterGuard::ActiveCount() {
    std::lock_guard lock(guardMutex);
    return activeGuards;
}

}  // namespace Kavrin::Core
