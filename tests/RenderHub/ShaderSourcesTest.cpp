#include <GL/glew.h>

#include "ShaderSources.h"

#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "GlslLibrary.h"
#include "Shader.h"

namespace {

using Kavrin::Ogl::AdaptShaderSource;
using Kavrin::Ogl::GlslLibrary;
using Kavrin::Ogl::OglCapability;

constexpr const char* kPixelBody =
    "uniform sampler2D src;\nvarying vec2 TexCoord0;\n\nvoid main()\n{\n    gl_FragColor = "
    "texture2D(src, "
    "TexCoord0);\n}\n";
constexpr const char* kVertexBody =
    "attribute vec4 vbo_xy_uv;\nvarying vec2 TexCoord0;\n\nvoid main()\n{\n    gl_Position = "
    "vec4(vbo_xy_uv.zw, 0., 1.);\n    TexCoord0 = vbo_xy_uv.xy;\n}\n";

const std::string kPixelBlock =
    "\n#define varying in\n#define texture2DRect texture\n#define texture2D texture\n#define "
    "gl_FragColor fragmentColor\n\nout vec4 fragmentColor;\n";
const std::string kVertexBlock =
    "\n#define varying out\n#define attribute in\n#define texture2DRect texture\n#define texture2D "
    "texture\n";

// Each level's version line, and the core dialect block from 3.2 on.
TEST(AdaptShaderSourceTest, VersionLineAndDialectBlockPrecedeTheBody) {
    const std::tuple<OglCapability, std::string, bool> rows[] = {
        {OglCapability::Unknown, "#version 130\n", false},
        {OglCapability::Minimal, "#version 130\n", false},
        {OglCapability::Compatibility30, "#version 130\n", false},
        {OglCapability::Compatibility32, "#version 130\n", false},
        {OglCapability::Core32, "#version 150\n", true},
        {OglCapability::Core33, "#version 330\n", true}};
    for (const auto& [capability, version, dialect] : rows) {
        EXPECT_EQ(AdaptShaderSource(kPixelBody, true, capability),
                  version + (dialect ? kPixelBlock : "") + kPixelBody);
        EXPECT_EQ(AdaptShaderSource(kVertexBody, false, capability),
                  version + (dialect ? kVertexBlock : "") + kVertexBody);
    }
}

const std::string& LibraryText(const std::string& name) {
    for (const auto& [entry, text] : GlslLibrary) {
        if (entry == name) {
            return text;
        }
    }
    throw std::runtime_error("no library entry " + name);
}

// Only the named library functions, each once and in library order (a name in
// a comment counts), go in two characters before main: right after the last
// declaration, before the blank line. kavrin_HSLValue is no entry of its own,
// but part of kavrin_HSL2RGB_.
TEST(AdaptShaderSourceTest, InjectsNamedFunctionsInLibraryOrderBeforeMain) {
    const struct {
        std::string body;
        OglCapability capability;
        std::string prefix;
        std::vector<std::string> injected;
    } rows[] = {
        {"uniform sampler2D a;\nvarying vec2 TexCoord0;\n\nvoid main()\n{\n    gl_FragColor = "
         "kavrin_mixRGBA_(texture2D(a, TexCoord0), vec4(0.), 0.5);\n}\n",
         OglCapability::Compatibility32,
         "#version 130\n",
         {"kavrin_mixRGBA_"}},
        {"varying vec2 TexCoord0;\n// uses kavrin_premultiplyAlphaRGBA_ elsewhere\n\nvoid "
         "main()\n{\n    vec4 c = kavrin_YUVA2RGBA_(kavrin_RGBA2YUVA_(vec4(TexCoord0, 0., "
         "1.)));\n    gl_FragColor = kavrin_YUVA2RGBA_(c);\n}\n",
         OglCapability::Core33,
         "#version 330\n" + kPixelBlock,
         {"kavrin_premultiplyAlphaRGBA_", "kavrin_RGBA2YUVA_", "kavrin_YUVA2RGBA_"}},
        {"varying vec2 TexCoord0;\n\nvoid main()\n{\n    gl_FragColor = "
         "vec4(kavrin_HSLValue(0., 1., TexCoord0.x));\n}\n",
         OglCapability::Compatibility30,
         "#version 130\n",
         {}},
        {"varying vec2 TexCoord0;\n\nvoid main()\n{\n    gl_FragColor = "
         "vec4(kavrin_HSL2RGB_(vec3(TexCoord0, 0.5)), 1.);\n}\n",
         OglCapability::Compatibility30,
         "#version 130\n",
         {"kavrin_HSL2RGB_"}},
    };
    for (const auto& row : rows) {
        std::string injection;
        for (const std::string& name : row.injected) {
            injection += LibraryText(name);
        }
        const std::string plain = row.prefix + row.body;
        EXPECT_EQ(AdaptShaderSource(row.body, true, row.capability),
                  std::string(plain).insert(plain.find("void main") - 2, injection));
    }
    EXPECT_NE(LibraryText("kavrin_HSL2RGB_")
                  .find("float kavrin_HSLValue( float n1, float n2, float hue )"),
              std::string::npos);
}

TEST(AdaptShaderSourceTest, BodyWithoutMainThrows) {
    EXPECT_THROW(AdaptShaderSource("uniform float x;\n", true, OglCapability::Compatibility32),
                 std::out_of_range);
    EXPECT_THROW(AdaptShaderSource("", false, OglCapability::Core33), std::out_of_range);
}

TEST(AdaptShaderSourceTest, OwnIntegerOutputKeepsTheBlockOutputAtCoreLevels) {
    const std::string body =
        "uniform usampler2D src;\nvarying vec2 TexCoord0;\nout uvec4 fragColor;\n\nvoid "
        "main()\n{\n    "
        "fragColor = texture(src, TexCoord0);\n}\n";
    EXPECT_NE(AdaptShaderSource(body, true, OglCapability::Core32).find("out vec4 fragmentColor;"),
              std::string::npos);
    EXPECT_EQ(AdaptShaderSource(body, true, OglCapability::Compatibility32).find("fragmentColor"),
              std::string::npos);
}

TEST(NumberedSourceTest, NumbersAreLeftAlignedInThreeColumns) {
    std::string text;
    for (int line = 1; line <= 100; ++line) {
        text += "l" + std::to_string(line) + "\n";
    }
    const std::string numbered = Kavrin::Ogl::Details::NumberedSource(text);
    EXPECT_EQ(numbered.rfind("1  l1\n2  l2\n", 0), 0u);
    EXPECT_NE(numbered.find("\n10 l10\n"), std::string::npos);
    EXPECT_NE(numbered.find("\n99 l99\n100l100\n"), std::string::npos);
    EXPECT_EQ(Kavrin::Ogl::Details::NumberedSource("#version 130\nlast"),
              "1  #version 130\n2  last\n");
}

}  // namespace
