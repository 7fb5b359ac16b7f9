#include <GL/glew.h>

#include "Frame.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <string_view>

#include "Kavrin/Core/Exception.h"
#include "Kavrin/Ogl/OglThread.h"

#include "GLThreadDeleter.h"
#include "Mesh.h"
#include "NVColorPresentationTools.h"
#include "OglCheck.h"
#include "OglInformation.h"
#include "PackedMesh.h"
#include "Private/FormatTable.h"
#include "Private/UploadDownloadBuffers.h"
#include "ShaderProgram.h"
#include "ShaderSources.h"
#include "ShaderStorage.h"
#include "Texture.h"
#include "YUVColorConverter.h"

namespace Kavrin::Ogl {
namespace {

// A 1:1 pass: each pixel reads exactly its own texel.
// c[order[i]] through selection masks: llvmpipe turns a vector indexed by a
// uniform into a per-pixel branch chain, ten times slower than this.
constexpr std::string_view kReorder = R"(uniform sampler2D src;
uniform ivec4 order;
varying vec2 TexCoord0;

void main()
{
    vec4 c = texelFetch(src, ivec2(gl_FragCoord.xy), 0);
    const ivec4 lanes = ivec4(0, 1, 2, 3);
    gl_FragColor = vec4(dot(c, vec4(equal(ivec4(order.x), lanes))), dot(c, vec4(equal(ivec4(order.y), lanes))),
                        dot(c, vec4(equal(ivec4(order.z), lanes))), dot(c, vec4(equal(ivec4(order.w), lanes))));
}
)";

const ShaderSourceKeeper<VShader::Id, std::string_view> rgbaReorderShader("rgbaReorderShader",
                                                                          VShader::Id::XYUV,
                                                                          kReorder, __FILE__);

const PixFmtDescription* NoneDescription() {
    static const PixFmtDescription* none = PixFmtDescription::Find(PixFmt::None);
    return none;
}

std::string Name(const PixFmtDescription* description) {
    return description != nullptr ? description->GetName() : "unknown";
}

bool Has(const PixFmtDescription* description, std::uint32_t flag) {
    return description != nullptr && (description->flags & flag) != 0;
}

bool IsSemiPlanarYUV(const PixFmtDescription* description) {
    return Has(description, PixFmtFlagYUV) && description->planes != description->components;
}

bool Shallow(const PixFmtDescription* description) { return description->depth < 9; }

void RequireGLThread(const char* function) {
    if (!IsOpenGLThread()) {
        KAVRIN_THROW_HOST(function, Exception, "This is not OpenGL thread.");
    }
}

std::string SizeText(const Conf::FrameInfo& info) {
    return std::to_string(info.width) + "x" + std::to_string(info.height);
}

// Integer plane textures of one transfer, sampled unfiltered.
void TakePlanes(PooledTextures& planes, const PixFmtDescription& description,
                const Conf::FrameInfo& info, int count) {
    const Details::TextureFormat format = Details::IntegerPlaneFormat(1, !Shallow(&description));
    for (int plane = 0; plane < count; ++plane) {
        planes
            .Take({description.GetPlanWidth(info.width, plane),
                   description.GetPlanHeight(info.height, plane), format.format,
                   format.internalFormat, format.type})
            .Tweak(GL_CLAMP_TO_EDGE, GL_NEAREST);
    }
}

// Samples a texture unfiltered for a 1:1 pass, where linear filtering at
// coordinates a little off the texel centres would mix in the neighbours;
// back to the pool's linear filtering on every path.
class NearestSampling {
public:
    explicit NearestSampling(const Texture& texture) : texture(texture) {
        texture.Tweak(GL_CLAMP_TO_EDGE, GL_NEAREST);
    }
    ~NearestSampling() { texture.Tweak(GL_CLAMP_TO_EDGE, GL_LINEAR); }
    NearestSampling(const NearestSampling&) = delete;
    NearestSampling& operator=(const NearestSampling&) = delete;

private:
    const Texture& texture;
};

// Restores blending to off on every path.
struct BlendScope {
    BlendScope() { glEnable(GL_BLEND); }
    ~BlendScope() { glDisable(GL_BLEND); }
};

PixFmt RgbFormatFor(const PixFmtDescription* description, bool alpha) {
    return Details::RgbFrameFormat(description->depth, alpha);
}

// The frame format a supported CPU format travels in.
const PixFmtDescription* GpuDescription(const PixFmtDescription* description) {
    return PixFmtDescription::Find(Details::FindFormat(description->pixFmt)->gpu);
}

}  // namespace

// Destroys a frame on the GL thread for a last reference dropped elsewhere.
class FrameDeleter final : public Details::GLThreadDeleter<Frame, FrameDeleter> {
public:
    static constexpr const char* kName = "FrameDeleter";
    using GLThreadDeleter::GLThreadDeleter;

    // The textures died with the context.
    static void Abandon(const Frame& frame) { const_cast<Frame&>(frame).Abandon(); }
};

// NVTextures' side of a frame: its format, size and texture.
void NVTextures::FromRGBFrame(const Frame& rgb, const ShaderStorage& storage) {
    FromRGB(rgb.GetPixelFormat(), rgb.GetFrameInfo(),
            rgb.IsValid() ? rgb.GetFirstTexture() : nullptr, storage);
}

void NVTextures::ToRGBFrame(const Frame& rgb, const ShaderStorage& storage) const {
    ToRGB(rgb.GetPixelFormat(), rgb.GetFrameInfo(), rgb.IsValid() ? rgb.GetFirstTexture() : nullptr,
          storage);
}

Frame::Frame() : desc(NoneDescription()) {}

Frame::~Frame() { Reset(); }

boost::intrusive_ptr<Frame> Frame::Create() { return boost::intrusive_ptr<Frame>(new Frame()); }

boost::intrusive_ptr<Frame> Frame::CreateIntermediate(const Conf::ColorSpace& colorSpace,
                                                      PixFmt pixFmt,
                                                      const Conf::FrameInfo& frameInfo) {
    boost::intrusive_ptr<Frame> frame = Create();
    frame->Allocate(colorSpace, pixFmt, frameInfo);
    return frame;
}

unsigned Frame::AddRef() const { return refCount.AddRef(); }

unsigned Frame::GetRefCount() const { return refCount.Get(); }

unsigned Frame::Release() const {
    const unsigned remaining = refCount.Release();
    if (remaining == 0) {
        // An empty frame holds no texture and may go on any thread.
        FrameDeleter::Delete(this, IsValid());
    }
    return remaining;
}

PixFmt Frame::CPUPixFmtToGPUPixFmt(PixFmt pixFmt) {
    const PixFmtDescription* description = PixFmtDescription::Find(pixFmt);
    if (!IsSupportedPixFmt(pixFmt)) {
        KAVRIN_THROW_HOST("CPUPixFmtToGPUPixFmt", Exception,
                          "Unsupported pixel format for CPU: " + Name(description));
    }
    return Details::FindFormat(pixFmt)->gpu;
}

void Frame::Allocate(const Conf::ColorSpace& newColorSpace, PixFmt pixFmt,
                     const Conf::FrameInfo& info) {
    const PixFmtDescription* description = PixFmtDescription::Find(pixFmt);
    RequireGLThread("Allocate");
    if (Details::FrameTextureFormat(pixFmt).format == 0) {
        KAVRIN_THROW_HOST("Allocate", Exception, "Unsupported pixel format: " + Name(description));
    }
    colorSpace = newColorSpace;
    if (Compatible(description, info)) {
        return;
    }
    if (!Has(description, PixFmtFlagRGB)) {
        KAVRIN_THROW_HOST("Allocate", Exception, "Unsupported pixel format: " + Name(description));
    }
    Allocate_RGB(newColorSpace, description, info);
}

void Frame::Allocate_RGB(const Conf::ColorSpace& newColorSpace,
                         const PixFmtDescription* description, const Conf::FrameInfo& info) {
    Allocate_RGB(
        newColorSpace, description, info,
        Details::FrameTextureFormat(description != nullptr ? description->pixFmt : PixFmt::None));
}

void Frame::Allocate_RGB(const Conf::ColorSpace& newColorSpace,
                         const PixFmtDescription* description, const Conf::FrameInfo& info,
                         const Details::TextureFormat& format) {
    if (!Has(description, PixFmtFlagRGB)) {
        KAVRIN_THROW_HOST("Allocate_RGB", Exception,
                          "Unsupported pixel format: " + Name(description));
    }
    if (format.format == 0) {
        KAVRIN_THROW_HOST("Allocate_RGB", Exception,
                          "Unsupported pixel format: " + Name(description));
    }
    if (info.width <= 0 || info.height <= 0) {
        KAVRIN_THROW_HOST("Allocate_RGB", Exception, "Invalid frame size " + SizeText(info));
    }
    // GL would only flag the error and leave an empty texture behind.
    const std::uint64_t maximum = GetCollectedInformation()->maxTextureSize;
    if (static_cast<std::uint64_t>(info.width) > maximum ||
        static_cast<std::uint64_t>(info.height) > maximum) {
        KAVRIN_THROW_HOST("Allocate_RGB", Exception,
                          "Frame size " + SizeText(info) + " exceeds the maximum texture size " +
                              std::to_string(maximum));
    }
    Reset();
    textures.push_back(TexturePool::GetInstance().GetTex(
        {info.width, info.height, format.format, format.internalFormat, format.type}));
    desc = description;
    colorSpace = newColorSpace;
    frameInfo = info;
}

boost::intrusive_ptr<Frame> Frame::AllocateIntermediate() {
    RequireGLThread("AllocateIntermediate");
    if (!IsValid()) {
        KAVRIN_THROW_FROM(
            "AllocateIntermediate",
            std::logic_error("It is impossible to allocate a new frame from an invalid one"));
    }
    return CreateIntermediate(colorSpace, desc->pixFmt, frameInfo);
}

bool Frame::IsValid() const {
    return desc != NoneDescription() && frameInfo.width > 0 && frameInfo.height > 0 &&
           !textures.empty();
}

bool Frame::IsRGB() const { return Has(desc, PixFmtFlagRGB); }

bool Frame::HasAlpha() const { return Has(desc, PixFmtFlagAlpha); }

PixFmt Frame::GetPixelFormat() const { return desc != nullptr ? desc->pixFmt : PixFmt::None; }

bool Frame::Compatible(const PixFmtDescription* description, const Conf::FrameInfo& info) const {
    // A frame kept across a restart has textures of the dead context: refill it.
    return desc == description && frameInfo == info &&
           std::all_of(textures.begin(), textures.end(),
                       [](const auto& texture) { return texture->IsOfCurrentContext(); });
}

void Frame::Reset() {
    for (auto& texture : textures) {
        TexturePool::GetInstance().PutTex(std::move(texture));
    }
    textures.clear();
    desc = NoneDescription();
    frameInfo = {};
}

void Frame::Abandon() {
    for (auto& texture : textures) {
        texture->Abandon();
    }
    textures.clear();
    desc = NoneDescription();
    frameInfo = {};
}

Texture* Frame::GetFirstTexture() const {
    if (textures.empty()) {
        KAVRIN_THROW_HOST("GetFirstTexture", Exception, "Textures is empty");
    }
    return textures.front().get();
}

Texture* Frame::GetTexture(unsigned index) const {
    if (index >= textures.size()) {
        KAVRIN_THROW_HOST("GetTexture", Exception, "Texture index out of range");
    }
    return textures[index].get();
}

unsigned Frame::UseTextures(unsigned firstUnit) const {
    if (textures.empty()) {
        KAVRIN_THROW_HOST("UseTextures", Exception, "Textures is empty");
    }
    for (std::size_t i = 0; i < textures.size(); ++i) {
        textures[i]->Use(static_cast<int>(firstUnit + i));
    }
    return static_cast<unsigned>(textures.size());
}

void Frame::Upload(const boost::intrusive_ptr<Proc::IDataVideo>& source,
                   const ShaderStorage& storage) {
    if (!source) {
        Reset();
        return;
    }
    RequireGLThread("Upload");
    const PixFmtDescription* description = PixFmtDescription::Find(source->GetPixelFormat());
    if (description == nullptr || !IsSupportedPixFmt(source->GetPixelFormat())) {
        KAVRIN_THROW_HOST("Upload", Exception,
                          "Unsupported pixel format for source frame: " + Name(description));
    }
    if (Has(description, PixFmtFlagRGB)) {
        Upload_RGB(*this, source, storage, description);
    } else if (IsSemiPlanarYUV(description)) {
        Upload_NV(*this, source, storage, description);
    } else {
        Upload_YUV(*this, source, storage, description);
    }
    // A re-upload into the kept texture still takes the new source's colour space.
    colorSpace = source->GetColorSpace();
}

void Frame::Upload_RGB(Frame& frame, const boost::intrusive_ptr<Proc::IDataVideo>& source,
                       const ShaderStorage& storage, const PixFmtDescription* description) {
    if (!Has(description, PixFmtFlagRGB)) {
        KAVRIN_THROW_HOST("Upload_RGB", Exception,
                          "Unsupported pixel format: " + Name(description));
    }
    const Details::FormatEntry* entry = Details::FindFormat(description->pixFmt);
    if (entry == nullptr || entry->layout != Details::PlaneLayout::PackedRGB) {
        KAVRIN_THROW_HOST("Upload_RGB", Exception,
                          "Unsupported pixel format: " + Name(description));
    }
    const PixFmtDescription* gpu = GpuDescription(description);
    if (!frame.Compatible(gpu, source->GetFrameInfo())) {
        frame.Allocate_RGB(source->GetColorSpace(), gpu, source->GetFrameInfo(), entry->storage);
    }
    // GL reorders swapped channel orders on the way in, where the texture's
    // storage is not in the source's order already. The client order is always
    // named: a kept texture may have been stored for another source order.
    const Details::TextureFormat own = Details::FrameTextureFormat(entry->gpu);
    const ClientOrder order = entry->clientFormat != 0
                                  ? ClientOrder{entry->clientFormat, entry->clientType}
                                  : ClientOrder{own.format, own.type};
    UploadPlane(source->GetPlaneConst(0), *frame.textures.front(), storage, order);
}

void Frame::Upload_YUV(Frame& frame, const boost::intrusive_ptr<Proc::IDataVideo>& source,
                       const ShaderStorage& storage, const PixFmtDescription* description) {
    if (!Has(description, PixFmtFlagYUV) || description->planes != description->components) {
        KAVRIN_THROW_HOST("Upload_YUV", Exception,
                          "Unsupported pixel format: " + Name(description));
    }
    const bool alpha = Has(description, PixFmtFlagAlpha);
    const PixFmtDescription* gpu = GpuDescription(description);
    if (!frame.Compatible(gpu, source->GetFrameInfo())) {
        frame.Allocate_RGB(source->GetColorSpace(), gpu, source->GetFrameInfo());
    }
    PooledTextures planes;
    const int count = Proc::GetPlanesCount(*source);
    TakePlanes(planes, *description, source->GetFrameInfo(), count);
    for (int plane = 0; plane < count; ++plane) {
        UploadPlane(source->GetPlaneConst(static_cast<unsigned char>(plane)),
                    planes[static_cast<std::size_t>(plane)], storage);
    }
    YUVConverter converter(storage, static_cast<Conf::YCbCrMatrix>(source->GetColorSpace().matrix),
                           description->range, description->depth, description->shift);
    if (alpha) {
        converter.ToRGBA(planes[0], planes[1], planes[2], planes[3], *frame.textures.front());
    } else {
        converter.ToRGB(planes[0], planes[1], planes[2], *frame.textures.front());
    }
}

void Frame::Upload_NV(Frame& frame, const boost::intrusive_ptr<Proc::IDataVideo>& source,
                      const ShaderStorage& storage, const PixFmtDescription* description) {
    const PixFmtDescription* gpu = GpuDescription(description);
    if (!frame.Compatible(gpu, source->GetFrameInfo())) {
        frame.Allocate_RGB(source->GetColorSpace(), gpu, source->GetFrameInfo());
    }
    NVTextures textures = FFFrameToNVTextures(source, description, storage);
    textures.ToRGBFrame(frame, storage);
}

void Frame::Download(const boost::intrusive_ptr<Proc::IDataVideo>& destination,
                     const ShaderStorage& storage) {
    RequireGLThread("Download");
    if (!destination) {
        KAVRIN_THROW_HOST("Download", Exception, "Destination frame is null");
    }
    const PixFmtDescription* description = PixFmtDescription::Find(destination->GetPixelFormat());
    if (description == nullptr || !IsSupportedPixFmt(destination->GetPixelFormat())) {
        KAVRIN_THROW_HOST("Download", Exception,
                          "Unsupported pixel format for destination frame: " + Name(description));
    }
    if (textures.empty()) {
        KAVRIN_THROW_FROM("Download", std::logic_error("Trying to download empty frame"));
    }
    const Conf::FrameInfo& info = destination->GetFrameInfo();
    if (info.width != frameInfo.width || info.height != frameInfo.height) {
        // Every transfer moves the whole texture: a smaller destination would overflow.
        KAVRIN_THROW_HOST("Download", Exception,
                          "Destination frame size " + SizeText(info) +
                              " differs from the GPU frame size " + SizeText(frameInfo));
    }

    boost::intrusive_ptr<const Frame> source(this);
    boost::intrusive_ptr<Frame> converted;
    if (!Compatible(description, info)) {
        if (Has(description, PixFmtFlagAlpha)) {
            if (!(IsRGB() && HasAlpha())) {
                converted = CreateIntermediate(colorSpace, RgbFormatFor(desc, true), frameInfo);
                storage.FBO().Attach(*converted->GetFirstTexture());
                NearestSampling nearest(*GetFirstTexture());
                Draw(storage.Quad(), storage);
                source = converted;
            }
        } else if (!(IsRGB() && !HasAlpha())) {
            converted = ConvertToSpecifiedRGB(RgbFormatFor(desc, false), storage);
            source = converted;
        }
    }
    if (Has(description, PixFmtFlagRGB)) {
        Download_RGB(*source, destination, storage, description);
    } else if (Has(description, PixFmtFlagYUV)) {
        if (description->planes == description->components) {
            Download_YUV(*source, destination, storage, description);
        } else {
            Download_NV(*source, destination, storage, description);
        }
    } else {
        KAVRIN_THROW_FROM("Download", std::logic_error("Unknown frame type."));
    }
}

void Frame::Download_RGB(const Frame& frame,
                         const boost::intrusive_ptr<Proc::IDataVideo>& destination,
                         const ShaderStorage& storage, const PixFmtDescription* description) {
    if (!frame.IsRGB()) {
        KAVRIN_THROW_HOST("Download_RGB", Exception,
                          "Frame has unsupported pixel format: " + Name(frame.desc));
    }
    if (destination->GetPixelFormat() != description->pixFmt) {
        KAVRIN_THROW_HOST(
            "Download_RGB", Exception,
            "pixel format (" + Name(description) + ") does not match the video frame");
    }
    if (!Has(description, PixFmtFlagRGB)) {
        KAVRIN_THROW_HOST("Download_RGB", Exception,
                          "Unsupported CPU pixel format: " + Name(description));
    }
    if (!Details::IsIntegerRgbFrame(description->pixFmt)) {
        KAVRIN_THROW_HOST("Download_RGB", Exception,
                          "Unsupported RGB pixel format: " + Name(description));
    }
    // Read in the destination's order, whatever order the texture is stored in.
    const Details::TextureFormat order = Details::FrameTextureFormat(description->pixFmt);
    if (frame.Compatible(description, destination->GetFrameInfo())) {
        DownloadPlane(destination->GetPlane(0), *frame.GetFirstTexture(), storage,
                      {order.format, order.type});
        return;
    }
    boost::intrusive_ptr<Frame> converted =
        Has(description, PixFmtFlagAlpha)
            ? frame.ConvertToSpecifiedRGBA(description->pixFmt, storage)
            : frame.ConvertToSpecifiedRGB(description->pixFmt, storage);
    DownloadPlane(destination->GetPlane(0), *converted->GetFirstTexture(), storage);
}

void Frame::Download_YUV(const Frame& frame,
                         const boost::intrusive_ptr<Proc::IDataVideo>& destination,
                         const ShaderStorage& storage, const PixFmtDescription* description) {
    if (!frame.IsRGB()) {
        KAVRIN_THROW_HOST("Download_YUV", Exception,
                          "Frame has unsupported pixel format: " + Name(frame.desc));
    }
    if (destination->GetPixelFormat() != description->pixFmt) {
        KAVRIN_THROW_HOST(
            "Download_YUV", Exception,
            "pixel format (" + Name(description) + ") does not match the video frame");
    }
    if (!Has(description, PixFmtFlagYUV)) {
        KAVRIN_THROW_HOST("Download_YUV", Exception,
                          "Unsupported CPU pixel format: " + Name(description));
    }
    const int count = Proc::GetPlanesCount(*destination);
    PooledTextures planes;
    TakePlanes(planes, *description, destination->GetFrameInfo(), count);
    YUVConverter converter(storage,
                           static_cast<Conf::YCbCrMatrix>(destination->GetColorSpace().matrix),
                           description->range, description->depth, description->shift);
    if (Has(description, PixFmtFlagAlpha)) {
        converter.ToYUVA(*frame.GetFirstTexture(), planes[0], planes[1], planes[2], planes[3]);
    } else {
        converter.ToYUV(*frame.GetFirstTexture(), planes[0], planes[1], planes[2]);
    }
    for (int plane = 0; plane < count; ++plane) {
        DownloadPlane(destination->GetPlane(static_cast<unsigned char>(plane)),
                      planes[static_cast<std::size_t>(plane)], storage);
    }
}

void Frame::Download_NV(const Frame& frame,
                        const boost::intrusive_ptr<Proc::IDataVideo>& destination,
                        const ShaderStorage& storage, const PixFmtDescription* description) {
    if (!frame.IsRGB()) {
        KAVRIN_THROW_HOST("Download_NV", Exception,
                          "Frame has unsupported pixel format: " + Name(frame.desc));
    }
    if (destination->GetPixelFormat() != description->pixFmt) {
        KAVRIN_THROW_HOST(
            "Download_NV", Exception,
            "Pixel format (" + Name(description) + ") does not match the video frame");
    }
    if (!IsSemiPlanarYUV(description)) {
        KAVRIN_THROW_HOST("Download_NV", Exception,
                          "Unsupported CPU pixel format: " + Name(description));
    }
    NVTextures textures;
    textures.AllocateTextures(destination->GetFrameInfo(),
                              static_cast<Conf::YCbCrMatrix>(destination->GetColorSpace().matrix),
                              description);
    textures.FromRGBFrame(frame, storage);
    NVTexturesToFFFrame(textures, destination, storage, description);
}

void Frame::Draw(const Mesh& mesh, const ShaderStorage& storage) const {
    RequireGLThread("Draw");
    if (desc == NoneDescription()) {
        KAVRIN_THROW_HOST("Draw", Exception, "Frame is empty");
    }
    if (!IsRGB()) {
        KAVRIN_THROW_HOST("Draw", Exception,
                          "Non RGB frame type is not supported for self drawing");
    }
    ShaderProgram& program = storage.UseShader(PixelFormatShader::RGBA);
    UseTextures(0);
    mesh.Activate();
    mesh.Draw(program);
}

void Frame::Draw(const Mesh& mesh, const ShaderStorage& storage, float extAlpha) const {
    RequireGLThread("Draw");
    ShaderProgram& program = storage.GetShaderProgram(ShaderProgramId::ReplaceAlpha);
    program.Use();
    program.Uniform("tex", 0);
    program.Uniform("extAlpha", extAlpha);
    BlendScope blend;
    glBlendEquationSeparate(GL_FUNC_ADD, GL_FUNC_ADD);
    glBlendFuncSeparate(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA, GL_ZERO, GL_ONE);
    GetFirstTexture()->Use(0);
    mesh.Activate();
    mesh.Draw(program);
}

void Frame::DrawPremultiplied(const ShaderStorage& storage,
                              const std::array<int, 2>& direction) const {
    const float sx = direction[0] < 0 ? -1.0f : 1.0f;
    const float sy = direction[1] < 0 ? -1.0f : 1.0f;
    PackedMesh packed;
    packed.ReserveQuad(1);
    unsigned int base = 0;
    packed.AddQuad({0.0f, 0.0f}, {1.0f, 1.0f}, {-sx, -sy}, {sx, sy}, base);
    const Quad quad(packed, StreamDraw);
    if (HasAlpha()) {
        glClearColor(0, 0, 0, 0);
        glClear(GL_COLOR_BUFFER_BIT);
        BlendScope blend;
        glBlendFuncSeparate(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA, GL_ONE, GL_ONE_MINUS_SRC_ALPHA);
        Draw(quad, storage);
    } else {
        Draw(quad, storage);
    }
}

boost::intrusive_ptr<Frame> Frame::ConvertToRGB(const ShaderStorage& storage) {
    if (IsRGB() && !HasAlpha()) {
        return boost::intrusive_ptr<Frame>(this);
    }
    return ConvertToSpecifiedRGB(RgbFormatFor(desc, false), storage);
}

boost::intrusive_ptr<Frame> Frame::ConvertToRGBA(const ShaderStorage& storage) {
    if (IsRGB() && HasAlpha()) {
        return boost::intrusive_ptr<Frame>(this);
    }
    return ConvertToSpecifiedRGBA(RgbFormatFor(desc, true), storage);
}

boost::intrusive_ptr<Frame> Frame::ConvertToSpecifiedRGB(PixFmt pixFmt,
                                                         const ShaderStorage& storage) const {
    boost::intrusive_ptr<Frame> result = CreateIntermediate(colorSpace, pixFmt, frameInfo);
    storage.FBO().Attach(*result->GetFirstTexture());
    glClearColor(0, 0, 0, 0);
    glClear(GL_COLOR_BUFFER_BIT);
    {
        // Composited onto black: rgb * alpha.
        NearestSampling nearest(*GetFirstTexture());
        BlendScope blend;
        glBlendFuncSeparate(GL_SRC_ALPHA, GL_ZERO, GL_ZERO, GL_ZERO);
        Draw(storage.Quad(), storage);
    }
    return result;
}

boost::intrusive_ptr<Frame> Frame::ConvertToSpecifiedRGBA(PixFmt pixFmt,
                                                          const ShaderStorage& storage) const {
    boost::intrusive_ptr<Frame> result = CreateIntermediate(colorSpace, pixFmt, frameInfo);
    storage.FBO().Attach(*result->GetFirstTexture());
    NearestSampling nearest(*GetFirstTexture());
    Draw(storage.Quad(), storage);
    return result;
}

void Frame::ReorderRGBChannels(Frame& frame, const ShaderStorage& storage,
                               const std::array<int, 4>& order) {
    if (!frame.IsRGB()) {
        KAVRIN_THROW_HOST("ReorderRGBChannels", Exception, "Invalid FrameType");
    }
    boost::intrusive_ptr<Frame> tmp = frame.AllocateIntermediate();
    storage.FBO().Attach(*tmp->GetFirstTexture());
    ShaderProgram& program = storage.MakeShader(rgbaReorderShader);
    program.Use();
    program.Uniform("src", 0);
    program.Uniform("order", glm::ivec4(order[0], order[1], order[2], order[3]));
    frame.GetFirstTexture()->Use(0);
    storage.Quad().Activate();
    storage.Quad().Draw(program);
    frame.textures.swap(tmp->textures);
}

}  // namespace Kavrin::Ogl
