#include <GL/glew.h>

#include "NVColorPresentationTools.h"

#include <string>
#include <utility>

#include "Kavrin/Core/Exception.h"

#include "Private/FormatTable.h"
#include "Private/UploadDownloadBuffers.h"
#include "Texture.h"
#include "YUVColorConverter.h"

namespace Kavrin::Ogl {
namespace {

// Plane sizes of every semi-planar format follow NV12's.
const PixFmtDescription& NV12Description() {
    static const PixFmtDescription* description = PixFmtDescription::Find(PixFmt::NV12);
    return *description;
}

std::string Name(const PixFmtDescription* description) {
    return description != nullptr ? description->GetName() : "unknown";
}

bool IsSemiPlanarFormat(PixFmt pixFmt) {
    const Details::FormatEntry* entry = Details::FindFormat(pixFmt);
    return entry != nullptr && entry->layout == Details::PlaneLayout::SemiPlanar;
}

bool IsSemiPlanarDescription(const PixFmtDescription* description) {
    return description != nullptr && (description->flags & PixFmtFlagYUV) != 0 &&
           description->planes != description->components;
}

bool PlanesMatch(const NVTextures& textures, const Conf::FrameInfo& info) {
    const auto& nv12 = NV12Description();
    const auto& y = textures.YTexture()->GetTexParams();
    const auto& uv = textures.UVTexture()->GetTexParams();
    return y.width == nv12.GetPlanWidth(info.width, 0) &&
           y.height == nv12.GetPlanHeight(info.height, 0) &&
           uv.width == nv12.GetPlanWidth(info.width, 1) &&
           uv.height == nv12.GetPlanHeight(info.height, 1);
}

YUVConverter MakeConverter(const ShaderStorage& storage, const NVTextures& textures) {
    const PixFmtDescription* description = textures.PixFmtDesc();
    return YUVConverter(storage, textures.YCbCrMatrix(), description->range, description->depth,
                        description->shift);
}

// Cb first in the chroma plane.
bool Nv12Order(const PixFmtDescription* description) {
    return Details::FindFormat(description->pixFmt)->channels[0] == 1;
}

}  // namespace

NVTextures::~NVTextures() { FreeTextures(); }

NVTextures::NVTextures(NVTextures&& other) noexcept
    : y(std::move(other.y)),
      uv(std::move(other.uv)),
      description(other.description),
      matrix(other.matrix) {}

NVTextures& NVTextures::operator=(NVTextures&& other) noexcept {
    if (this != &other) {
        FreeTextures();
        description = other.description;
        y = std::move(other.y);
        uv = std::move(other.uv);
        matrix = other.matrix;
    }
    return *this;
}

void NVTextures::FreeTextures() {
    TexturePool::GetInstance().PutTex(std::move(y));
    TexturePool::GetInstance().PutTex(std::move(uv));
}

void NVTextures::AllocateTextures(const Conf::FrameInfo& frameInfo, Conf::YCbCrMatrix newMatrix,
                                  const PixFmtDescription* newDescription) {
    if (frameInfo.width <= 0 || frameInfo.height <= 0) {
        KAVRIN_THROW_HOST("AllocateTextures", Exception, "Invalid frame info");
    }
    if (!Conf::IsValidYCbCrMatrix(newMatrix)) {
        KAVRIN_THROW_HOST("AllocateTextures", Exception, "YCbCr matrix not unspecified");
    }
    if (!IsSemiPlanarDescription(newDescription)) {
        KAVRIN_THROW_HOST("AllocateTextures", Exception,
                          "Invalid pixel format: " + Name(newDescription));
    }
    FreeTextures();
    matrix = newMatrix;
    description = newDescription;
    const bool wide = newDescription->depth > 8;
    const auto& nv12 = NV12Description();
    const auto take = [&](int plane) {
        const Details::TextureFormat format = Details::IntegerPlaneFormat(plane + 1, wide);
        auto texture = TexturePool::GetInstance().GetTex(
            {nv12.GetPlanWidth(frameInfo.width, plane), nv12.GetPlanHeight(frameInfo.height, plane),
             format.format, format.internalFormat, format.type});
        texture->Tweak(GL_CLAMP_TO_EDGE, GL_NEAREST);
        return texture;
    };
    y = take(0);
    uv = take(1);
}

void NVTextures::FromRGB(PixFmt format, const Conf::FrameInfo& info, const Texture* rgb,
                         const ShaderStorage& storage) {
    if (!Details::IsIntegerRgbFrame(format)) {
        KAVRIN_THROW_HOST("FromRGBFrame", Exception,
                          "Supported only RGB24/RGBA/RGB48/RGBA64 frame types");
    }
    if (!y || !uv) {
        KAVRIN_THROW_HOST("FromRGBFrame", Exception, "Y-texture and/or UV-texture missing");
    }
    if (!PlanesMatch(*this, info)) {
        KAVRIN_THROW_HOST("FromRGBFrame", Exception, "NV textures and OGL frame sizes don't match");
    }
    if (rgb == nullptr) {
        KAVRIN_THROW_HOST("FromRGBFrame", Exception, "The frame has no texture");
    }
    MakeConverter(storage, *this).ToNV(*rgb, *y, *uv, Nv12Order(description));
}

void NVTextures::ToRGB(PixFmt format, const Conf::FrameInfo& info, Texture* rgb,
                       const ShaderStorage& storage) const {
    if (!Details::IsIntegerRgbFrame(format)) {
        KAVRIN_THROW_HOST("ToRGBFrame", Exception, "Supported only RGB(A) frame type");
    }
    if (!y || !uv) {
        KAVRIN_THROW_HOST("ToRGBFrame", Exception, "Y-texture and/or UV-texture missing");
    }
    if (!PlanesMatch(*this, info)) {
        KAVRIN_THROW_HOST("ToRGBFrame", Exception, "NV textures and OGL frame sizes don't match");
    }
    if (rgb == nullptr) {
        KAVRIN_THROW_HOST("ToRGBFrame", Exception, "The frame has no texture");
    }
    MakeConverter(storage, *this).ToRGB(*y, *uv, Nv12Order(description), *rgb);
}

NVTextures FFFrameToNVTextures(const boost::intrusive_ptr<Proc::IDataVideo>& frame,
                               const PixFmtDescription* description, const ShaderStorage& storage) {
    if (!frame || !IsSemiPlanarFormat(frame->GetPixelFormat())) {
        KAVRIN_THROW_HOST("FFFrameToNVTextures", Exception,
                          "FF Frame has unsupported pixel format: " + Name(description));
    }
    NVTextures textures;
    textures.AllocateTextures(frame->GetFrameInfo(),
                              static_cast<Conf::YCbCrMatrix>(frame->GetColorSpace().matrix),
                              description);
    UploadPlane(frame->GetPlaneConst(0), *textures.YTexture(), storage);
    UploadPlane(frame->GetPlaneConst(1), *textures.UVTexture(), storage);
    return textures;
}

void NVTexturesToFFFrame(const NVTextures& textures,
                         const boost::intrusive_ptr<Proc::IDataVideo>& frame,
                         const ShaderStorage& storage, const PixFmtDescription* description) {
    if (!frame || !IsSemiPlanarFormat(frame->GetPixelFormat())) {
        KAVRIN_THROW_HOST("NVTexturesToFFFrame", Exception,
                          "FF Frame has unsupported pixel format: " + Name(description));
    }
    if (textures.PixFmtDesc() == nullptr ||
        textures.PixFmtDesc()->pixFmt != frame->GetPixelFormat()) {
        KAVRIN_THROW_HOST("NVTexturesToFFFrame", Exception,
                          "NV textures has other textures format then: " + Name(description));
    }
    if (textures.YTexture() == nullptr || textures.UVTexture() == nullptr) {
        KAVRIN_THROW_HOST("NVTexturesToFFFrame", Exception, "Y-texture and/or UV-texture missing");
    }
    if (!PlanesMatch(textures, frame->GetFrameInfo())) {
        KAVRIN_THROW_HOST("NVTexturesToFFFrame", Exception,
                          "NV textures and FF frame sizes don't match");
    }
    DownloadPlane(frame->GetPlane(0), *textures.YTexture(), storage);
    DownloadPlane(frame->GetPlane(1), *textures.UVTexture(), storage);
}

}  // namespace Kavrin::Ogl
