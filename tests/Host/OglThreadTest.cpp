#include "Kavrin/Ogl/OglThread.h"

#include <thread>

#include <gtest/gtest.h>

#include "Kavrin/Core/UnhandledExceptionFilterGuard.h"

namespace {

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
