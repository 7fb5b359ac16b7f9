#pragma once

#include <cstdint>

#include <boost/intrusive_ptr.hpp>

#include "Kavrin/Conf/ColorSpace.h"
#include "Kavrin/Conf/FrameInfo.h"
#include "Kavrin/Core/RefCount.h"
#include "Kavrin/PixFmt.h"
#include "Kavrin/Proc/Plane.h"

namespace Kavrin::Proc {

struct Color {
    std::uint8_t red;
    std::uint8_t green;
    std::uint8_t blue;
    std::uint8_t alpha;
};

enum class CloneMode : int { Shallow = 0, Reference = 1, Deep = 2 };

enum class FrameAllocType : int { None = 0, CPU = 1, GPU = 2 };

enum class InterlaceMode : int { Progressive = 0, TopFieldFirst = 1, BottomFieldFirst = 2 };

// A video frame of the pipeline, in system or GPU memory. Implementations say
// which threads may call them; none is synchronised unless it says so.
class IDataVideo : public IRefCountable {
public:
    virtual std::int64_t GetDuration() const = 0;
    virtual void SetDuration(std::int64_t duration) = 0;
    virtual std::int64_t GetTimeStamp() const = 0;
    virtual void SetTimeStamp(std::int64_t timeStamp) = 0;
    virtual void CutFromBegin(std::int64_t duration) = 0;
    virtual void CutFromCenter(std::int64_t offset, std::int64_t duration) = 0;
    virtual void CutFromEnd(std::int64_t duration) = 0;

    virtual FrameAllocType GetType() const = 0;
    virtual const Conf::FrameInfo& GetFrameInfo() const = 0;
    virtual int GetAlignedWidth() const = 0;
    virtual int GetAlignedHeight() const = 0;
    virtual PixFmt GetPixelFormat() const = 0;
    virtual const Conf::ColorSpace& GetColorSpace() const = 0;
    virtual InterlaceMode GetInterlaceMode() const = 0;
    virtual void SetInterlaceMode(InterlaceMode mode) = 0;
    virtual const void* GetFrame() const = 0;
    virtual void* GetFrame() = 0;
    virtual void SetPixelAspect(int num, int den) = 0;

    virtual Plane GetPlane(unsigned char plane) = 0;
    virtual ConstPlane GetPlaneConst(unsigned char plane) const = 0;
    virtual ConstPlane GetExtraPlaneConst() const = 0;
    virtual void SetExtraPlaneConst(const ConstPlane& plane) = 0;

    virtual boost::intrusive_ptr<IDataVideo> GetUnusedCopy() const = 0;
    virtual boost::intrusive_ptr<IDataVideo> Clone(CloneMode mode) const = 0;
    virtual boost::intrusive_ptr<IDataVideo> Subframe(int x, int y, int width,
                                                      int height) const = 0;
    // Fills the borders (top and bottom rows, left and right columns) with the
    // colour; amounts that cover the picture fill all of it.
    virtual void PicturePad(unsigned top, unsigned bottom, unsigned left, unsigned right,
                            const Color& color) = 0;
    virtual void Execute(bool wait) = 0;
};

// Memory planes of the frame's pixel format; 0 for hardware and unknown formats.
int GetPlanesCount(const IDataVideo& video);

}  // namespace Kavrin::Proc
