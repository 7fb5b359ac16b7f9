// Entry point of the test binaries that manage the library themselves.
#include <gtest/gtest.h>

#include "TestMain.h"

int main(int argc, char** argv) {
    Kavrin::Test::InitTestLogging(argv[0]);
    ::testing::InitGoogleTest(&argc, argv);
    Kavrin::Test::InstallHangGuard();
    const int result = RUN_ALL_TESTS();
    Kavrin::Test::DestroyGuiApplication();
    return result;
}
