#include <GL/glew.h>

#include "ShaderSources.h"

#include <stdexcept>
#include <string>

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

struct LevelRow {
    OglCapability capability;
    const char* name;
    std::string versionLine;
    bool dialect;
};

class AdaptLevelTest : public ::testing::TestWithParam<LevelRow> {};

TEST_P(AdaptLevelTest, VersionLineAndDialectBlockPrecedeTheBody) {
    const LevelRow& row = GetParam();
    const std::string pixel = AdaptShaderSource(kPixelBody, true, row.capability);
    const std::string vertex = AdaptShaderSource(kVertexBody, false, row.capability);
    EXPECT_EQ(pixel, row.versionLine + (row.dialect ? kPixelBlock : "") + kPixelBody);
    EXPECT_EQ(vertex, row.versionLine + (row.dialect ? kVertexBlock : "") + kVertexBody);
}

INSTANTIATE_TEST_SUITE_P(
    Levels, AdaptLevelTest,
    ::testing::Values(
        LevelRow{OglCapability::Unknown, "Unknown", "#version 130\n", false},
        LevelRow{OglCapability::Minimal, "Minimal", "#version 130\n", false},
        LevelRow{OglCapability::Compatibility30, "Compatibility30", "#version 130\n", false},
        LevelRow{OglCapability::Compatibility32, "Compatibility32", "#version 130\n", false},
        LevelRow{OglCapability::Core32, "Core32", "#version 150\n", true},
        LevelRow{OglCapability::Core33, "Core33", "#version 330\n", true}),
    [](const auto& info) { return std::string(info.param.name); });

const std::string& LibraryText(const std::string& name) {
    for (const auto& [entry, text] : GlslLibrary) {
        if (entry == name) {
            return text;
        }
    }
    throw std::runtime_error("no library entry " + name);
}

TEST(AdaptShaderSourceTest, InjectsOnlyNamedFunctionsTwoCharactersBeforeMain) {
    const std::string body =
        "uniform sampler2D a;\nvarying vec2 TexCoord0;\n\nvoid main()\n{\n    gl_FragColor = "
        "kavrin_mixRGBA_(texture2D(a, TexCoord0), vec4(0.), 0.5);\n}\n";
    const std::string adapted = AdaptShaderSource(body, true, OglCapability::Compatibility32);
    const std::string plain = "#version 130\n" + body;
    const std::string& injected = LibraryText("kavrin_mixRGBA_");
    EXPECT_EQ(adapted, std::string(plain).insert(plain.find("void main") - 2, injected));
    // Right after the last declaration, before the blank line.
    EXPECT_NE(adapted.find("varying vec2 TexCoord0;" + injected + "\n\nvoid main"),
              std::string::npos);
    EXPECT_EQ(adapted.find("kavrin_blendRGBA_"), std::string::npos);
}

TEST(AdaptShaderSourceTest, InjectsInLibraryOrderEachOnceAndFromCommentsToo) {
    const std::string body =
        "varying vec2 TexCoord0;\n// uses kavrin_premultiplyAlphaRGBA_ elsewhere\n\nvoid "
        "main()\n{\n"
        "    vec4 c = kavrin_YUVA2RGBA_(kavrin_RGBA2YUVA_(vec4(TexCoord0, 0., 1.)));\n"
        "    gl_FragColor = kavrin_YUVA2RGBA_(c);\n}\n";
    const std::string adapted = AdaptShaderSource(body, true, OglCapability::Core33);
    const std::string expectedInjection = LibraryText("kavrin_premultiplyAlphaRGBA_") +
                                          LibraryText("kavrin_RGBA2YUVA_") +
                                          LibraryText("kavrin_YUVA2RGBA_");
    const std::string prefix = "#version 330\n" + kPixelBlock;
    const std::size_t mainAt = (prefix + body).find("void main");
    EXPECT_EQ(adapted, (prefix + body).insert(mainAt - 2, expectedInjection));
}

TEST(AdaptShaderSourceTest, HslValueAloneInjectsNothingButHsl2RgbBringsBoth) {
    const std::string valueOnly =
        "varying vec2 TexCoord0;\n\nvoid main()\n{\n    gl_FragColor = vec4(kavrin_HSLValue(0., "
        "1., "
        "TexCoord0.x));\n}\n";
    EXPECT_EQ(AdaptShaderSource(valueOnly, true, OglCapability::Compatibility30),
              "#version 130\n" + valueOnly);

    const std::string hsl =
        "varying vec2 TexCoord0;\n\nvoid main()\n{\n    gl_FragColor = "
        "vec4(kavrin_HSL2RGB_(vec3(TexCoord0, "
        "0.5)), 1.);\n}\n";
    const std::string adapted = AdaptShaderSource(hsl, true, OglCapability::Compatibility30);
    const std::string& entry = LibraryText("kavrin_HSL2RGB_");
    EXPECT_NE(entry.find("float kavrin_HSLValue( float n1, float n2, float hue )"),
              std::string::npos);
    EXPECT_NE(adapted.find(entry), std::string::npos);
    EXPECT_EQ(adapted.size(), ("#version 130\n" + hsl).size() + entry.size());
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
