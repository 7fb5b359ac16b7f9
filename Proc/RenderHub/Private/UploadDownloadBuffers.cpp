#include <GL/glew.h>

#include "Private/UploadDownloadBuffers.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Kavrin/Core/Exception.h"

#include "Mesh.h"
#include "Private/FormatTable.h"
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

std::size_t PixelBytes(const Texture& texture) {
    // Frames stored in a swapped 8-bit order (GL_BGRA, or four bytes in one word)
    // hold four bytes a pixel.
    const auto& params = texture.GetTexParams();
    if (params.format == GL_BGRA || params.type == GL_UNSIGNED_INT_8_8_8_8) {
        return 4;
    }
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

// Byte of R, G, B and A in a pixel of an 8-bit four-channel transfer order;
// nothing for other orders.
std::optional<std::array<std::uint8_t, 4>> ByteOfComponent(GLenum format, GLenum type) {
    std::array<std::uint8_t, 4> bytes;
    if (format == GL_RGBA) {
        bytes = {0, 1, 2, 3};
    } else if (format == GL_BGRA) {
        bytes = {2, 1, 0, 3};
    } else {
        return std::nullopt;
    }
    if (type == GL_UNSIGNED_INT_8_8_8_8) {
        // The first component is the high byte of a little-endian word.
        for (auto& byte : bytes) {
            byte = static_cast<std::uint8_t>(3 - byte);
        }
    } else if (type != GL_UNSIGNED_BYTE && type != GL_UNSIGNED_INT_8_8_8_8_REV) {
        return std::nullopt;
    }
    return bytes;
}

// The reordering from a texture's stored order to the client order `order`, when
// both are 8-bit four-channel orders; identity otherwise.
Details::ByteShuffle StoredToClient(const Texture& texture, ClientOrder order) {
    const auto& params = texture.GetTexParams();
    const auto stored = ByteOfComponent(params.format, params.type);
    const auto wanted = order.format != 0 ? ByteOfComponent(order.format, order.type) : stored;
    Details::ByteShuffle shuffle;
    if (stored && wanted) {
        for (std::size_t component = 0; component < 4; ++component) {
            shuffle.from[(*wanted)[component]] = (*stored)[component];
        }
    }
    return shuffle;
}

}  // namespace

const std::vector<PixFmt>& GetSupportedPixFmt() {
    static const std::vector<PixFmt> formats = [] {
        std::vector<PixFmt> list;
        for (const auto& entry : Details::FormatTable()) {
            list.push_back(entry.Format());
        }
        return list;
    }();
    return formats;
}

bool IsSupportedPixFmt(PixFmt pixFmt) { return Details::FindFormat(pixFmt) != nullptr; }

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
    // GL reads rows top-down and counts row lengths in whole pixels: rows stored
    // bottom-up or padded to other strides go through a tight copy. (Flipping on
    // the GPU takes a second texture, and llvmpipe was seen to overwrite one
    // handed out again by the pool before the flip had read it.)
    const std::size_t rowBytes =
        static_cast<std::size_t>(texture.GetTexParams().width) * PixelBytes(texture);
    std::vector<std::uint8_t> tight;
    Proc::ConstPlane view = plane;
    if (plane.stride < 0 || static_cast<std::size_t>(plane.stride) % PixelBytes(texture) != 0) {
        tight.resize(rowBytes * static_cast<std::size_t>(plane.rows));
        for (int row = 0; row < plane.rows; ++row) {
            std::memcpy(tight.data() + rowBytes * static_cast<std::size_t>(row), plane.Row(row),
                        rowBytes);
        }
        view = {tight.data(), static_cast<std::ptrdiff_t>(rowBytes), plane.rows};
    }
    const auto stride = static_cast<std::size_t>(view.stride);
    const std::size_t bytes = TransferBytes(stride, view.rows, texture);
    auto& uploadBuffer = storage.GetUploadBuffer();
    const void* prepared = uploadBuffer.Prepare(view.data, bytes);
    const auto rowLength = static_cast<unsigned int>(stride / PixelBytes(texture));
    if (order.format != 0) {
        texture.Update(rowLength, prepared, order.format, order.type);
    } else {
        texture.Update(rowLength, prepared);
    }
    uploadBuffer.Complete(prepared, bytes);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
}

void DownloadPlane(const Proc::Plane& plane, Texture& texture, const ShaderStorage& storage,
                   ClientOrder order) {
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
    // Drivers read a texture back fast only in the order it is stored in (Mesa's
    // reordering read is several times slower than a copy): 8-bit four-channel
    // orders are read as stored and reordered on their way to the destination.
    const Details::ByteShuffle shuffle = StoredToClient(texture, order);
    if (!shuffle.IsIdentity()) {
        order = {};
    }
    auto& downloadBuffer = storage.GetDownloadBuffer();
    void* prepared = downloadBuffer.Prepare(view.data, bytes, rowBytes, stride, shuffle);
    const auto rowLength = static_cast<unsigned int>(stride / PixelBytes(texture));
    if (order.format != 0) {
        source->Download(rowLength, prepared, storage.FBO(), order.format, order.type);
    } else {
        source->Download(rowLength, prepared, storage.FBO());
    }
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
