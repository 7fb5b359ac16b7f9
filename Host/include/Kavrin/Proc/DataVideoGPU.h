#pragma once

#include <cstdint>
#include <functional>

#include <boost/intrusive_ptr.hpp>

#include "Kavrin/Conf/ColorSpace.h"
#include "Kavrin/Conf/FrameInfo.h"
#include "Kavrin/Core/RefCount.h"
#include "Kavrin/PixFmt.h"
#include "Kavrin/Proc/IDataVideo.h"

namespace Kavrin::Proc {

// Pipeline video data that lives on a GPU. Holds the format, geometry, colour
// space, timing and reference count; subclasses own the GPU resources and
// implement GetType, Clone, PicturePad and Execute. There are no CPU planes:
// plane access and subframes throw. Reference counts change on any thread;
// everything else is driven by one pipeline thread at a time.
class DataVideoGPU : public IDataVideo {
public:
    using Creator = std::function<boost::intrusive_ptr<DataVideoGPU>(
        const Conf::ColorSpace&, PixFmt, const Conf::FrameInfo&)>;

    // Factory of OpenGL-backed video objects; set by the GL library while it is
    // initialised, empty otherwise. Not synchronised: set and cleared by the
    // library's initialising thread.
    static Creator CreatorOGL;

    KAVRIN_IMPLEMENT_REFCOUNT(refCount)

    std::int64_t GetDuration() const override { return duration; }
    void SetDuration(std::int64_t newDuration) override { duration = newDuration; }
    std::int64_t GetTimeStamp() const override { return timeStamp; }
    void SetTimeStamp(std::int64_t newTimeStamp) override { timeStamp = newTimeStamp; }
    // Cuts shorten the span; they throw when they would leave it.
    void CutFromBegin(std::int64_t cut) override;
    void CutFromCenter(std::int64_t offset, std::int64_t keep) override;
    void CutFromEnd(std::int64_t cut) override;

    FrameAllocType GetType() const override { return FrameAllocType::GPU; }
    const Conf::FrameInfo& GetFrameInfo() const override { return frameInfo; }
    int GetAlignedWidth() const override { return frameInfo.width; }
    int GetAlignedHeight() const override { return frameInfo.height; }
    PixFmt GetPixelFormat() const override { return pixFmt; }
    const Conf::ColorSpace& GetColorSpace() const override { return colorSpace; }
    InterlaceMode GetInterlaceMode() const override { return interlaceMode; }
    void SetInterlaceMode(InterlaceMode mode) override { interlaceMode = mode; }
    const void* GetFrame() const override { return nullptr; }
    void* GetFrame() override { return nullptr; }
    void SetPixelAspect(int num, int den) override;

    Plane GetPlane(unsigned char plane) override;
    ConstPlane GetPlaneConst(unsigned char plane) const override;
    ConstPlane GetExtraPlaneConst() const override { return extraPlane; }
    void SetExtraPlaneConst(const ConstPlane& plane) override { extraPlane = plane; }

    // A new object of the same format and size from the OpenGL factory.
    boost::intrusive_ptr<IDataVideo> GetUnusedCopy() const override;
    boost::intrusive_ptr<IDataVideo> Subframe(int x, int y, int width, int height) const override;

protected:
    DataVideoGPU() = default;
    DataVideoGPU(const Conf::ColorSpace& colorSpace, PixFmt pixFmt,
                 const Conf::FrameInfo& frameInfo)
        : colorSpace(colorSpace), pixFmt(pixFmt), frameInfo(frameInfo) {}
    DataVideoGPU(const DataVideoGPU&) = default;

    Conf::ColorSpace colorSpace;
    PixFmt pixFmt = PixFmt::None;
    Conf::FrameInfo frameInfo;
    std::int64_t timeStamp = 0;
    std::int64_t duration = 0;

private:
    RefCountImpl refCount;
    InterlaceMode interlaceMode = InterlaceMode::Progressive;
    ConstPlane extraPlane;
};

}  // namespace Kavrin::Proc
