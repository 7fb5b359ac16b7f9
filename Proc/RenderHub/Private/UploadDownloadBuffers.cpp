#include <GL/glew.h>

#include "Private/UploadDownloadBuffers.h"

namespace Kavrin::Ogl::Details {

bool CheckTextureFormatSupporting() {
    // The probe of the transfer formats comes with the pixel transfer paths; no
    // format is required before them.
    return true;
}

}  // namespace Kavrin::Ogl::Details
