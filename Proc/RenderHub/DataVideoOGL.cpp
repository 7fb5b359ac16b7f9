#include <GL/glew.h>

#include "DataVideoOGL.h"

#include "Kavrin/Proc/ProcException.h"

namespace Kavrin::Ogl {

boost::intrusive_ptr<Proc::DataVideoGPU> DataVideoOGL::Create(const Conf::ColorSpace&, PixFmt,
                                                              const Conf::FrameInfo&) {
    KAVRIN_THROW_HOST("Create", Proc::ProcException,
                      "OpenGL video objects are not supported by this build of RenderHub");
}

}  // namespace Kavrin::Ogl
