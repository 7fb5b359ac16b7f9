// hello_renderhub: the smallest program against the installed RenderHub package.
// It starts the library's GL worker, sends a BT.709 YUV 4:2:0 frame (white over
// black) through the GPU into RGBA and prints what came back.
#include <GL/glew.h>

#include <cstdio>
#include <exception>

#include <QGuiApplication>

#include <Kavrin/Proc/DataVideoCPU.h>

#include <RenderHub/Frame.h>
#include <RenderHub/IOglTask.h>
#include <RenderHub/RenderHub.h>

namespace {

using Kavrin::PixFmt;
using Kavrin::Proc::DataVideoCPU;
using namespace Kavrin::Ogl;

// GL work runs as a task on the library's GL thread.
class RoundTrip : public IOglTask {
public:
    RoundTrip(boost::intrusive_ptr<DataVideoCPU> input, boost::intrusive_ptr<DataVideoCPU> output)
        : IOglTask(OglCapability::Minimal, "HelloRoundTrip"),
          input(std::move(input)),
          output(std::move(output)) {}
    std::exception_ptr failure;

private:
    void DoExecute(OglCapability, const ShaderStorage& storage) override {
        try {
            auto frame = Frame::Create();  // released here, on the GL thread
            frame->Upload(input, storage);
            frame->Download(output, storage);
        } catch (...) {
            failure = std::current_exception();
        }
    }
    boost::intrusive_ptr<DataVideoCPU> input;
    boost::intrusive_ptr<DataVideoCPU> output;
};

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication application(argc, argv);
    RenderHub& hub = RenderHub::GetInstance();
    hub.Initialize();
    if (!hub.IsInitialized()) {
        std::fprintf(stderr, "hello_renderhub: no usable OpenGL\n");
        return 1;
    }
    std::printf("OpenGL renderer: %s\n", hub.GetRenderer().c_str());

    const Kavrin::Conf::ColorSpace bt709{1, 1, 1};
    auto yuv = DataVideoCPU::Create(PixFmt::YUV420P, {16, 16, 1, 1}, bt709);
    for (int row = 0; row < 16; ++row) {
        for (int x = 0; x < 16; ++x) {
            yuv->GetPlane(0).Row(row)[x] = row < 8 ? 235 : 16;  // white, then black
        }
    }
    for (unsigned char plane = 1; plane < 3; ++plane) {
        for (int row = 0; row < 8; ++row) {
            for (int x = 0; x < 8; ++x) {
                yuv->GetPlane(plane).Row(row)[x] = 128;
            }
        }
    }
    auto rgba = DataVideoCPU::Create(PixFmt::RGBA, {16, 16, 1, 1}, bt709);
    boost::intrusive_ptr<RoundTrip> task(new RoundTrip(yuv, rgba));
    hub.DispatchTask(task);
    task->WaitUntilExecuted();
    int status = 0;
    if (task->failure) {
        try {
            std::rethrow_exception(task->failure);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "hello_renderhub: %s\n", error.what());
            status = 1;
        }
    } else {
        const auto* top = rgba->GetPlaneConst(0).Row(0);
        const auto* bottom = rgba->GetPlaneConst(0).Row(15);
        std::printf("top RGBA: %d %d %d %d\nbottom RGBA: %d %d %d %d\n", top[0], top[1], top[2],
                    top[3], bottom[0], bottom[1], bottom[2], bottom[3]);
    }
    task.reset();
    hub.Deinitialize();
    return status;
}
