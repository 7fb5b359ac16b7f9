#pragma once

#include <GL/glew.h>

namespace Kavrin::Ogl::Details {

// Checks, with a context current, that the texture formats the pixel transfer
// paths need can be created and rendered; false makes detection fail.
bool CheckTextureFormatSupporting();

}  // namespace Kavrin::Ogl::Details
