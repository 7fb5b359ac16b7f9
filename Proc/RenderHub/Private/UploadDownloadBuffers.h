#pragma once

#include <GL/glew.h>

#include <vector>

#include "Kavrin/PixFmt.h"
#include "Kavrin/Proc/Plane.h"

#include "Private/TransferBuffers.h"

namespace Kavrin::Ogl {

class ShaderStorage;
class Texture;

// The CPU pixel formats frames can be uploaded from and downloaded to, in a fixed
// order. Thread-safe.
const std::vector<PixFmt>& GetSupportedPixFmt();
bool IsSupportedPixFmt(PixFmt pixFmt);

// Moves one host plane into (or out of) a texture of the same size; rows stored
// bottom-up (negative stride) keep their picture the right way up. Throws Kavrin::Exception
// before any GL call for a null plane, a row count other than the texture's
// height or a stride narrower than a row. GL thread only.
// `order` names the client pixels' transfer format and type where they differ
// from the texture's (0: the texture's own), with as many bytes per pixel.
struct ClientOrder {
    GLenum format = 0;
    GLenum type = 0;
};
void UploadPlane(const Proc::ConstPlane& plane, Texture& texture, const ShaderStorage& storage,
                 ClientOrder order = {});
void DownloadPlane(const Proc::Plane& plane, Texture& texture, const ShaderStorage& storage,
                   ClientOrder order = {});

// Draws `source` into `destination` upside down. GL thread only.
void FlipCopy(const Texture& source, Texture& destination, const ShaderStorage& storage);

}  // namespace Kavrin::Ogl
