#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "OglInformation.h"

namespace Kavrin::Ogl {

namespace VShader {
// The built-in vertex shaders.
enum class Id : std::int32_t {
    XYUV = 0,  // vertex = (u, v, x, y); passes TexCoord0
    MVP = 1,   // vbo_xyz through the MVP matrix; passes vbo_uv as TexCoord0
};
}  // namespace VShader

// Built-in vertex shader bodies by id; read-only after static initialisation.
extern const std::map<VShader::Id, std::string_view> BuiltinVertexSources;

// A named pair of shader sources. The name is the shader cache's whole key, so it
// must be unique per distinct pair. A std::string_view side is a text with static
// lifetime, a std::function side a generator called when the program is built,
// a VShader::Id a shared built-in vertex shader.
template <class V, class P>
struct ShaderSources {
    std::string name;
    V vertex;
    P pixel;
    const char* file = nullptr;  // where the shader is defined (diagnostics)
};

// The type of shader definitions at namespace scope.
template <class V, class P>
struct ShaderSourceKeeper : ShaderSources<V, P> {
    ShaderSourceKeeper(std::string name, V vertex, P pixel, const char* file)
        : ShaderSources<V, P>{std::move(name), std::move(vertex), std::move(pixel), file} {}
};

using ShaderGenerator = std::function<std::string()>;

extern template struct ShaderSources<std::string_view, std::string_view>;
extern template struct ShaderSources<std::string_view, ShaderGenerator>;
extern template struct ShaderSources<VShader::Id, std::string_view>;
extern template struct ShaderSources<VShader::Id, ShaderGenerator>;
extern template struct ShaderSources<ShaderGenerator, ShaderGenerator>;
extern template struct ShaderSourceKeeper<std::string_view, std::string_view>;
extern template struct ShaderSourceKeeper<std::string_view, ShaderGenerator>;
extern template struct ShaderSourceKeeper<VShader::Id, std::string_view>;
extern template struct ShaderSourceKeeper<VShader::Id, ShaderGenerator>;

// Makes a compilable text of a shader body written in the GLSL 1.30 dialect for
// the context's capability level: the version line, the dialect defines of the
// core levels, and the library functions the body names, inserted just before
// its main. Throws std::out_of_range when the body has no "void main".
// Thread-safe (pure text work).
std::string AdaptShaderSource(std::string_view body, bool isPixel, OglCapability capability);

}  // namespace Kavrin::Ogl
