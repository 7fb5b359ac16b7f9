#include <GL/glew.h>

#include "ShaderProgram.h"

#include <map>

#include <glm/glm.hpp>
#include <gtest/gtest.h>

#include "GlslLibrary.h"
#include "LogCapture.h"
#include "RenderHub.h"
#include "ShaderSources.h"
#include "TestTasks.h"

namespace {

using namespace Kavrin::Ogl;
using Kavrin::Ogl::Details::GlObjectCounter;
using Kavrin::Ogl::VShader::Id;
using Kavrin::Test::LogCapture;
using Kavrin::Test::RunOnGL;

std::string_view Xyuv() { return BuiltinVertexSources.at(Id::XYUV); }

OglCapability Level() { return RenderHub::GetInstance().GetOglVersion(); }

using ShaderProgramGLTest = Kavrin::Test::CountedGLTest;

// A compile failure gives one report with the numbered adapted source; missing
// uniforms are reported once per program and name, with a hint for reserved and
// spaced names; a program without a name is reported by its empty name, then
// called unknown; a link failure (a declared function never defined) leaves the
// program empty too, though GL raises no error for it.
TEST_F(ShaderProgramGLTest, FailuresAreReportedOnceWithTheirContext) {
    const std::string body =
        "varying vec2 TexCoord0;\n\nvoid main()\n{\n    gl_FragColor = vec4(1.0)\n}\n";
    LogCapture log;
    bool valid = true, exists = true, linked = true;
    GLuint name = 1;
    std::string programName;
    RunOnGL([&] {
        ShaderProgram broken("Broken", Xyuv(), body, Level());
        valid = broken.IsValid();
        name = broken.GetName();
        ShaderProgram failing("", Xyuv(), "void main()\n{\n    undefined();\n}\n", Level());
        linked = ShaderProgram("Unlinked", Xyuv(),
                               "float missing(float x);\nvoid main()\n{\n    gl_FragColor = "
                               "vec4(missing(1.0));\n}\n",
                               Level())
                     .IsValid();
        ShaderProgram unnamed("", Xyuv(), "void main()\n{\n    gl_FragColor = vec4(1.);\n}\n",
                              Level());
        programName = unnamed.GetProgramName();
        unnamed.Uniform("absent", 1);
        ShaderProgram program(
            "Plain", Xyuv(), "uniform float k;\n\nvoid main()\n{\n    gl_FragColor = vec4(k);\n}\n",
            Level());
        for (const char* uniform : {"gl_Position", "gl_Position", "my value", "my value", "k"}) {
            program.Uniform(uniform, 1.0f);
        }
        exists = program.UniformExists("missing");
        glUseProgram(0);
    });
    EXPECT_FALSE(valid);
    EXPECT_FALSE(linked);
    EXPECT_EQ(name, 0u);
    EXPECT_FALSE(exists);
    EXPECT_EQ(programName, "Unknown shader program");
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 6u) << log.Dump();
    EXPECT_EQ(log.CountPrefix("Try to create shader program 'Unlinked'\nFailed to link shader "
                              "program 'Unlinked'\n"),
              1)
        << log.Dump();
    EXPECT_EQ(lines[0].severity, google::GLOG_ERROR);
    const std::string& report = lines[0].text;
    EXPECT_EQ(
        report.rfind(
            "Try to create shader program 'Broken'\nError compiling 'pixel' shader\nErrors:\n", 0),
        0u)
        << report;
    const std::string numbered = Details::NumberedSource(AdaptShaderSource(body, true, Level()));
    const std::size_t source = report.find("\n1  #version ");
    ASSERT_NE(source, std::string::npos) << report;
    EXPECT_EQ(report.substr(source + 1, numbered.size()), numbered);
    EXPECT_EQ(report.find("Error compiling 'vertex'"), std::string::npos);
    EXPECT_EQ(log.CountPrefix("Try to create shader program ''\n"), 1) << log.Dump();
    EXPECT_EQ(log.CountPrefix("Error in shader program 'Unknown shader program'\n"), 1)
        << log.Dump();
    EXPECT_TRUE(log.Has(
        google::GLOG_ERROR,
        "Error in shader program 'Plain'\n    No uniform named 'gl_Position', or uniform was "
        "optimized out.\n        Uniform name gl_Position starts with the reserved prefix 'gl_'."))
        << log.Dump();
    EXPECT_TRUE(
        log.Has(google::GLOG_ERROR,
                "Error in shader program 'Plain'\n    No uniform named 'my value', or uniform was "
                "optimized out.\n        Uniform name my value contains space symbols."))
        << log.Dump();
}

constexpr std::string_view kUniformPixel = R"(uniform int ui;
uniform float f1;
uniform vec2 f2;
uniform vec3 f3;
uniform vec4 f4;
uniform ivec2 i2;
uniform ivec3 i3;
uniform ivec4 i4;
uniform float arr[3];
uniform mat2 m2;
uniform mat3 m3;
uniform mat4 m4;

void main()
{
    float s = float(ui) + f1 + f2.x + f2.y + f3.x + f3.z + f4.x + f4.w + arr[0] + arr[1] + arr[2];
    s += float(i2.x + i2.y + i3.x + i3.z + i4.x + i4.w);
    s += m2[0][0] + m2[1][1] + m3[0][0] + m3[2][2] + m4[0][0] + m4[3][3];
    gl_FragColor = vec4(s);
}
)";

// The first `count` values of a uniform of the bound program. GL thread.
std::vector<float> ReadBack(const ShaderProgram& program, const char* name, std::size_t count,
                            bool integer = false) {
    const GLint at = glGetUniformLocation(program.GetName(), name);
    std::vector<float> values(16);
    if (integer) {
        std::vector<GLint> ints(16);
        glGetUniformiv(program.GetName(), at, ints.data());
        std::copy(ints.begin(), ints.end(), values.begin());
    } else {
        glGetUniformfv(program.GetName(), at, values.data());
    }
    values.resize(count);
    return values;
}

TEST_F(ShaderProgramGLTest, EveryUniformOverloadSetsTheValueReadBack) {
    using P = ShaderProgram;
    glm::mat4 m4(0.0f);
    for (int i = 0; i < 16; ++i) {
        m4[i / 4][i % 4] = static_cast<float>(i);
    }
    // glm stores columns; transpose is handed to GL as it is.
    const struct {
        const char* name;
        std::function<void(P&)> set;
        std::vector<float> wanted;
        bool integer = false;
    } rows[] = {
#define KAVRIN_SET(...) [&](P& p) { p.Uniform(__VA_ARGS__); }
        {"ui", KAVRIN_SET("ui", 7), {7}, true},
        {"f1", KAVRIN_SET("f1", 1.5f), {1.5f}},
        {"f2", KAVRIN_SET("f2", 1.0f, 2.0f), {1, 2}},
        {"f3", KAVRIN_SET("f3", 1.0f, 2.0f, 3.0f), {1, 2, 3}},
        {"f4", KAVRIN_SET("f4", 1.0f, 2.0f, 3.0f, 4.0f), {1, 2, 3, 4}},
        {"f1", KAVRIN_SET("f1", 0.1), {0.1f}},
        {"f2", KAVRIN_SET("f2", 0.1, 0.2), {0.1f, 0.2f}},
        {"f3", KAVRIN_SET("f3", 0.1, 0.2, 0.3), {0.1f, 0.2f, 0.3f}},
        {"f4", KAVRIN_SET("f4", 0.1, 0.2, 0.3, 0.4), {0.1f, 0.2f, 0.3f, 0.4f}},
        {"f2", KAVRIN_SET("f2", glm::vec2(5, 6)), {5, 6}},
        {"f3", KAVRIN_SET("f3", glm::vec3(5, 6, 7)), {5, 6, 7}},
        {"f4", KAVRIN_SET("f4", glm::vec4(5, 6, 7, 8)), {5, 6, 7, 8}},
        {"i2", KAVRIN_SET("i2", glm::ivec2(-1, 2)), {-1, 2}, true},
        {"i3", KAVRIN_SET("i3", glm::ivec3(-1, 2, -3)), {-1, 2, -3}, true},
        {"i4", KAVRIN_SET("i4", glm::ivec4(-1, 2, -3, 4)), {-1, 2, -3, 4}, true},
        {"f2", KAVRIN_SET("f2", std::array<float, 2>{9, 10}), {9, 10}},
        {"f3", KAVRIN_SET("f3", std::array<float, 3>{9, 10, 11}), {9, 10, 11}},
        {"f4", KAVRIN_SET("f4", std::array<float, 4>{9, 10, 11, 12}), {9, 10, 11, 12}},
        {"i2", KAVRIN_SET("i2", std::array<int, 2>{3, -4}), {3, -4}, true},
        {"i3", KAVRIN_SET("i3", std::array<int, 3>{3, -4, 5}), {3, -4, 5}, true},
        {"i4", KAVRIN_SET("i4", std::array<int, 4>{3, -4, 5, -6}), {3, -4, 5, -6}, true},
        {"f4", KAVRIN_SET("f4", Kavrin::ColorF{0.25f, 0.5f, 0.75f, 1.0f}), {0.25f, 0.5f, 0.75f, 1}},
        {"m2", KAVRIN_SET("m2", glm::mat2(1, 2, 3, 4), false), {1, 2, 3, 4}},
        {"m2", KAVRIN_SET("m2", glm::mat2(1, 2, 3, 4), true), {1, 3, 2, 4}},
        {"m3",
         KAVRIN_SET("m3", glm::mat3(1, 2, 3, 4, 5, 6, 7, 8, 9), false),
         {1, 2, 3, 4, 5, 6, 7, 8, 9}},
        {"m3",
         KAVRIN_SET("m3", glm::mat3(1, 2, 3, 4, 5, 6, 7, 8, 9), true),
         {1, 4, 7, 2, 5, 8, 3, 6, 9}},
        {"m4", KAVRIN_SET("m4", m4, false), {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}},
        {"m4", KAVRIN_SET("m4", m4, true), {0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15}},
#undef KAVRIN_SET
    };
    LogCapture log;
    RunOnGL([&] {
        ShaderProgram p("Uniforms", Xyuv(), kUniformPixel, Level());
        ASSERT_TRUE(p.IsValid());
        // A new program is left bound, its attribute found, a missing one -1.
        GLint bound = -1;
        glGetIntegerv(GL_CURRENT_PROGRAM, &bound);
        EXPECT_EQ(static_cast<GLuint>(bound), p.GetName());
        EXPECT_GE(p.GetAttributeLocation("vbo_xy_uv"), 0);
        EXPECT_EQ(p.GetAttributeLocation("vbo_missing"), -1);
        p.Use();
        for (const auto& row : rows) {
            row.set(p);
            EXPECT_EQ(ReadBack(p, row.name, row.wanted.size(), row.integer), row.wanted)
                << row.name << " row " << (&row - rows);
        }
        p.Uniform("arr", std::vector<float>{1.5f, 2.5f, 3.5f});
        for (int i = 0; i < 3; ++i) {
            const std::string element = "arr[" + std::to_string(i) + "]";
            EXPECT_EQ(ReadBack(p, element.c_str(), 1)[0], 1.5f + i) << element;
        }
        p.Uniform("arr", std::vector<float>{});  // count 0: nothing changes, no error
        EXPECT_EQ(ReadBack(p, "arr", 1)[0], 1.5f);
        EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
        EXPECT_THROW(p.Uniform("m4", glm::mat4x3(1.0f), false), std::logic_error);
        glUseProgram(0);
    });
    EXPECT_TRUE(log.Lines().empty()) << log.Dump();
}

TEST_F(ShaderProgramGLTest, MovesHandOverTheProgramAndAssignmentDeletesTheTargets) {
    static_assert(!std::is_copy_constructible_v<ShaderProgram>);
    static_assert(std::is_nothrow_move_constructible_v<ShaderProgram>);
    static_assert(!std::is_copy_constructible_v<VertexShader>);
    static_assert(std::is_nothrow_move_constructible_v<PixelShader>);
    LogCapture log;
    RunOnGL([&] {
        const char* body = "void main()\n{\n    gl_FragColor = vec4(1.);\n}\n";
        ShaderProgram a("A", Xyuv(), body, Level());
        ShaderProgram b("B", Xyuv(), body, Level());
        const GLuint oldA = a.GetName();
        const GLuint nameB = b.GetName();
        const long programs = GlObjectCounter::Live(GlObjectCounter::Program);
        a = std::move(b);
        EXPECT_EQ(GlObjectCounter::Live(GlObjectCounter::Program), programs - 1);
        EXPECT_EQ(glIsProgram(oldA), GL_FALSE);
        EXPECT_EQ(a.GetName(), nameB);
        EXPECT_EQ(a.GetProgramName(), "B");
        EXPECT_EQ(b.GetName(), 0u);
        EXPECT_EQ(b.GetProgramName(), "");

        ShaderProgram c(std::move(a));
        EXPECT_EQ(c.GetName(), nameB);
        EXPECT_FALSE(a.IsValid());
        a.Use();  // moved-from: logged, not thrown
        GLint bound = -1;
        glGetIntegerv(GL_CURRENT_PROGRAM, &bound);
        EXPECT_EQ(bound, 0);

        LogBuffer shaderLog;
        VertexShader v1(Xyuv(), Level(), shaderLog);
        VertexShader v2(Xyuv(), Level(), shaderLog);
        shaderLog.SetReport(false);
        const long shaders = GlObjectCounter::Live(GlObjectCounter::Shader);
        v1 = std::move(v2);
        EXPECT_EQ(GlObjectCounter::Live(GlObjectCounter::Shader), shaders - 1);
        EXPECT_TRUE(v1.IsValid());
        EXPECT_FALSE(v2.IsValid());
    });
    EXPECT_TRUE(log.Has(google::GLOG_ERROR, "You try to use invalid state shader program: ''."))
        << log.Dump();
}

// Source adaptation, on the host.

const std::string kPixelBlock =
    "\n#define varying in\n#define texture2DRect texture\n#define texture2D texture\n#define "
    "gl_FragColor fragmentColor\n\nout vec4 fragmentColor;\n";

// Each level's version line, the core dialect block from 3.2 on, and only the
// named library functions, each once and in library order (a name in a comment
// counts), two characters before main: after the last declaration, before the
// blank line. kavrin_HSLValue is no entry of its own, but part of kavrin_HSL2RGB_.
TEST(AdaptShaderSourceTest, PrefixesTheVersionDialectAndNamedLibraryFunctions) {
    const std::string vertexBlock =
        "\n#define varying out\n#define attribute in\n#define texture2DRect texture\n#define "
        "texture2D texture\n";
    const std::string pixel =
        "uniform sampler2D src;\nvarying vec2 TexCoord0;\n\nvoid main()\n{\n    gl_FragColor = "
        "texture2D(src, TexCoord0);\n}\n";
    const std::string vertex =
        "attribute vec4 vbo_xy_uv;\nvarying vec2 TexCoord0;\n\nvoid main()\n{\n    gl_Position = "
        "vec4(vbo_xy_uv.zw, 0., 1.);\n    TexCoord0 = vbo_xy_uv.xy;\n}\n";
    for (int level = 0; level <= 5; ++level) {  // Unknown to Core33
        const auto capability = static_cast<OglCapability>(level);
        const std::string version = level < 4    ? "#version 130\n"
                                    : level == 4 ? "#version 150\n"
                                                 : "#version 330\n";
        EXPECT_EQ(AdaptShaderSource(pixel, true, capability),
                  version + (level >= 4 ? kPixelBlock : "") + pixel);
        EXPECT_EQ(AdaptShaderSource(vertex, false, capability),
                  version + (level >= 4 ? vertexBlock : "") + vertex);
    }

    const std::map<std::string, std::string> library(GlslLibrary.begin(), GlslLibrary.end());
    const struct {
        std::string body;
        std::vector<std::string> injected;
    } rows[] = {
        {"varying vec2 TexCoord0;\n// uses kavrin_premultiplyAlphaRGBA_ elsewhere\n\nvoid "
         "main()\n{\n    vec4 c = kavrin_YUVA2RGBA_(kavrin_RGBA2YUVA_(vec4(TexCoord0, 0., "
         "1.)));\n    gl_FragColor = kavrin_mixRGBA_(kavrin_YUVA2RGBA_(c), c, 0.5);\n}\n",
         {"kavrin_mixRGBA_", "kavrin_premultiplyAlphaRGBA_", "kavrin_RGBA2YUVA_",
          "kavrin_YUVA2RGBA_"}},
        {"varying vec2 TexCoord0;\n\nvoid main()\n{\n    gl_FragColor = "
         "vec4(kavrin_HSLValue(0., 1., TexCoord0.x));\n}\n",
         {}},
        {"varying vec2 TexCoord0;\n\nvoid main()\n{\n    gl_FragColor = "
         "vec4(kavrin_HSL2RGB_(vec3(TexCoord0, 0.5)), 1.);\n}\n",
         {"kavrin_HSL2RGB_"}},
    };
    for (const auto& row : rows) {
        std::string injection;
        for (const std::string& name : row.injected) {
            injection += library.at(name);
        }
        const std::string plain = "#version 330\n" + kPixelBlock + row.body;
        EXPECT_EQ(AdaptShaderSource(row.body, true, OglCapability::Core33),
                  std::string(plain).insert(plain.find("void main") - 2, injection));
    }
    EXPECT_NE(library.at("kavrin_HSL2RGB_")
                  .find("float kavrin_HSLValue( float n1, float n2, float hue )"),
              std::string::npos);

    EXPECT_THROW(AdaptShaderSource("uniform float x;\n", true, OglCapability::Compatibility32),
                 std::out_of_range);
    EXPECT_THROW(AdaptShaderSource("", false, OglCapability::Core33), std::out_of_range);
    // An own integer output keeps the block's output at core levels.
    const std::string integer =
        "uniform usampler2D src;\nvarying vec2 TexCoord0;\nout uvec4 fragColor;\n\nvoid "
        "main()\n{\n    fragColor = texture(src, TexCoord0);\n}\n";
    EXPECT_NE(
        AdaptShaderSource(integer, true, OglCapability::Core32).find("out vec4 fragmentColor;"),
        std::string::npos);
    EXPECT_EQ(
        AdaptShaderSource(integer, true, OglCapability::Compatibility32).find("fragmentColor"),
        std::string::npos);
}

}  // namespace
