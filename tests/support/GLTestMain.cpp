// Entry point of the test binaries that share one initialised library.
#include <GL/glew.h>

#include <gtest/gtest.h>

#include "RenderHub.h"
#include "TestMain.h"

namespace {

class GLEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        Kavrin::Test::EnsureGuiApplication();
        auto& hub = Kavrin::Ogl::RenderHub::GetInstance();
        hub.Initialize(nullptr, true);
        ASSERT_TRUE(hub.IsInitialized())
            << "RenderHub could not start its GL worker; is there an X "
               "display (run the suite through scripts/test.sh)?";
    }
    void TearDown() override { Kavrin::Ogl::RenderHub::GetInstance().Deinitialize(); }
};

}  // namespace

int main(int argc, char** argv) {
    Kavrin::Test::InitTestLogging(argv[0]);
    ::testing::InitGoogleTest(&argc, argv);
    Kavrin::Test::InstallHangGuard();
    ::testing::AddGlobalTestEnvironment(new GLEnvironment());
    const int result = RUN_ALL_TESTS();
    Kavrin::Test::DestroyGuiApplication();
    return result;
}
