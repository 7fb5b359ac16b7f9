// Plane transfers are checked through the frames in every memory layout (see
// FrameGLTest) and their refusals in FrameBadInputGLTest; here the probes.
#include <GL/glew.h>

#include "Private/UploadDownloadBuffers.h"

#include <string>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "RenderHub.h"
#include "ShaderStorage.h"
#include "TestTasks.h"

namespace {

using namespace Kavrin::Ogl;

TEST(TransferGLTest, FormatProbesPassOnThisMachineAndPickTheBufferVariant) {
    Kavrin::Test::LogCapture log;
    bool supported = false;
    bool simple = false;
    Kavrin::Test::WithStorage([&](const ShaderStorage& storage) {
        supported = Details::CheckTextureFormatSupporting();
        simple =
            dynamic_cast<Details::DownloadBufferSimple*>(&storage.GetDownloadBuffer()) != nullptr;
    });
    EXPECT_TRUE(supported);
    EXPECT_EQ(log.CountPrefix("Unable to create texture"), 0) << log.Dump();
    if (RenderHub::GetInstance().GetRenderer().find("llvmpipe") != std::string::npos) {
        EXPECT_TRUE(simple) << "llvmpipe reads back through pixel-pack buffers exactly";
    }
    Kavrin::Test::FinishGLTest();
}

}  // namespace
