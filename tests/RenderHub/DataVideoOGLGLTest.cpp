// GPU data objects: the factory hook, task order, clones and padding (their
// refusals are in the frame tests' table; many threads drive them in StressGLTest).
#include <GL/glew.h>

#include "DataVideoOGL.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FrameCases.h"
#include "RenderHub.h"
#include "ShaderStorage.h"
#include "TestTasks.h"

namespace {

using namespace Kavrin;
using namespace Kavrin::Ogl;
using namespace Kavrin::Test;

const Conf::FrameInfo kSmall{16, 8, 1, 1};

boost::intrusive_ptr<DataVideoOGL> MakeObject(const Conf::FrameInfo& info = kSmall) {
    return DataVideoOGL::Create(kBT709, PixFmt::RGBA, info);
}

using DataVideoOGLGLTest = GLTest<>;

// The hook makes GPU objects while the library runs, up to the largest texture;
// padding the whole picture fills it with the colour.
TEST_F(DataVideoOGLGLTest, TheHookMakesObjectsAndPaddingFillsThem) {
    const auto max = static_cast<int>(RenderHub::GetInstance().GetMaximumTextureSize());
    EXPECT_NO_THROW(MakeObject({max, 1, 0, 0}));
    ASSERT_TRUE(static_cast<bool>(Proc::DataVideoGPU::CreatorOGL));
    auto made = Proc::DataVideoGPU::CreatorOGL(kBT709, PixFmt::RGBA, kSmall);
    EXPECT_NE(dynamic_cast<DataVideoOGL*>(made.get()), nullptr);
    EXPECT_EQ(made->GetType(), Proc::FrameAllocType::GPU);

    auto object = MakeObject({100, 100, 0, 0});
    object->PicturePad(100, 0, 0, 0, {10, 20, 30, 255});
    EXPECT_EQ(object->GetPendingTaskCount(), 1u);
    object->Execute(true);
    const CpuFrame cpu = Blank(PixFmt::RGBA, 100, 100);
    WithStorage([&](const ShaderStorage& storage) { object->FrameData()->Download(cpu, storage); });
    const int colour[] = {10, 20, 30, 255};
    EXPECT_EQ(FirstMiss(*cpu, [&](int k, int, int) { return colour[k]; }, {0, 0, 0, 0}), "");
}

// Dependencies run first, then the tasks in order; clones share the primary's
// frame, time and tasks; a dropped object cancels what is pending.
TEST_F(DataVideoOGLGLTest, TasksRunInOrderAndClonesDeferToThePrimary) {
    std::vector<std::string> log;  // written on the GL thread only
    const auto recorder = [&](std::string name) {
        return MakeTask([&log, name](auto, const auto&) { log.push_back(name); },
                        OglCapability::Minimal, name);
    };
    auto dependency = MakeObject();
    dependency->AttachTask(recorder("dependency"));
    auto object = MakeObject();
    object->AttachTask(recorder("first"));
    object->AttachTask(recorder("second"));
    object->AddDependency(dependency);
    object->Execute(true);
    EXPECT_EQ(log, (std::vector<std::string>{"dependency", "first", "second"}));
    EXPECT_EQ(object->GetPendingTaskCount(), 0u);
    object->Execute(true);  // nothing pending: returns at once

    object->SetTimeStamp(40);
    object->SetDuration(20);
    auto clone = boost::static_pointer_cast<DataVideoOGL>(object->Clone(Proc::CloneMode::Shallow));
    auto cloneOfClone =
        boost::static_pointer_cast<DataVideoOGL>(clone->Clone(Proc::CloneMode::Reference));
    EXPECT_EQ(clone->GetParent(), object);
    EXPECT_EQ(cloneOfClone->GetParent(), object);
    EXPECT_EQ(cloneOfClone->GetTimeStamp(), 40);
    EXPECT_EQ(cloneOfClone->GetDuration(), 20);
    object->AttachTask(recorder("primary"));
    cloneOfClone->Execute(true);
    EXPECT_EQ(log.back(), "primary");
    // The first task allocated the shared frame with the object's format.
    RunOnGL([&] {
        EXPECT_TRUE(object->FrameData()->IsValid());
        EXPECT_EQ(object->FrameData()->GetPixelFormat(), PixFmt::RGBA);
        EXPECT_EQ(object->FrameData().get(), cloneOfClone->FrameData().get());
    });

    auto pending = recorder("pending");
    MakeObject()->AttachTask(pending);
    EXPECT_EQ(pending->GetStatus(), Proc::TaskCancelled);
    EXPECT_EQ(log.back(), "primary");
}

}  // namespace
