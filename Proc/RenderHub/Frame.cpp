#include <GL/glew.h>

#include "Frame.h"

namespace Kavrin::Ogl {

void Frame::Allocate(const Conf::ColorSpace& newColorSpace, PixFmt newPixFmt,
                     const Conf::FrameInfo& newFrameInfo) {
    colorSpace = newColorSpace;
    pixFmt = newPixFmt;
    frameInfo = newFrameInfo;
    valid = true;
}

}  // namespace Kavrin::Ogl
