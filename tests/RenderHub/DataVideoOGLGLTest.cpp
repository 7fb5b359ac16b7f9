#include <GL/glew.h>

#include "DataVideoOGL.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Kavrin/Proc/DataVideoCPU.h"

#include "ColorSpaceConverter.h"
#include "FrameCases.h"
#include "RenderHub.h"
#include "ShaderStorage.h"
#include "TestTasks.h"
#include "Texture.h"

namespace {

using namespace Kavrin;
using namespace Kavrin::Ogl;
using Kavrin::Test::MakeTask;

const Conf::ColorSpace kBt709{1, 1, 1};
const Conf::FrameInfo kSmall{16, 8, 1, 1};

boost::intrusive_ptr<DataVideoOGL> MakeObject(const Conf::FrameInfo& info = kSmall,
                                              PixFmt format = PixFmt::RGBA) {
    return DataVideoOGL::Create(kBt709, format, info);
}

// A task that records its name into a shared list (written on the GL thread only).
boost::intrusive_ptr<Kavrin::Test::FunctionTask> Recorder(std::vector<std::string>& log,
                                                          std::string name) {
    return MakeTask([&log, name](auto, const auto&) { log.push_back(name); },
                    OglCapability::Minimal, name);
}

using DataVideoOGLGLTest = Kavrin::Test::GLTest<>;

// Refusals are in FrameBadInputGLTest's table.
TEST_F(DataVideoOGLGLTest, TheLargestPictureIsMadeThroughTheFactoryHook) {
    const std::uint64_t max = RenderHub::GetInstance().GetMaximumTextureSize();
    EXPECT_NO_THROW(MakeObject({static_cast<int>(max), 1, 0, 0}));
    // The factory hook is installed while the library runs.
    ASSERT_TRUE(static_cast<bool>(Proc::DataVideoGPU::CreatorOGL));
    auto made = Proc::DataVideoGPU::CreatorOGL(kBt709, PixFmt::RGBA, kSmall);
    EXPECT_NE(dynamic_cast<DataVideoOGL*>(made.get()), nullptr);
    EXPECT_EQ(made->GetType(), Proc::FrameAllocType::GPU);
}

TEST_F(DataVideoOGLGLTest, DependenciesRunFirstThenTasksInOrder) {
    std::vector<std::string> log;
    auto dependency = MakeObject();
    dependency->AttachTask(Recorder(log, "dependency"));
    auto object = MakeObject();
    object->AttachTask(Recorder(log, "first"));
    object->AttachTask(Recorder(log, "second"));
    object->AddDependency(dependency);
    object->Execute(true);
    EXPECT_EQ(log, (std::vector<std::string>{"dependency", "first", "second"}));
    EXPECT_EQ(object->GetPendingTaskCount(), 0u);
    // The first task allocated the shared frame with the object's format.
    bool valid = false;
    PixFmt format = PixFmt::None;
    Kavrin::Test::RunOnGL([&] {
        auto frame = object->FrameData();
        valid = frame->IsValid();
        format = frame->GetPixelFormat();
    });
    EXPECT_TRUE(valid);
    EXPECT_EQ(format, PixFmt::RGBA);
    object->Execute(true);  // nothing pending: returns at once
}

TEST_F(DataVideoOGLGLTest, ClonesShareTheFrameAndDeferToThePrimary) {
    std::vector<std::string> log;
    auto primary = MakeObject();
    primary->SetTimeStamp(40);
    primary->SetDuration(20);
    auto clone = boost::static_pointer_cast<DataVideoOGL>(primary->Clone(Proc::CloneMode::Shallow));
    auto cloneOfClone =
        boost::static_pointer_cast<DataVideoOGL>(clone->Clone(Proc::CloneMode::Reference));
    EXPECT_EQ(clone->GetParent(), primary);
    EXPECT_EQ(cloneOfClone->GetParent(), primary);
    EXPECT_EQ(cloneOfClone->GetTimeStamp(), 40);
    EXPECT_EQ(cloneOfClone->GetDuration(), 20);
    primary->AttachTask(Recorder(log, "primary"));
    cloneOfClone->Execute(true);
    EXPECT_EQ(log, (std::vector<std::string>{"primary"}));
    Frame* primaryFrame = nullptr;
    Frame* cloneFrame = nullptr;
    Kavrin::Test::RunOnGL([&] {
        primaryFrame = primary->FrameData().get();
        cloneFrame = cloneOfClone->FrameData().get();
    });
    EXPECT_EQ(primaryFrame, cloneFrame);
}

TEST_F(DataVideoOGLGLTest, PicturePadFillsTheWholePicture) {
    auto object = MakeObject({100, 100, 0, 0});
    object->PicturePad(100, 0, 0, 0, {10, 20, 30, 255});
    EXPECT_EQ(object->GetPendingTaskCount(), 1u);
    object->Execute(true);

    auto cpu = Proc::DataVideoCPU::Create(PixFmt::RGBA, {100, 100, 0, 0}, kBt709);
    Kavrin::Test::WithStorage(
        [&](const ShaderStorage& storage) { object->FrameData()->Download(cpu, storage); });
    const int colour[] = {10, 20, 30, 255};
    EXPECT_EQ(
        Kavrin::Test::FirstMiss(*cpu, [&](int k, int, int) { return colour[k]; }, {0, 0, 0, 0}),
        "");
}

TEST_F(DataVideoOGLGLTest, DestructionCancelsPendingTasks) {
    std::vector<std::string> log;
    auto pending = Recorder(log, "pending");
    {
        auto object = MakeObject();
        object->AttachTask(pending);
    }
    EXPECT_EQ(pending->GetStatus(), Proc::TaskCancelled);
    EXPECT_TRUE(log.empty());
}

// Pipelines on several threads, each driving its own objects through upload,
// colour conversion and download; every picture comes back with its own colour.
TEST_F(DataVideoOGLGLTest, ObjectsDrivenFromSeveralThreads) {
    constexpr int kThreads = 4;
    constexpr int kObjects = 200;
    std::atomic<int> wrong = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kObjects; ++i) {
                const std::uint8_t shade = static_cast<std::uint8_t>(t * 60 + i);
                auto source = Proc::DataVideoCPU::Create(PixFmt::RGBA, kSmall, kBt709);
                source->Fill({shade, static_cast<std::uint8_t>(255 - shade), 7, 255});
                auto destination = Proc::DataVideoCPU::Create(PixFmt::RGBA, kSmall, kBt709);
                auto object = MakeObject();
                object->AttachTask(
                    MakeTask([&, object, source](auto, const ShaderStorage& storage) {
                        object->FrameData()->Upload(source, storage);
                    }));
                // sRGB to sRGB with the same primaries: an identity up to rounding.
                object->AttachTask(
                    MakeTask([&, object, destination](auto, const ShaderStorage& storage) {
                        auto frame = object->FrameData();
                        auto converted = frame->AllocateIntermediate();
                        storage.FBO().Attach(*converted->GetFirstTexture());
                        Proc::ColorConversionInfo info;
                        info.source = {1, 13, 1};
                        info.target = {1, 13, 1};
                        ConvertColorSpace(frame, info, storage);
                        converted->Download(destination, storage);
                    }));
                object->Execute(true);
                const std::uint8_t* pixel = destination->GetPlaneConst(0).Row(3) + 4 * 5;
                // One code for the float round trip through the transfer curve.
                wrong += std::abs(pixel[0] - shade) > 1 || std::abs(pixel[1] - (255 - shade)) > 1 ||
                         std::abs(pixel[2] - 7) > 1;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong, 0);
}

}  // namespace
