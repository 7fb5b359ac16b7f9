#pragma once

#include <GL/glew.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "OglInformation.h"
#include "ShaderSources.h"

namespace Kavrin::Ogl {

class Mesh;
class ShaderProgram;
class Surface;
class VertexShader;

namespace Details {
class UploadBuffer;
class DownloadBuffer;
}  // namespace Details

// Frame-drawing programs by the channel order of the frame's texture.
enum class PixelFormatShader : std::int64_t {
    RGBA = 0,
    ARGB = 1,
    ABGR = 2,
};

// The other built-in programs.
enum class ShaderProgramId : std::int64_t {
    PremultiplyAlphaLib = 256,
    PremultiplyAlpha = 257,
    UnpremultiplyAlpha = 258,
    MultiplyAlpha = 259,
    ReplaceAlpha = 260,
    Blend = 261,
    Mix = 262,
    Copy = 263,
    Tile = 264,
};

// Built-in id (a PixelFormatShader or ShaderProgramId value) to pixel source;
// all use the VShader::Id::XYUV vertex shader. Read-only after static init.
extern const std::map<std::int64_t, std::string_view> BuiltinProgramSources;

// The per-context toolbox handed to every task: built-in programs, the program
// cache, built-in vertex shaders, two quads and the shared framebuffer. Built by
// the worker once its context is current and reset before the context goes.
// GL thread only; the caches grow behind const operations.
class ShaderStorage {
public:
    ShaderStorage();
    ~ShaderStorage();
    ShaderStorage(const ShaderStorage&) = delete;
    ShaderStorage& operator=(const ShaderStorage&) = delete;

    // On an empty storage only. Throws std::logic_error when the built-in vertex
    // shader does not compile; the storage then stays empty.
    void Create(OglCapability capability);
    void Reset();
    bool IsValid() const { return state != nullptr; }
    // Unknown when the storage is not valid.
    OglCapability GetCapability() const;

    // Throws std::logic_error "Builtin OpenGL shader program not found".
    ShaderProgram& GetShaderProgram(ShaderProgramId id) const;
    // Bound, with "src" on texture unit 0.
    ShaderProgram& UseShader(PixelFormatShader shader) const;

    // Cached by name; a program that fails to build yields the copy program.
    ShaderProgram& MakeShader(
        const ShaderSources<std::string_view, std::string_view>& sources) const;
    ShaderProgram& MakeShader(
        const ShaderSources<std::string_view, ShaderGenerator>& sources) const;
    ShaderProgram& MakeShader(const ShaderSources<ShaderGenerator, ShaderGenerator>& sources) const;
    ShaderProgram& MakeShader(const ShaderSources<VShader::Id, std::string_view>& sources) const;
    ShaderProgram& MakeShader(const ShaderSources<VShader::Id, ShaderGenerator>& sources) const;

    // References valid until Reset.
    Surface& FBO() const;
    const Mesh& Quad() const;
    const Mesh& FrameQuad() const;
    Details::UploadBuffer& GetUploadBuffer() const;
    Details::DownloadBuffer& GetDownloadBuffer() const;

    // The compiled built-in vertex shader; throws std::logic_error when it
    // cannot be compiled.
    const VertexShader& Id2Shader(VShader::Id id) const;

private:
    struct State;
    ShaderProgram& Cache(const std::string& name, ShaderProgram&& program) const;
    ShaderProgram* FindNamed(const std::string& name) const;
    State& Get() const;

    std::unique_ptr<State> state;
};

}  // namespace Kavrin::Ogl
