#include <GL/glew.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "RenderHub.h"
#include "TestMain.h"
#include "TestTasks.h"

// Start-up under a driver that offers less than this machine's: each process
// runs with one limit set from outside (Mesa's version override, no display)
// and the level the library must end up at. The GL suite itself runs again at
// these levels, which converts frames with each level's programs.
namespace {

using Kavrin::Ogl::OglCapability;

std::string Expected(const char* name) { return std::getenv(name) ? std::getenv(name) : ""; }

TEST(DetectionLimitsGLTest, StartsAtTheLevelTheDriverAllowsOrRefusesCleanly) {
    const std::string level = Expected("RENDERHUB_EXPECTED_CAPABILITY");
    if (level.empty()) {
        GTEST_SKIP() << "run by CTest with a driver limit and RENDERHUB_EXPECTED_CAPABILITY set";
    }
    Kavrin::Test::EnsureGuiApplication();
    Kavrin::Ogl::RenderHub& hub = Kavrin::Ogl::RenderHub::GetInstance();
    hub.Initialize();
    const auto expected = static_cast<OglCapability>(std::stoi(level));
    EXPECT_EQ(hub.GetOglVersion(), expected);
    if (expected != OglCapability::Unknown) {
        ASSERT_TRUE(hub.IsInitialized());
        EXPECT_EQ(hub.GetInformation()->CapabilityName(),
                  Expected("RENDERHUB_EXPECTED_CAPABILITY_NAME"));
        hub.Deinitialize();
        return;
    }
    EXPECT_FALSE(hub.IsInitialized());
    const std::string error = Kavrin::Test::ErrorText(
        [&] { hub.DispatchTask(Kavrin::Test::MakeTask([](auto, const auto&) {})); });
    EXPECT_EQ(error, "RenderHub could not be initialized");
}

}  // namespace
