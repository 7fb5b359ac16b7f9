#pragma once

#include <GL/glew.h>

#include <boost/intrusive_ptr.hpp>

#include "Kavrin/Conf/ColorSpace.h"
#include "Kavrin/Conf/FrameInfo.h"
#include "Kavrin/PixFmt.h"
#include "Kavrin/Proc/DataVideoGPU.h"

namespace Kavrin::Ogl {

// The pipeline's OpenGL video object. The facade installs Create as the host's
// OpenGL factory while the library is initialised.
class DataVideoOGL {
public:
    // Throws Proc::ProcException until the pipeline data object is built.
    static boost::intrusive_ptr<Proc::DataVideoGPU> Create(const Conf::ColorSpace& colorSpace,
                                                           PixFmt pixFmt,
                                                           const Conf::FrameInfo& frameInfo);
};

}  // namespace Kavrin::Ogl
