#pragma once

#include <GL/glew.h>

#include <array>
#include <memory>

#include <glm/glm.hpp>

#include "Kavrin/Conf/ColorUtils.h"
#include "Kavrin/Conf/FrameInfo.h"
#include "Kavrin/PixFmtDescription.h"

#include "YpPbPrMatrices.h"

namespace Kavrin::Ogl {

class ShaderProgram;
class ShaderStorage;
class Texture;

// Sample limits of one depth and range: luma [ymin, ymax], chroma [cmin, cmax]
// centred on cmid. Full-range chroma starts at 1, so both sides have equal steps.
struct RangeLimits {
    int ymin = 0;
    int ymax = 0;
    int cmin = 0;
    int cmax = 0;
    int cmid = 0;

    static RangeLimits Make(PixelColorRange range, unsigned bitness);
};

// Converts between integer YUV plane textures and RGB(A) textures with one
// matrix, range, depth and bit alignment, drawing into the storage's framebuffer
// with its quad. Holds no GL state; GL thread only.
class YUVConverter {
public:
    YUVConverter(const ShaderStorage& storage, Conf::YCbCrMatrix matrix, PixelColorRange range,
                 unsigned char bitness, unsigned char dataShift);

    void ToRGB(const Texture& y, const Texture& u, const Texture& v, Texture& target);
    void ToRGB(const Texture& y, const Texture& uv, bool nv12Order, Texture& target);
    void ToRGBA(const Texture& y, const Texture& u, const Texture& v, const Texture& a,
                Texture& target);
    // Colour premultiplied by alpha.
    void ToYUV(const Texture& rgb, Texture& y, Texture& u, Texture& v);
    // Straight colour plus an alpha plane.
    void ToYUVA(const Texture& rgb, Texture& y, Texture& u, Texture& v, Texture& a);
    // Colour premultiplied by alpha; (Cb, Cr) pairs, or (Cr, Cb) without nv12Order.
    void ToNV(const Texture& rgb, Texture& y, Texture& uv, bool nv12Order);

    static bool IsValidOneComponentTexture(const Texture* texture);
    static bool IsValidTwoComponentTexture(const Texture* texture);
    static bool IsValidRGBTexture(const Texture* texture);

private:
    void ToRGBConversion(const Texture* y, const Texture* u, const Texture* v, const Texture* a,
                         bool nv12Order, Texture& target);
    void ToYUVConversion(const Texture* rgb, Texture* y, Texture* u, Texture* v, Texture* a,
                         bool nv12Order);

    const ShaderStorage& storage;
    Conf::YCbCrMatrix matrix;
    PixelColorRange range;
    unsigned char bitness;
    unsigned char dataShift;
};

// The plane textures of one planar YUV frame (Y, U, V and optionally A), taken
// from and returned to the texture pool. Move-only; GL thread only.
class YUVTextures {
public:
    YUVTextures() = default;
    ~YUVTextures();
    YUVTextures(YUVTextures&& other) noexcept;
    YUVTextures& operator=(YUVTextures&& other) noexcept;
    YUVTextures(const YUVTextures&) = delete;
    YUVTextures& operator=(const YUVTextures&) = delete;

    // Unsigned integer planes (8 or 16 bits) sampled with nearest filtering.
    // Throws Kavrin::Exception for a description that is not planar YUV.
    void AllocateAsIntegerTextures(const Conf::FrameInfo& frameInfo, Conf::YCbCrMatrix matrix,
                                   const PixFmtDescription* description);
    // Normalised planes (GL_R8 or GL_R16).
    void AllocateAsNormalizedTextures(const Conf::FrameInfo& frameInfo, Conf::YCbCrMatrix matrix,
                                      const PixFmtDescription* description);

    bool IsInteger() const;
    YUVTextures ToInteger(const ShaderStorage& storage) const;
    YUVTextures ToNormalized(const ShaderStorage& storage) const;

    Texture* YTexture() const { return planes[0].get(); }
    Texture* UTexture() const { return planes[1].get(); }
    Texture* VTexture() const { return planes[2].get(); }
    Texture* ATexture() const { return planes[3].get(); }
    const PixFmtDescription* PixFmtDesc() const { return description; }
    const Conf::FrameInfo& FrameInfo() const { return frameInfo; }
    Conf::YCbCrMatrix YCbCrMatrix() const { return matrix; }

private:
    void AllocateTextures(const Conf::FrameInfo& frameInfo, Conf::YCbCrMatrix matrix,
                          const PixFmtDescription* description, int format, int internalFormat,
                          int type);
    void FreeTextures();

    std::array<std::unique_ptr<Texture>, 4> planes;
    const PixFmtDescription* description = nullptr;
    Conf::FrameInfo frameInfo;
    Conf::YCbCrMatrix matrix = Conf::YCbCrMatrix::RGB;
};

}  // namespace Kavrin::Ogl
