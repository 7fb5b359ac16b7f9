#include <GL/glew.h>

#include "Private/TransferBuffers.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <glog/logging.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "Kavrin/Core/Exception.h"

#include "Texture.h"

namespace Kavrin::Ogl {
namespace {

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

#if defined(__x86_64__)
// Sixteen bytes (four pixels) a step; returns the bytes done. Loads come before
// stores, so the copy may be in place.
__attribute__((target("ssse3"))) std::size_t ShuffleSsse3(std::uint8_t* destination,
                                                          const std::uint8_t* source,
                                                          std::size_t bytes,
                                                          const std::array<std::uint8_t, 4>& from) {
    alignas(16) std::uint8_t indices[16];
    for (std::size_t i = 0; i < 16; ++i) {
        indices[i] = static_cast<std::uint8_t>((i & ~std::size_t{3}) + from[i & 3]);
    }
    const __m128i mask = _mm_load_si128(reinterpret_cast<const __m128i*>(indices));
    std::size_t done = 0;
    for (; done + 16 <= bytes; done += 16) {
        const __m128i pixels = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + done));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(destination + done),
                         _mm_shuffle_epi8(pixels, mask));
    }
    return done;
}
#endif

}  // namespace

namespace Details {

void CopyPixels(std::uint8_t* destination, const std::uint8_t* source, std::size_t bytes,
                const ByteShuffle& shuffle) {
    if (shuffle.IsIdentity()) {
        if (destination != source) {
            std::memcpy(destination, source, bytes);
        }
        return;
    }
    std::size_t done = 0;
#if defined(__x86_64__)
    if (__builtin_cpu_supports("ssse3")) {
        done = ShuffleSsse3(destination, source, bytes, shuffle.from);
    }
#endif
    for (; done + 4 <= bytes; done += 4) {
        const std::uint8_t pixel[4] = {source[done], source[done + 1], source[done + 2],
                                       source[done + 3]};
        for (std::size_t byte = 0; byte < 4; ++byte) {
            destination[done + byte] = pixel[shuffle.from[byte]];
        }
    }
}

void PendingDownload::Deliver(const std::uint8_t* source) const {
    if (rowBytes > 0 && stride > rowBytes) {
        for (std::size_t offset = 0; offset + rowBytes <= bytes; offset += stride) {
            CopyPixels(destination + offset, source + offset, rowBytes, shuffle);
        }
    } else {
        CopyPixels(destination, source, bytes, shuffle);
    }
}

std::unique_ptr<UploadBuffer> UploadBuffer::Create(OglCapability) {
    return std::make_unique<UploadBufferDisabled>();
}

const void* UploadBufferDisabled::Prepare(const void* source, std::size_t) { return source; }

void UploadBufferDisabled::Complete(const void*, std::size_t) {}

void* DownloadBufferDisabled::Prepare(void* destination, std::size_t bytes, std::size_t rowBytes,
                                      std::size_t stride, ByteShuffle shuffle) {
    pending = {static_cast<std::uint8_t*>(destination), bytes, rowBytes, stride, shuffle};
    return destination;
}

void DownloadBufferDisabled::Complete() {
    const PendingDownload done = std::exchange(pending, {});
    if (done.destination != nullptr && !done.shuffle.IsIdentity()) {
        done.Deliver(done.destination);
    }
}

void* DownloadBufferSimple::Prepare(void* destination, std::size_t bytes, std::size_t rowBytes,
                                    std::size_t stride, ByteShuffle shuffle) {
    // One buffer kept across downloads, grown when a read needs more: a fresh
    // one per frame costs a GL object and the driver's fresh, faulted-in memory.
    if (buffer.GetName() == 0 || capacity < bytes) {
        PixelPackBuffer fresh;
        fresh.Generate();
        fresh.AllocateBuffer(nullptr, static_cast<long long>(bytes), StreamRead);
        buffer.Swap(fresh);
        capacity = bytes;
    } else {
        buffer.Bind();
    }
    pending = {static_cast<std::uint8_t*>(destination), bytes, rowBytes, stride, shuffle};
    return nullptr;  // offset 0 into the bound pack buffer
}

void DownloadBufferSimple::Complete() {
    const PendingDownload done = std::exchange(pending, {});
    if (done.destination == nullptr) {
        // Nothing read since the last Complete: as if the buffer were gone.
        KAVRIN_THROW_FROM("Bind", std::logic_error("Binding uninitialized object"));
    }
    const auto* mapped = static_cast<const std::uint8_t*>(buffer.MapBuffer(GL_READ_ONLY));
    if (mapped == nullptr) {
        glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
        KAVRIN_THROW_FROM("Complete", std::logic_error("Unable to map the pixel pack buffer"));
    }
    done.Deliver(mapped);
    buffer.UnmapBuffer();
    // Later reads into client memory must not land in the buffer.
    glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
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
    if (packBufferWorks && !IsSoftwareRenderer(glGetString(GL_RENDERER))) {
        return std::make_unique<DownloadBufferSimple>();
    }
    return std::make_unique<DownloadBufferDisabled>();
}

bool IsSoftwareRenderer(const GLubyte* renderer) {
    if (renderer == nullptr) {
        return false;
    }
    const std::string_view name(reinterpret_cast<const char*>(renderer));
    for (const std::string_view software : {"llvmpipe", "softpipe", "Software Rasterizer"}) {
        if (name.find(software) != std::string_view::npos) {
            return true;
        }
    }
    return false;
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

}  // namespace Kavrin::Ogl
