#include <GL/glew.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "Kavrin/Proc/DataVideoCPU.h"
#include "Kavrin/Proc/ProcException.h"

#include "Frame.h"
#include "LogCapture.h"
#include "RenderHub.h"
#include "TestMain.h"
#include "TestTasks.h"

// Start-up under a driver that offers less than this machine's: each process
// runs with one limit set from outside (Mesa's version override, no display)
// and the level the library must end up at.
namespace {

using Kavrin::Ogl::Frame;
using Kavrin::Ogl::OglCapability;
using Kavrin::Ogl::RenderHub;
using Kavrin::Ogl::ShaderStorage;
using Kavrin::Proc::DataVideoCPU;

const char* Expected(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

TEST(DetectionLimitsGLTest, StartsAtTheLevelTheDriverAllowsOrRefusesCleanly) {
    const std::string level = Expected("RENDERHUB_EXPECTED_CAPABILITY");
    if (level.empty()) {
        GTEST_SKIP() << "run by CTest with a driver limit and RENDERHUB_EXPECTED_CAPABILITY set";
    }
    Kavrin::Test::EnsureGuiApplication();
    RenderHub& hub = RenderHub::GetInstance();
    hub.Initialize();
    const auto expected = static_cast<OglCapability>(std::stoi(level));
    EXPECT_EQ(hub.GetOglVersion(), expected);
    if (expected == OglCapability::Unknown) {
        EXPECT_FALSE(hub.IsInitialized());
        try {
            hub.DispatchTask(Kavrin::Test::MakeTask([](auto, const auto&) {}));
            ADD_FAILURE() << "a task was accepted without OpenGL";
        } catch (const Kavrin::Proc::ProcException& error) {
            EXPECT_NE(std::string(error.what()).find("RenderHub could not be initialized"),
                      std::string::npos)
                << error.what();
        }
        return;
    }
    ASSERT_TRUE(hub.IsInitialized());
    EXPECT_EQ(hub.GetInformation()->CapabilityName(),
              Expected("RENDERHUB_EXPECTED_CAPABILITY_NAME"));

    // The built-in programs of this level compile and convert a frame.
    const Kavrin::Conf::ColorSpace bt709{1, 1, 1};
    auto yuv = DataVideoCPU::Create(Kavrin::PixFmt::YUV420P, {8, 4, 1, 1}, bt709);
    yuv->Fill({255, 0, 0, 255});  // red
    auto rgba = DataVideoCPU::Create(Kavrin::PixFmt::RGBA, {8, 4, 1, 1}, bt709);
    Kavrin::Test::WithStorage([&](const ShaderStorage& storage) {
        auto frame = Frame::Create();
        frame->Upload(yuv, storage);
        frame->Download(rgba, storage);
    });
    const std::uint8_t* pixel = rgba->GetPlaneConst(0).Row(3) + 7 * 4;
    EXPECT_NEAR(pixel[0], 255, 2);
    EXPECT_NEAR(pixel[1], 0, 2);
    EXPECT_NEAR(pixel[2], 0, 2);
    EXPECT_EQ(pixel[3], 255);
    hub.Deinitialize();
}

}  // namespace
