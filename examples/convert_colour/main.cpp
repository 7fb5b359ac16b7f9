// convert_colour: an HDR10 picture made SDR by FrameConverter, built against the
// installed RenderHub package.
//
// On the main thread: RenderHub::Initialize starts the GL worker; the frames are
// filled; DispatchTask queues the task for the GL thread and WaitUntilExecuted
// waits for it; Deinitialize stops the worker (the thread that initialised it).
// On the GL thread: the task's body converts BT.2020 PQ yuv420p10le into BT.709
// yuv420p. Frames and tasks are reference-counted (boost::intrusive_ptr), so the
// task keeps its frames alive however early main lets go of them.
// A FrameConverter reuses two float frames from one conversion to the next and
// converts on the GL thread only; it may die on any thread, since off it those
// frames are handed back by a queued task. This one converts a single frame, so
// it lives in the task body and hands them back at once.
#include <GL/glew.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iterator>
#include <utility>

#include <QGuiApplication>

#include <Kavrin/Proc/DataVideoCPU.h>

#include <RenderHub/FrameConverter.h>
#include <RenderHub/IOglTask.h>
#include <RenderHub/RenderHub.h>

namespace {

using Kavrin::PixFmt;
using Kavrin::Proc::DataVideoCPU;
using namespace Kavrin::Ogl;

constexpr int kWidth = 64;
constexpr int kHeight = 36;
constexpr int kPatchWidth = 16;

// Limited-range 10-bit Y'CbCr (BT.2020 NCL) of each patch, one patch per 16
// columns, and the SDR Y' it must become (0: not checked).
struct Patch {
    const char* name;
    std::uint16_t y, cb, cr;
    int sdrLuma;
};
constexpr Patch kPatches[] = {
    {"black", 64, 512, 512, 16},
    {"reference white (PQ 58%, 203 cd/m2)", 573, 512, 512, 0},
    {"mastering peak (PQ 75%, 1000 cd/m2)", 723, 512, 512, 235},
    // Outside BT.709 and not gamut-mapped, so it leaves the nominal code range.
    {"BT.2020 red at 203 cd/m2", 198, 439, 772, 0},
};

void Put16(Kavrin::Proc::Plane plane, int x, int row, std::uint16_t value) {
    std::memcpy(plane.Row(row) + 2 * x, &value, sizeof value);
}

std::uint16_t Get16(Kavrin::Proc::ConstPlane plane, int x, int row) {
    std::uint16_t value;
    std::memcpy(&value, plane.Row(row) + 2 * x, sizeof value);
    return value;
}

boost::intrusive_ptr<DataVideoCPU> MakeHdrFrame() {
    // FFmpeg's codes: primaries 9 (BT.2020), transfer 16 (SMPTE ST 2084), matrix 9 (BT.2020 NCL).
    auto frame = DataVideoCPU::Create(PixFmt::YUV420P10LE, {kWidth, kHeight, 1, 1}, {9, 16, 9});
    for (int row = 0; row < kHeight; ++row) {
        for (int x = 0; x < kWidth; ++x) {
            const Patch& patch = kPatches[x / kPatchWidth];
            Put16(frame->GetPlane(0), x, row, patch.y);
            if (row % 2 == 0 && x % 2 == 0) {
                Put16(frame->GetPlane(1), x / 2, row / 2, patch.cb);
                Put16(frame->GetPlane(2), x / 2, row / 2, patch.cr);
            }
        }
    }
    return frame;
}

class ConvertToSdr : public IOglTask {
public:
    ConvertToSdr(boost::intrusive_ptr<DataVideoCPU> source,
                 boost::intrusive_ptr<DataVideoCPU> target)
        : IOglTask(OglCapability::Minimal, "ConvertToSdr"),
          source(std::move(source)),
          target(std::move(target)) {}
    std::exception_ptr failure;

private:
    void DoExecute(OglCapability, const ShaderStorage& storage) override {
        try {
            // The mastering display's peak (HDR10 metadata) is tone-mapped onto SDR
            // white, so HDR reference white (ITU-R BT.2408) lands below it.
            FrameConversionOptions options;
            options.sourcePeakLuminance = 1000.0f;
            options.referenceWhiteLuminance = 203.0f;
            FrameConverter converter(options);
            converter.Convert(source, target, storage);
        } catch (...) {
            failure = std::current_exception();
        }
    }
    boost::intrusive_ptr<DataVideoCPU> source;
    boost::intrusive_ptr<DataVideoCPU> target;
};

// Prints each patch before and after; false when a neutral patch picked up a
// tint, or black or the mastering peak missed SDR black or white.
bool Report(const DataVideoCPU& hdr, const DataVideoCPU& sdr) {
    bool good = true;
    const int row = kHeight / 2;
    for (int index = 0; index < std::ssize(kPatches); ++index) {
        const Patch& patch = kPatches[index];
        const int x = index * kPatchWidth + kPatchWidth / 2;
        const int y = sdr.GetPlaneConst(0).Row(row)[x];
        const int cb = sdr.GetPlaneConst(1).Row(row / 2)[x / 2];
        const int cr = sdr.GetPlaneConst(2).Row(row / 2)[x / 2];
        std::printf("%-36s Y'CbCr %3d %3d %3d -> %3d %3d %3d\n", patch.name,
                    Get16(hdr.GetPlaneConst(0), x, row),
                    Get16(hdr.GetPlaneConst(1), x / 2, row / 2),
                    Get16(hdr.GetPlaneConst(2), x / 2, row / 2), y, cb, cr);
        const bool neutral = patch.cb == 512 && patch.cr == 512;
        // One code value: the float path rounds once, at the end.
        if (neutral && (std::abs(cb - 128) > 1 || std::abs(cr - 128) > 1)) {
            std::fprintf(stderr, "convert_colour: %s got a tint\n", patch.name);
            good = false;
        }
        if (patch.sdrLuma != 0 && std::abs(y - patch.sdrLuma) > 1) {
            std::fprintf(stderr, "convert_colour: %s got Y' %d, wanted %d\n", patch.name, y,
                         patch.sdrLuma);
            good = false;
        }
    }
    return good;
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication application(argc, argv);
    RenderHub& hub = RenderHub::GetInstance();
    hub.Initialize();
    if (!hub.IsInitialized()) {
        std::fprintf(stderr, "convert_colour: no usable OpenGL\n");
        return 1;
    }

    auto hdr = MakeHdrFrame();
    // FFmpeg's codes for BT.709 primaries, transfer and matrix.
    auto sdr = DataVideoCPU::Create(PixFmt::YUV420P, {kWidth, kHeight, 1, 1}, {1, 1, 1});
    boost::intrusive_ptr<ConvertToSdr> task(new ConvertToSdr(hdr, sdr));
    hub.DispatchTask(task);
    task->WaitUntilExecuted();
    int status = 0;
    if (task->failure) {
        try {
            std::rethrow_exception(task->failure);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "convert_colour: %s\n", error.what());
            status = 1;
        }
    } else if (!Report(*hdr, *sdr)) {
        status = 1;
    }
    task.reset();
    hub.Deinitialize();
    return status;
}
