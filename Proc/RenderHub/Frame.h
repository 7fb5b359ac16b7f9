#pragma once

#include <GL/glew.h>

#include "Kavrin/Conf/ColorSpace.h"
#include "Kavrin/Conf/FrameInfo.h"
#include "Kavrin/Core/RefCount.h"
#include "Kavrin/PixFmt.h"

namespace Kavrin::Ogl {

// A GPU video frame. Reference-counted; allocated on the GL thread.
// Its texture storage arrives with the frame module; for now allocation records
// the frame's format, colour space and geometry.
class Frame : public IRefCountable {
public:
    Frame() = default;
    KAVRIN_IMPLEMENT_REFCOUNT(refCount)

    bool IsValid() const { return valid; }
    void Allocate(const Conf::ColorSpace& colorSpace, PixFmt pixFmt,
                  const Conf::FrameInfo& frameInfo);

    PixFmt GetPixelFormat() const { return pixFmt; }
    const Conf::ColorSpace& GetColorSpace() const { return colorSpace; }
    const Conf::FrameInfo& GetFrameInfo() const { return frameInfo; }

private:
    RefCountImpl refCount;
    bool valid = false;
    PixFmt pixFmt = PixFmt::None;
    Conf::ColorSpace colorSpace;
    Conf::FrameInfo frameInfo;
};

}  // namespace Kavrin::Ogl
