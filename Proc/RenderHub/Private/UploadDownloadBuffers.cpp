#include <GL/glew.h>

#include "Private/UploadDownloadBuffers.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <glog/logging.h>

#include "Kavrin/Core/Exception.h"

#include "Mesh.h"
#include "ShaderProgram.h"
#include "ShaderSources.h"
#include "ShaderStorage.h"
#include "Texture.h"

namespace Kavrin::Ogl {
namespace {

constexpr std::string_view kUintRgba = R"(uniform usampler2D src;
varying vec2 TexCoord0;
out uvec4 fragColor;

void main()
{
    fragColor = texture(src, TexCoord0);
}
)";

const ShaderSourceKeeper<VShader::Id, std::string_view> uintRgbaShader("uint_RGBA_shader",
                                                                       VShader::Id::XYUV, kUintRgba,
                                                                       __FILE__);

constexpr int kProbeSize = 90;

// One upload-and-read-back of a 90x90 texture; 8- and 16-bit data compare as
// bytes, floats element by element (a NaN never matches).
template <class T, class Generator>
bool ProbeTextureFormat(GLenum format, GLint internalFormat, const char* message, GLenum type,
                        int components, Details::DownloadBuffer& downloadBuffer, Surface& surface,
                        Generator generator) {
    const std::size_t count = static_cast<std::size_t>(components) * kProbeSize * kProbeSize;
    std::vector<T> source(count);
    std::generate(source.begin(), source.end(), generator);
    bool same = false;
    {
        Texture texture({kProbeSize, kProbeSize, format, internalFormat, type}, GL_CLAMP_TO_EDGE,
                        GL_LINEAR, nullptr);
        texture.Update(kProbeSize, source.data());
        std::vector<T> destination(count, T{});
        void* prepared = downloadBuffer.Prepare(destination.data(), count * sizeof(T));
        texture.Download(kProbeSize, prepared, surface);
        downloadBuffer.Complete();
        if constexpr (std::is_floating_point_v<T>) {
            same = std::equal(source.begin(), source.end(), destination.begin());
        } else {
            same = std::memcmp(source.data(), destination.data(), count * sizeof(T)) == 0;
        }
    }
    glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    glPixelStorei(GL_PACK_ROW_LENGTH, 0);
    if (!same) {
        LOG(ERROR) << message;
    }
    return same;
}

std::uint8_t RandomByte() { return static_cast<std::uint8_t>(std::rand()); }
std::uint16_t RandomShort() { return static_cast<std::uint16_t>(std::rand()); }
float UnitFloat() { return static_cast<float>(std::rand() / 32767.0); }
// An 11-bit numerator over 4096, 8192 or 16384: exact in a 16-bit float.
float HalfExactFloat() {
    const int r = std::rand();
    return static_cast<float>(r & 0x7FF) / static_cast<float>(2048 << ((r >> 4) % 3 + 1));
}

std::size_t PixelBytes(const Texture& texture) {
    return static_cast<std::size_t>(texture.ComponentsPerPixel()) * texture.BytesPerComponent();
}

// Plane and texture must agree before any GL call touches client memory.
template <class PlaneType>
void CheckPlane(const PlaneType& plane, const Texture& texture, const char* function) {
    const auto& params = texture.GetTexParams();
    const std::size_t rowBytes = static_cast<std::size_t>(params.width) * PixelBytes(texture);
    const std::size_t stride =
        static_cast<std::size_t>(plane.stride < 0 ? -plane.stride : plane.stride);
    std::string problem;
    if (plane.data == nullptr) {
        problem = "the plane has no data";
    } else if (plane.rows != params.height) {
        problem = "the plane has " + std::to_string(plane.rows) + " rows, the texture " +
                  std::to_string(params.height);
    } else if (stride < rowBytes) {
        problem = "the plane's stride of " + std::to_string(stride) +
                  " bytes is narrower than a row of " + std::to_string(rowBytes) + " bytes";
    }
    if (!problem.empty()) {
        KAVRIN_THROW_HOST(function, Exception, "Plane does not match its texture: " + problem);
    }
}

// Bytes GL touches: full strides for every row but the last, which ends with its
// pixels, so that nothing lands past a tightly allocated plane.
std::size_t TransferBytes(std::size_t stride, int rows, const Texture& texture) {
    const std::size_t rowBytes =
        static_cast<std::size_t>(texture.GetTexParams().width) * PixelBytes(texture);
    return rows > 0 ? stride * static_cast<std::size_t>(rows - 1) + rowBytes : 0;
}

}  // namespace

namespace Details {

std::unique_ptr<UploadBuffer> UploadBuffer::Create(OglCapability) {
    return std::make_unique<UploadBufferDisabled>();
}

const void* UploadBufferDisabled::Prepare(const void* source, std::size_t) { return source; }

void UploadBufferDisabled::Complete(const void*, std::size_t) {}

void* DownloadBufferDisabled::Prepare(void* destination, std::size_t, std::size_t, std::size_t) {
    return destination;
}

void DownloadBufferDisabled::Complete() {}

void* DownloadBufferSimple::Prepare(void* destination, std::size_t bytes, std::size_t rowBytes,
                                    std::size_t stride) {
    PixelPackBuffer fresh;
    fresh.Generate();
    fresh.AllocateBuffer(nullptr, static_cast<long long>(bytes), StreamRead);
    buffer.Swap(fresh);  // an unfinished earlier buffer goes with `fresh`
    pendingBytes = bytes;
    pendingRowBytes = rowBytes;
    pendingStride = stride;
    pendingDestination = destination;
    return nullptr;  // offset 0 into the bound pack buffer
}

void DownloadBufferSimple::Complete() {
    PixelPackBuffer taken;
    taken.Swap(buffer);
    const std::uint64_t bytes = pendingBytes;
    const std::size_t rowBytes = pendingRowBytes;
    const std::size_t stride = pendingStride;
    auto* destination = static_cast<std::uint8_t*>(pendingDestination);
    pendingBytes = 0;
    pendingRowBytes = 0;
    pendingStride = 0;
    pendingDestination = nullptr;
    const auto* mapped = static_cast<const std::uint8_t*>(taken.MapBuffer(GL_READ_ONLY));
    if (mapped == nullptr) {
        KAVRIN_THROW_FROM("Complete", std::logic_error("Unable to map the pixel pack buffer"));
    }
    if (rowBytes > 0 && stride > rowBytes) {
        for (std::size_t offset = 0; offset + rowBytes <= bytes; offset += stride) {
            std::memcpy(destination + offset, mapped + offset, rowBytes);
        }
    } else {
        std::memcpy(destination, mapped, bytes);
    }
    taken.UnmapBuffer();
    taken.DropBuffer();
}

std::unique_ptr<DownloadBuffer> DownloadBuffer::Create(OglCapability, Surface& surface) {
    bool packBufferWorks = false;
    {
        DownloadBufferSimple probe;
        packBufferWorks = ProbeTextureFormat<std::uint8_t>(
            GL_RGBA, GL_RGBA8,
            "Unable to create texture with format: GL_RGBA internalformat: GL_RGBA8",
            GL_UNSIGNED_BYTE, 4, probe, surface, RandomByte);
    }
    if (packBufferWorks) {
        return std::make_unique<DownloadBufferSimple>();
    }
    return std::make_unique<DownloadBufferDisabled>();
}

namespace {

enum class Sample { RandomByte, RandomShort, HalfExactFloat, UnitFloat };

struct FormatProbe {
    GLenum format;
    GLint internalFormat;
    const char* message;
    int components;
    Sample sample;
};

// Formats the transfer paths need, in probing order.
constexpr FormatProbe kFormatProbes[] = {
    {GL_RED, GL_R8, "Unable to create texture with format: GL_RED internalformat: GL_R8", 1,
     Sample::RandomByte},
    {GL_RED_INTEGER, GL_R16UI,
     "Unable to create texture with format: GL_RED_INTEGER internalformat: GL_R16UI", 1,
     Sample::RandomShort},
    {GL_RG, GL_RG8, "Unable to create texture with format: GL_RG internalformat: GL_RG8", 2,
     Sample::RandomByte},
    {GL_RG_INTEGER, GL_RG16UI,
     "Unable to create texture with format: GL_RG_INTEGER internalformat: GL_RG16UI", 2,
     Sample::RandomShort},
    {GL_RGB, GL_RGB8, "Unable to create texture with format: GL_RGB internalformat: GL_RGB8", 3,
     Sample::RandomByte},
    {GL_BGR, GL_RGB8, "Unable to create texture with format: GL_BGR internalformat: GL_RGB8", 3,
     Sample::RandomByte},
    {GL_RGBA, GL_RGBA8, "Unable to create texture with format: GL_RGBA internalformat: GL_RGBA8", 4,
     Sample::RandomByte},
    {GL_BGRA, GL_RGBA8, "Unable to create texture with format: GL_BGRA internalformat: GL_RGBA8", 4,
     Sample::RandomByte},
    {GL_RG, GL_RG16F, "Unable to create texture with format: GL_RG internalformat: GL_RG16F", 2,
     Sample::HalfExactFloat},
    {GL_RGBA, GL_RGBA16F,
     "Unable to create texture with format: GL_RGBA internalformat: GL_RGBA16F_ARB", 4,
     Sample::HalfExactFloat},
    {GL_RGBA, GL_RGBA32F,
     "Unable to create texture with format: GL_RGBA internalformat: GL_RGBA32F_ARB", 4,
     Sample::UnitFloat},
    {GL_RGBA, GL_RGBA16F,
     "Unable to create texture with format: GL_RGBA internalformat: GL_RGBA16F", 4,
     Sample::HalfExactFloat},
    {GL_RGBA, GL_RGBA32F,
     "Unable to create texture with format: GL_RGBA internalformat: GL_RGBA32F", 4,
     Sample::UnitFloat},
};

bool Probe(const FormatProbe& probe, DownloadBuffer& buffer, Surface& surface) {
    switch (probe.sample) {
        case Sample::RandomByte:
            return ProbeTextureFormat<std::uint8_t>(probe.format, probe.internalFormat,
                                                    probe.message, GL_UNSIGNED_BYTE,
                                                    probe.components, buffer, surface, RandomByte);
        case Sample::RandomShort:
            return ProbeTextureFormat<std::uint16_t>(
                probe.format, probe.internalFormat, probe.message, GL_UNSIGNED_SHORT,
                probe.components, buffer, surface, RandomShort);
        case Sample::HalfExactFloat:
            return ProbeTextureFormat<float>(probe.format, probe.internalFormat, probe.message,
                                             GL_FLOAT, probe.components, buffer, surface,
                                             HalfExactFloat);
        case Sample::UnitFloat:
            return ProbeTextureFormat<float>(probe.format, probe.internalFormat, probe.message,
                                             GL_FLOAT, probe.components, buffer, surface,
                                             UnitFloat);
    }
    return false;
}

}  // namespace

bool CheckTextureFormatSupporting() {
    DownloadBufferDisabled direct;
    Surface surface;
    bool ok = true;
    // Every probe runs, so that the log names every missing format.
    for (const FormatProbe& probe : kFormatProbes) {
        ok &= Probe(probe, direct, surface);
    }
    return ok;
}

}  // namespace Details

const std::vector<PixFmt>& GetSupportedPixFmt() {
    static const std::vector<PixFmt> formats = {
        PixFmt::RGBA,         PixFmt::BGRA,         PixFmt::ARGB,         PixFmt::ABGR,
        PixFmt::RGB24,        PixFmt::BGR24,        PixFmt::YUVA420P,     PixFmt::YUV420P,
        PixFmt::YUVA422P,     PixFmt::YUV422P,      PixFmt::YUVA444P,     PixFmt::YUV444P,
        PixFmt::YUV440P,      PixFmt::YUV411P,      PixFmt::YUV410P,      PixFmt::NV12,
        PixFmt::NV21,         PixFmt::RGB48LE,      PixFmt::BGR48LE,      PixFmt::RGBA64LE,
        PixFmt::BGRA64LE,     PixFmt::YUV420P10LE,  PixFmt::YUV420P12LE,  PixFmt::YUV420P16LE,
        PixFmt::YUV422P10LE,  PixFmt::YUV422P12LE,  PixFmt::YUV422P16LE,  PixFmt::YUV444P10LE,
        PixFmt::YUV444P12LE,  PixFmt::YUV444P16LE,  PixFmt::YUVA420P10LE, PixFmt::YUVA420P16LE,
        PixFmt::YUVA422P10LE, PixFmt::YUVA422P12LE, PixFmt::YUVA422P16LE, PixFmt::YUVA444P10LE,
        PixFmt::YUVA444P12LE, PixFmt::YUVA444P16LE, PixFmt::P010LE,       PixFmt::P016LE,
    };
    return formats;
}

bool IsSupportedPixFmt(PixFmt pixFmt) {
    const auto& formats = GetSupportedPixFmt();
    return std::find(formats.begin(), formats.end(), pixFmt) != formats.end();
}

void FlipCopy(const Texture& source, Texture& destination, const ShaderStorage& storage) {
    storage.FBO().Attach(destination);
    ShaderProgram& program = destination.IsIntegerTexture()
                                 ? storage.MakeShader(uintRgbaShader)
                                 : storage.UseShader(PixelFormatShader::RGBA);
    program.Use();
    source.Use(0);
    // Nearest: integer textures sample no other way, and a 1:1 flip must not mix
    // rows (pooled textures come linear and go back so).
    source.Tweak(GL_CLAMP_TO_EDGE, GL_NEAREST);
    program.Uniform("src", 0);
    storage.FrameQuad().Activate();
    storage.FrameQuad().Draw(program);
    if (!source.IsIntegerTexture()) {
        source.Tweak(GL_CLAMP_TO_EDGE, GL_LINEAR);
    }
}

void UploadPlane(const Proc::ConstPlane& plane, Texture& texture, const ShaderStorage& storage,
                 ClientOrder order) {
    CheckPlane(plane, texture, "UploadPlane");
    const bool bottomUp = plane.stride < 0;
    PooledTextures temporary;
    Texture* target = &texture;
    Proc::ConstPlane view = plane;
    if (bottomUp) {
        target = &temporary.Take(texture.GetTexParams());
        view = plane.MakePositive();
    }
    // GL counts row lengths in whole pixels: rows padded to other strides go
    // through a tight copy.
    const std::size_t rowBytes =
        static_cast<std::size_t>(texture.GetTexParams().width) * PixelBytes(texture);
    std::vector<std::uint8_t> tight;
    if (static_cast<std::size_t>(view.stride) % PixelBytes(texture) != 0) {
        tight.resize(rowBytes * static_cast<std::size_t>(view.rows));
        for (int row = 0; row < view.rows; ++row) {
            std::memcpy(tight.data() + rowBytes * static_cast<std::size_t>(row), view.Row(row),
                        rowBytes);
        }
        view = {tight.data(), static_cast<std::ptrdiff_t>(rowBytes), view.rows};
    }
    const auto stride = static_cast<std::size_t>(view.stride);
    const std::size_t bytes = TransferBytes(stride, view.rows, texture);
    auto& uploadBuffer = storage.GetUploadBuffer();
    const void* prepared = uploadBuffer.Prepare(view.data, bytes);
    const auto rowLength = static_cast<unsigned int>(stride / PixelBytes(texture));
    if (order.format != 0) {
        target->Update(rowLength, prepared, order.format, order.type);
    } else {
        target->Update(rowLength, prepared);
    }
    uploadBuffer.Complete(prepared, bytes);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    if (bottomUp) {
        FlipCopy(*target, texture, storage);
    }
}

void DownloadPlane(const Proc::Plane& plane, Texture& texture, const ShaderStorage& storage) {
    CheckPlane(plane, texture, "DownloadPlane");
    const bool bottomUp = plane.stride < 0;
    PooledTextures temporary;
    Texture* source = &texture;
    Proc::Plane view = plane;
    if (bottomUp) {
        source = &temporary.Take(texture.GetTexParams());
        FlipCopy(texture, *source, storage);
        view = plane.MakeRevert();
    }
    const std::size_t rowBytes =
        static_cast<std::size_t>(texture.GetTexParams().width) * PixelBytes(texture);
    // As for uploads: strides of no whole pixel count go through a tight copy.
    std::vector<std::uint8_t> tight;
    Proc::Plane destination = view;
    if (static_cast<std::size_t>(view.stride) % PixelBytes(texture) != 0) {
        tight.resize(rowBytes * static_cast<std::size_t>(view.rows));
        view = {tight.data(), static_cast<std::ptrdiff_t>(rowBytes), view.rows};
    }
    const auto stride = static_cast<std::size_t>(view.stride);
    const std::size_t bytes = TransferBytes(stride, view.rows, texture);
    auto& downloadBuffer = storage.GetDownloadBuffer();
    void* prepared = downloadBuffer.Prepare(view.data, bytes, rowBytes, stride);
    source->Download(static_cast<unsigned int>(stride / PixelBytes(texture)), prepared,
                     storage.FBO());
    downloadBuffer.Complete();
    glPixelStorei(GL_PACK_ROW_LENGTH, 0);
    if (!tight.empty()) {
        for (int row = 0; row < destination.rows; ++row) {
            std::memcpy(destination.Row(row),
                        tight.data() + rowBytes * static_cast<std::size_t>(row), rowBytes);
        }
    }
}

}  // namespace Kavrin::Ogl
