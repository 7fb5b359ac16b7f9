#pragma once

#include <GL/glew.h>

#include <memory>

#include <boost/intrusive_ptr.hpp>

#include "Kavrin/Conf/ColorUtils.h"
#include "Kavrin/Conf/FrameInfo.h"
#include "Kavrin/PixFmt.h"
#include "Kavrin/PixFmtDescription.h"
#include "Kavrin/Proc/IDataVideo.h"

namespace Kavrin::Ogl {

class Frame;
class ShaderStorage;
class Texture;

// A semi-planar (NV12 family) frame on the GPU: an integer Y texture and an
// integer two-channel UV texture, taken from and returned to the texture pool.
// Move-only; GL thread only.
class NVTextures {
public:
    NVTextures() = default;
    ~NVTextures();
    NVTextures(NVTextures&& other) noexcept;
    NVTextures& operator=(NVTextures&& other) noexcept;
    NVTextures(const NVTextures&) = delete;
    NVTextures& operator=(const NVTextures&) = delete;

    // Checks everything before releasing the current textures.
    void AllocateTextures(const Conf::FrameInfo& frameInfo, Conf::YCbCrMatrix matrix,
                          const PixFmtDescription* description);
    // RGB(A) GPU frame to Y and UV (colour premultiplied by alpha). Defined with
    // Frame, of which the conversion itself needs only the texture.
    void FromRGBFrame(const Frame& rgb, const ShaderStorage& storage);
    // Y and UV into an RGB24 or RGBA GPU frame (alpha 1). Defined with Frame.
    void ToRGBFrame(const Frame& rgb, const ShaderStorage& storage) const;

    Texture* YTexture() const { return y.get(); }
    Texture* UVTexture() const { return uv.get(); }
    const PixFmtDescription* PixFmtDesc() const { return description; }
    Conf::YCbCrMatrix YCbCrMatrix() const { return matrix; }

private:
    void FreeTextures();
    // The conversions for a frame of that format and size; `rgb` is its texture,
    // null for an empty frame.
    void FromRGB(PixFmt format, const Conf::FrameInfo& info, const Texture* rgb,
                 const ShaderStorage& storage);
    void ToRGB(PixFmt format, const Conf::FrameInfo& info, Texture* rgb,
               const ShaderStorage& storage) const;

    std::unique_ptr<Texture> y;
    std::unique_ptr<Texture> uv;
    const PixFmtDescription* description = nullptr;
    Conf::YCbCrMatrix matrix = Conf::YCbCrMatrix::Unspecified;
};

// Uploads a semi-planar host frame's two planes into a new texture set.
NVTextures FFFrameToNVTextures(const boost::intrusive_ptr<Proc::IDataVideo>& frame,
                               const PixFmtDescription* description, const ShaderStorage& storage);
// Downloads a texture set into a semi-planar host frame of the same format and size.
void NVTexturesToFFFrame(const NVTextures& textures,
                         const boost::intrusive_ptr<Proc::IDataVideo>& frame,
                         const ShaderStorage& storage, const PixFmtDescription* description);

}  // namespace Kavrin::Ogl
