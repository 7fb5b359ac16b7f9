#include "ShaderSources.h"

#include <stdexcept>

#include "Kavrin/Core/Exception.h"

#include "GlslLibrary.h"

namespace Kavrin::Ogl {

template struct ShaderSources<std::string_view, std::string_view>;
template struct ShaderSources<std::string_view, ShaderGenerator>;
template struct ShaderSources<VShader::Id, std::string_view>;
template struct ShaderSources<VShader::Id, ShaderGenerator>;
template struct ShaderSources<ShaderGenerator, ShaderGenerator>;
template struct ShaderSourceKeeper<std::string_view, std::string_view>;
template struct ShaderSourceKeeper<std::string_view, ShaderGenerator>;
template struct ShaderSourceKeeper<VShader::Id, std::string_view>;
template struct ShaderSourceKeeper<VShader::Id, ShaderGenerator>;

namespace {

constexpr std::string_view kXyuvVertex = R"(varying vec2 TexCoord0;
attribute vec4 vbo_xy_uv;

void main()
{
    gl_Position = vec4(vbo_xy_uv.zw, 0., 1.);
    TexCoord0 = vbo_xy_uv.xy;
}
)";

constexpr std::string_view kMvpVertex = R"(varying vec2 TexCoord0;
uniform mat4 MVP;
attribute vec3 vbo_xyz;
attribute vec3 vbo_norm;
attribute vec2 vbo_uv;

void main()
{
    gl_Position = MVP * vec4(vbo_xyz, 1.0);
    TexCoord0 = vbo_uv;
}
)";

constexpr std::string_view kVertexDialect =
    "\n#define varying out\n#define attribute in\n#define texture2DRect texture\n#define texture2D "
    "texture\n";
constexpr std::string_view kPixelDialect =
    "\n#define varying in\n#define texture2DRect texture\n#define texture2D texture\n"
    "#define gl_FragColor fragmentColor\n\nout vec4 fragmentColor;\n";

}  // namespace

const std::map<VShader::Id, std::string_view> BuiltinVertexSources = {
    {VShader::Id::XYUV, kXyuvVertex},
    {VShader::Id::MVP, kMvpVertex},
};

std::string AdaptShaderSource(std::string_view body, bool isPixel, OglCapability capability) {
    std::string text;
    if (capability < OglCapability::Core32) {
        text = "#version 130\n";
    } else {
        text = capability == OglCapability::Core32 ? "#version 150\n" : "#version 330\n";
        text += isPixel ? kPixelDialect : kVertexDialect;
    }
    text += body;

    const std::size_t main = text.find("void main");
    if (main == std::string::npos) {
        KAVRIN_THROW_FROM("AdaptShaderSource",
                          std::out_of_range("Shader source has no \"void main\" to insert library "
                                            "functions before"));
    }
    // Only what the shader itself mentions is pulled in, in library order.
    std::string injection;
    for (const auto& [name, source] : GetGlslLibrary()) {
        if (text.find(name) != std::string::npos) {
            injection += source;
        }
    }
    // Two characters back: into the line break(s) that end the declarations.
    text.insert(main >= 2 ? main - 2 : 0, injection);
    return text;
}

}  // namespace Kavrin::Ogl
