// Host exceptions, the unhandled-exception guard and the GL thread registration.
#include "Kavrin/Core/Exception.h"

#include <algorithm>
#include <string>
#include <thread>

#include <boost/exception/diagnostic_information.hpp>
#include <gtest/gtest.h>

#include "Kavrin/Core/MemoryException.h"
#include "Kavrin/Core/UnhandledExceptionFilterGuard.h"
#include "Kavrin/Ogl/OglThread.h"
#include "Kavrin/Proc/ProcException.h"

namespace {

void ThrowProc() { KAVRIN_THROW_HOST("FixedName", Kavrin::Proc::ProcException, "it failed"); }

TEST(ExceptionTest, HostExceptionCarriesDescriptionStackAndFixedFunctionName) {
    EXPECT_THROW(ThrowProc(), Kavrin::Exception);
    EXPECT_THROW(ThrowProc(), std::exception);
    EXPECT_THROW(ThrowProc(), boost::exception);
    try {
        ThrowProc();
        FAIL() << "nothing thrown";
    } catch (const Kavrin::Proc::ProcException& error) {
        EXPECT_STREQ(error.what(), "it failed");
        EXPECT_EQ(error.GetDescription(), "it failed");
        const std::string* stack = boost::get_error_info<Kavrin::TagCallStack>(error);
        ASSERT_NE(stack, nullptr);
        // Frames of the throwing thread, one per line (names need exported symbols).
        EXPECT_GE(std::count(stack->begin(), stack->end(), '\n'), 3) << *stack;
        const char* const* function = boost::get_error_info<boost::throw_function>(error);
        ASSERT_NE(function, nullptr);
        EXPECT_STREQ(*function, "FixedName");
        const char* const* file = boost::get_error_info<boost::throw_file>(error);
        ASSERT_NE(file, nullptr);
        EXPECT_NE(std::string(*file).find("ExceptionTest.cpp"), std::string::npos);
    }
    EXPECT_STREQ(Kavrin::Exception().what(), "Kavrin::Exception");  // no description
    EXPECT_EQ(Kavrin::Exception().GetDescription(), "");
}

TEST(ExceptionTest, OtherExceptionsThrownWithLocationKeepTheirContent) {
    try {
        KAVRIN_THROW_FROM("Somewhere", std::logic_error("misuse"));
    } catch (const std::logic_error& error) {
        EXPECT_STREQ(error.what(), "misuse");
        const std::string diagnostic = boost::diagnostic_information(error);
        EXPECT_NE(diagnostic.find("Somewhere"), std::string::npos) << diagnostic;
    }
    try {
        KAVRIN_THROW_FROM("Allocate", Kavrin::Core::MemoryException("too big", 1ull << 40));
    } catch (const Kavrin::Core::MemoryException& error) {
        EXPECT_EQ(error.GetSize(), 1ull << 40);
        EXPECT_STREQ(error.what(), "too big");
    }
}

using namespace Kavrin::Ogl;

TEST(OglThreadTest, OnlyTheRegisteredThreadIsTheOpenGLThread) {
    bool onWorker = false;
    bool mainWhileWorker = true;
    std::thread worker([&] {
        RegisterOglThread();
        onWorker = IsOpenGLThread();
    });
    worker.join();
    mainWhileWorker = IsOpenGLThread();
    EXPECT_TRUE(onWorker);
    EXPECT_FALSE(mainWhileWorker);

    RegisterOglThread();
    EXPECT_TRUE(IsOpenGLThread());
    bool otherThread = true;
    std::thread([&] {
        // Unregistering from another thread must not drop the registration.
        UnregisterOglThread();
        otherThread = IsOpenGLThread();
    }).join();
    EXPECT_FALSE(otherThread);
    EXPECT_TRUE(IsOpenGLThread());
    UnregisterOglThread();
    EXPECT_FALSE(IsOpenGLThread());
}

TEST(UnhandledExceptionFilterGuardTest, GuardsNestAndRestoreTheHandler) {
    const std::terminate_handler before = std::get_terminate();
    {
        Kavrin::Core::UnhandledExceptionFilterGuard outer;
        const std::terminate_handler installed = std::get_terminate();
        EXPECT_NE(installed, before);
        {
            Kavrin::Core::UnhandledExceptionFilterGuard inner;
            EXPECT_EQ(Kavrin::Core::UnhandledExceptionFilterGuard::ActiveCount(), 2);
            EXPECT_EQ(std::get_terminate(), installed);
        }
        EXPECT_EQ(std::get_terminate(), installed);
    }
    EXPECT_EQ(std::get_terminate(), before);
    EXPECT_EQ(Kavrin::Core::UnhandledExceptionFilterGuard::ActiveCount(), 0);
}

TEST(UnhandledExceptionFilterGuardDeathTest, EscapingExceptionIsReportedWithStack) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            Kavrin::Core::UnhandledExceptionFilterGuard guard;
            std::thread([] { throw std::runtime_error("escaped"); }).join();
        },
        "Unhandled exception:(.|\n)*escaped(.|\n)*Call stack:");
}

}  // namespace
