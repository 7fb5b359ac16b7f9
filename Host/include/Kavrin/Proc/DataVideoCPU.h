#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include <boost/intrusive_ptr.hpp>

#include "Kavrin/Conf/ColorSpace.h"
#include "Kavrin/Conf/FrameInfo.h"
#include "Kavrin/Core/RefCount.h"
#include "Kavrin/PixFmt.h"
#include "Kavrin/PixFmtDescription.h"
#include "Kavrin/Proc/IDataVideo.h"

namespace Kavrin::Proc {

struct DataVideoCPUOptions {
    int alignment = 32;     // bytes; a power of two, for plane starts and strides
    int rowPadding = 0;     // bytes added to each row before rounding up the stride
    bool bottomUp = false;  // store rows bottom-up (negative strides)
};

// A video frame in system memory. Owns a reference to a zero-initialised pixel
// block that shallow clones and subframes share; deep clones get their own.
// Not synchronised: one thread at a time per object (the reference count is
// thread-safe); frames sharing a block must not be written concurrently.
class DataVideoCPU : public IDataVideo {
public:
    // Throws Kavrin::Exception for formats without a description, hardware
    // formats, formats whose pixels are not whole bytes, width or height <= 0,
    // an odd width for packed 4:2:2 formats, negative padding and an alignment
    // that is not a power of two; Core::MemoryException when the block cannot
    // be allocated.
    static boost::intrusive_ptr<DataVideoCPU> Create(PixFmt pixFmt,
                                                     const Conf::FrameInfo& frameInfo,
                                                     const Conf::ColorSpace& colorSpace = {},
                                                     const DataVideoCPUOptions& options = {});

    KAVRIN_IMPLEMENT_REFCOUNT(refCount)

    // Bytes of one row that pixels use (stride minus padding and alignment).
    int GetPlaneWidthBytes(int plane) const;
    const PixFmtDescription& GetDescription() const { return *description; }
    const DataVideoCPUOptions& GetOptions() const { return options; }

    std::int64_t GetDuration() const override { return duration; }
    void SetDuration(std::int64_t newDuration) override;
    std::int64_t GetTimeStamp() const override { return timeStamp; }
    void SetTimeStamp(std::int64_t newTimeStamp) override { timeStamp = newTimeStamp; }
    // The cuts shorten the frame's time span; each throws Kavrin::Exception
    // when it would leave the current span. CutFromCenter keeps `duration`
    // starting `offset` after the current time stamp.
    void CutFromBegin(std::int64_t cut) override;
    void CutFromCenter(std::int64_t offset, std::int64_t newDuration) override;
    void CutFromEnd(std::int64_t cut) override;

    FrameAllocType GetType() const override { return FrameAllocType::CPU; }
    const Conf::FrameInfo& GetFrameInfo() const override { return frameInfo; }
    // Pixels that fit into plane 0's stride, and plane 0's rows.
    int GetAlignedWidth() const override;
    int GetAlignedHeight() const override;
    PixFmt GetPixelFormat() const override { return description->pixFmt; }
    const Conf::ColorSpace& GetColorSpace() const override { return colorSpace; }
    InterlaceMode GetInterlaceMode() const override { return interlaceMode; }
    void SetInterlaceMode(InterlaceMode mode) override { interlaceMode = mode; }
    // The start of the shared pixel block.
    const void* GetFrame() const override { return block.get(); }
    void* GetFrame() override { return block.get(); }
    // 0/0 means square; throws Kavrin::Exception for negative terms.
    void SetPixelAspect(int num, int den) override;

    // Throw Kavrin::Exception for a plane the format does not have.
    Plane GetPlane(unsigned char plane) override;
    ConstPlane GetPlaneConst(unsigned char plane) const override;
    // A side plane the caller owns (e.g. a mask); kept as given, never copied.
    ConstPlane GetExtraPlaneConst() const override { return extraPlane; }
    void SetExtraPlaneConst(const ConstPlane& plane) override { extraPlane = plane; }

    // A new zeroed frame with the same format, geometry, options and metadata.
    boost::intrusive_ptr<IDataVideo> GetUnusedCopy() const override;
    // Shallow and Reference share the pixel block; Deep copies the pixels into a
    // block of its own laid out with the same options.
    boost::intrusive_ptr<IDataVideo> Clone(CloneMode mode) const override;
    // A view of a rectangle sharing the pixel block. Throws Kavrin::Exception
    // when the rectangle leaves the frame or does not start on a chroma sample.
    boost::intrusive_ptr<IDataVideo> Subframe(int x, int y, int width, int height) const override;
    // Fills the picture with the colour: packed and planar RGB and gray of 8 to
    // 16 bits, planar and semi-planar YUV, and 8-bit packed 4:2:2 YUV. YUV uses
    // BT.709 coefficients in the format's range (limited, or full for YUVJ)
    // whatever the frame's colour space says; gray gets BT.709 luma. Throws
    // Kavrin::Exception for other formats (float, Bayer, bit fields, PAL8,
    // packed high-depth YUV such as AYUV64 or Y210).
    void PicturePad(unsigned top, unsigned bottom, unsigned left, unsigned right,
                    const Color& color) override;
    // Fills the whole picture with the colour.
    void Fill(const Color& color);
    // Nothing is pending on a CPU frame.
    void Execute(bool) override {}

private:
    DataVideoCPU() = default;
    DataVideoCPU(const DataVideoCPU&) = default;

    RefCountImpl refCount;
    const PixFmtDescription* description = nullptr;
    Conf::FrameInfo frameInfo;
    Conf::ColorSpace colorSpace;
    DataVideoCPUOptions options;
    std::shared_ptr<std::uint8_t> block;
    std::array<Plane, 4> planes{};
    ConstPlane extraPlane;
    InterlaceMode interlaceMode = InterlaceMode::Progressive;
    std::int64_t timeStamp = 0;
    std::int64_t duration = 0;
};

}  // namespace Kavrin::Proc
