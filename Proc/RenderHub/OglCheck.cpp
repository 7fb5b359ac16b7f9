#include <GL/glew.h>

#include "OglCheck.h"

#include <sstream>

#include <glog/logging.h>

namespace Kavrin::Ogl {
namespace Details {

OglStateChecker::~OglStateChecker() {
    const GLenum error = glGetError();
    if (error != GL_NO_ERROR) {
        std::ostringstream text;
        text << "OpenGL error in '" << name << "', code " << std::hex << error << "\n";
        LOG(ERROR) << text.str();
    }
}

void CheckVar(bool initialized, const char* name) {
    if (!initialized) {
        LOG(ERROR) << "OpenGL variable '" << name << "' not initilized\n";
    }
}

}  // namespace Details

EnableState::EnableState(unsigned capability) : capability(capability) { glEnable(capability); }

EnableState::~EnableState() { glDisable(capability); }

}  // namespace Kavrin::Ogl
