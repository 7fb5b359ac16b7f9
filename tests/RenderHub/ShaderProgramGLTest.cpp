#include <GL/glew.h>

#include "ShaderProgram.h"

#include <map>
#include <sstream>

#include <glm/glm.hpp>
#include <gtest/gtest.h>

#include "GlslLibrary.h"
#include "GpuEval.h"
#include "LogCapture.h"
#include "Mesh.h"
#include "RenderHub.h"
#include "ShaderSources.h"
#include "ShaderStorage.h"
#include "TestTasks.h"

namespace {

using namespace Kavrin::Ogl;
using Kavrin::Ogl::Details::GlObjectCounter;
using Kavrin::Ogl::VShader::Id;
using Kavrin::Test::FloatTexture;
using Kavrin::Test::LogCapture;
using Kavrin::Test::RunOnGL;
using Kavrin::Test::WithStorage;

std::string_view Xyuv() { return BuiltinVertexSources.at(Id::XYUV); }

OglCapability Level() { return RenderHub::GetInstance().GetOglVersion(); }

constexpr const char* kWhite = "void main() { gl_FragColor = vec4(1.); }";

using ShaderProgramGLTest = Kavrin::Test::CountedGLTest;

// A compile failure gives one report with the numbered adapted source; a missing
// uniform once per program and name, with hints; an unnamed program is called
// unknown; a link failure leaves the program empty though GL raises no error.
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
        ShaderProgram failing("", Xyuv(), "void main() { undefined(); }", Level());
        linked =
            ShaderProgram("Unlinked", Xyuv(),
                          "float f(float x); void main() { gl_FragColor = vec4(f(1.)); }", Level())
                .IsValid();
        ShaderProgram unnamed("", Xyuv(), kWhite, Level());
        programName = unnamed.GetProgramName();
        unnamed.Uniform("absent", 1);
        ShaderProgram program("Plain", Xyuv(),
                              "uniform float k; void main() { gl_FragColor = vec4(k); }", Level());
        for (const char* uniform : {"gl_Position", "gl_Position", "my value", "my value", "k"}) {
            program.Uniform(uniform, 1.0f);
        }
        exists = program.UniformExists("missing");
        glUseProgram(0);
    });
    EXPECT_EQ(std::tuple(valid, linked, name, exists, programName),
              std::tuple(false, false, 0u, false, "Unknown shader program"));
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 6u) << log.Dump();
    EXPECT_EQ(log.CountPrefix("Try to create shader program 'Unlinked'\nFailed to link shader "
                              "program 'Unlinked'\n"),
              1);
    EXPECT_EQ(lines[0].severity, google::GLOG_ERROR);
    const std::string& report = lines[0].text;
    EXPECT_EQ(
        report.rfind(
            "Try to create shader program 'Broken'\nError compiling 'pixel' shader\nErrors:\n", 0),
        0u)
        << report;
    std::istringstream adapted(AdaptShaderSource(body, true, Level()));
    std::string numbered, line;  // numbers left-aligned in three columns
    for (int n = 1; std::getline(adapted, line); ++n) {
        numbered += (std::to_string(n) + "  ").substr(0, 3) + line + "\n";
    }
    EXPECT_NE(report.find("\n" + numbered), std::string::npos) << report;
    EXPECT_EQ(report.find("Error compiling 'vertex'"), std::string::npos);
    EXPECT_EQ(log.CountPrefix("Try to create shader program ''\n"), 1);
    EXPECT_EQ(log.CountPrefix("Error in shader program 'Unknown shader program'\n"), 1);
    const std::string missing = "Error in shader program 'Plain'\n    No uniform named '";
    const std::string optimized = "', or uniform was optimized out.\n        Uniform name ";
    for (const std::string& line :
         {missing + "gl_Position" + optimized +
              "gl_Position starts with the reserved prefix 'gl_'.",
          missing + "my value" + optimized + "my value contains space symbols."}) {
        EXPECT_TRUE(log.Has(google::GLOG_ERROR, line)) << log.Dump();
    }
}

constexpr std::string_view kUniformPixel = R"(uniform int ui; uniform float f1, arr[3];
uniform vec2 f2; uniform vec3 f3; uniform vec4 f4; uniform ivec2 i2; uniform ivec3 i3;
uniform ivec4 i4; uniform mat2 m2; uniform mat3 m3; uniform mat4 m4;
void main() { gl_FragColor = vec4(float(ui + i2.x + i3.x + i4.x) + f1 + arr[0] + arr[1] + arr[2]
    + f2.x + f3.x + f4.x + m2[0][0] + m3[0][0] + m4[0][0]); })";

// The first `count` values of a uniform of the bound program, as floats.
std::vector<float> ReadBack(const ShaderProgram& program, const char* name, std::size_t count) {
    std::vector<float> values(16);
    glGetUniformfv(program.GetName(), glGetUniformLocation(program.GetName(), name), values.data());
    values.resize(count);
    return values;
}

TEST_F(ShaderProgramGLTest, EveryUniformOverloadSetsTheValueReadBackAndMovesHandOver) {
    static_assert(!std::is_copy_constructible_v<ShaderProgram>);
    static_assert(std::is_nothrow_move_constructible_v<ShaderProgram>);
    static_assert(!std::is_copy_constructible_v<VertexShader>);
    static_assert(std::is_nothrow_move_constructible_v<PixelShader>);
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
    } rows[] = {
#define S(...) [&](P& p) { p.Uniform(__VA_ARGS__); }
        {"ui", S("ui", 7), {7}},
        {"f1", S("f1", 1.5f), {1.5f}},
        {"f2", S("f2", 1.0f, 2.0f), {1, 2}},
        {"f3", S("f3", 1.0f, 2.0f, 3.0f), {1, 2, 3}},
        {"f4", S("f4", 1.0f, 2.0f, 3.0f, 4.0f), {1, 2, 3, 4}},
        {"f1", S("f1", 0.1), {0.1f}},
        {"f2", S("f2", 0.1, 0.2), {0.1f, 0.2f}},
        {"f3", S("f3", 0.1, 0.2, 0.3), {0.1f, 0.2f, 0.3f}},
        {"f4", S("f4", 0.1, 0.2, 0.3, 0.4), {0.1f, 0.2f, 0.3f, 0.4f}},
        {"f2", S("f2", glm::vec2(5, 6)), {5, 6}},
        {"f3", S("f3", glm::vec3(5, 6, 7)), {5, 6, 7}},
        {"f4", S("f4", glm::vec4(5, 6, 7, 8)), {5, 6, 7, 8}},
        {"i2", S("i2", glm::ivec2(-1, 2)), {-1, 2}},
        {"i3", S("i3", glm::ivec3(-1, 2, -3)), {-1, 2, -3}},
        {"i4", S("i4", glm::ivec4(-1, 2, -3, 4)), {-1, 2, -3, 4}},
        {"f2", S("f2", std::array<float, 2>{9, 10}), {9, 10}},
        {"f3", S("f3", std::array<float, 3>{9, 10, 11}), {9, 10, 11}},
        {"f4", S("f4", std::array<float, 4>{9, 10, 11, 12}), {9, 10, 11, 12}},
        {"i2", S("i2", std::array<int, 2>{3, -4}), {3, -4}},
        {"i3", S("i3", std::array<int, 3>{3, -4, 5}), {3, -4, 5}},
        {"i4", S("i4", std::array<int, 4>{3, -4, 5, -6}), {3, -4, 5, -6}},
        {"f4", S("f4", Kavrin::ColorF{0.25f, 0.5f, 0.75f, 1.0f}), {0.25f, 0.5f, 0.75f, 1}},
        {"m2", S("m2", glm::mat2(1, 2, 3, 4), false), {1, 2, 3, 4}},
        {"m2", S("m2", glm::mat2(1, 2, 3, 4), true), {1, 3, 2, 4}},
        {"m3", S("m3", glm::mat3(1, 2, 3, 4, 5, 6, 7, 8, 9), false), {1, 2, 3, 4, 5, 6, 7, 8, 9}},
        {"m3", S("m3", glm::mat3(1, 2, 3, 4, 5, 6, 7, 8, 9), true), {1, 4, 7, 2, 5, 8, 3, 6, 9}},
        {"m4", S("m4", m4, false), {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}},
        {"m4", S("m4", m4, true), {0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15}},
        {"arr[0]", S("arr", std::vector<float>{1.5f, 2.5f, 3.5f}), {1.5f}},
        {"arr[2]", S("arr", std::vector<float>{}), {3.5f}},  // count 0: nothing changes, no error
#undef S
    };
    LogCapture log;
    RunOnGL([&] {
        ShaderProgram p("Uniforms", Xyuv(), kUniformPixel, Level());
        ASSERT_TRUE(p.IsValid());
        // A new program is left bound, its attribute found, a missing one -1.
        GLint bound = -1;
        glGetIntegerv(GL_CURRENT_PROGRAM, &bound);
        EXPECT_EQ(std::tuple(static_cast<GLuint>(bound), p.GetAttributeLocation("vbo_xy_uv") >= 0,
                             p.GetAttributeLocation("vbo_missing")),
                  std::tuple(p.GetName(), true, -1));
        p.Use();
        for (const auto& row : rows) {
            row.set(p);
            EXPECT_EQ(ReadBack(p, row.name, row.wanted.size()), row.wanted)
                << row.name << " row " << (&row - rows);
        }
        EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
        EXPECT_THROW(p.Uniform("m4", glm::mat4x3(1.0f), false), std::logic_error);
        glUseProgram(0);

        // Moves hand the program over; assignment deletes the target's.
        ShaderProgram a("A", Xyuv(), kWhite, Level());
        ShaderProgram b("B", Xyuv(), kWhite, Level());
        const GLuint oldA = a.GetName(), nameB = b.GetName();
        const long programs = GlObjectCounter::Live(GlObjectCounter::Program);
        a = std::move(b);
        EXPECT_EQ(std::tuple(GlObjectCounter::Live(GlObjectCounter::Program), glIsProgram(oldA),
                             a.GetName(), a.GetProgramName(), b.GetName(), b.GetProgramName()),
                  std::tuple(programs - 1, GL_FALSE, nameB, "B", 0u, ""));

        ShaderProgram c(std::move(a));
        a.Use();  // moved-from: logged, not thrown
        bound = -1;
        glGetIntegerv(GL_CURRENT_PROGRAM, &bound);
        EXPECT_EQ(std::tuple(c.GetName(), a.IsValid(), bound), std::tuple(nameB, false, 0));

        LogBuffer shaderLog;
        VertexShader v1(Xyuv(), Level(), shaderLog);
        VertexShader v2(Xyuv(), Level(), shaderLog);
        shaderLog.SetReport(false);
        const long shaders = GlObjectCounter::Live(GlObjectCounter::Shader);
        v1 = std::move(v2);
        EXPECT_EQ(GlObjectCounter::Live(GlObjectCounter::Shader), shaders - 1);
        EXPECT_TRUE(v1.IsValid() && !v2.IsValid());
    });
    EXPECT_EQ(log.Count(google::GLOG_ERROR, "You try to use invalid state shader program: ''."), 1);
    EXPECT_EQ(log.Lines().size(), 1u) << log.Dump();
}

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
    const std::string pixel = "uniform sampler2D s;\n\nvoid main() { gl_FragColor = vec4(1.); }";
    const std::string vertex = "attribute vec4 v;\n\nvoid main() { gl_Position = v; }";
    const char* const versions[] = {"130", "130", "130", "130", "150", "330"};  // Unknown to Core33
    for (int level = 0; level <= 5; ++level) {
        const auto capability = static_cast<OglCapability>(level);
        const std::string version = "#version " + std::string(versions[level]) + "\n";
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
        {"// uses kavrin_premultiplyAlphaRGBA_\n\nvoid main() { vec4 c = kavrin_YUVA2RGBA_("
         "kavrin_RGBA2YUVA_(c)); gl_FragColor = kavrin_mixRGBA_(kavrin_YUVA2RGBA_(c), c, 0.5); }",
         {"kavrin_mixRGBA_", "kavrin_premultiplyAlphaRGBA_", "kavrin_RGBA2YUVA_",
          "kavrin_YUVA2RGBA_"}},
        {"uniform float x;\n\nvoid main() { gl_FragColor = vec4(kavrin_HSLValue(0., 1., x)); }",
         {}},
        {"uniform vec3 x;\n\nvoid main() { gl_FragColor = vec4(kavrin_HSL2RGB_(x), 1.); }",
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

    EXPECT_THROW(AdaptShaderSource("uniform float x;\n", true, OglCapability::Compatibility32),
                 std::out_of_range);
    EXPECT_THROW(AdaptShaderSource("", false, OglCapability::Core33), std::out_of_range);
    // An own integer output keeps the block's output at core levels.
    const std::string integer = "out uvec4 fragColor;\n\nvoid main() { fragColor = uvec4(1); }";
    EXPECT_NE(
        AdaptShaderSource(integer, true, OglCapability::Core32).find("out vec4 fragmentColor;"),
        std::string::npos);
    EXPECT_EQ(
        AdaptShaderSource(integer, true, OglCapability::Compatibility32).find("fragmentColor"),
        std::string::npos);
}

// Draws the storage's quad (or frame quad) with `program` (bound) into a float
// target and reads it back, bottom row first. Input k goes on unit k once the
// target exists, since allocating it rebinds the active unit.
std::vector<glm::vec4> Render(const ShaderStorage& storage, ShaderProgram& program, int width,
                              int height, const std::vector<const Texture*>& inputs,
                              bool frameQuad = false) {
    auto target = FloatTexture(width, height);
    for (std::size_t k = 0; k < inputs.size(); ++k) {
        inputs[k]->Use(static_cast<int>(k));
    }
    glActiveTexture(GL_TEXTURE0);
    storage.FBO().Attach(*target);
    const Mesh& quad = frameQuad ? storage.FrameQuad() : storage.Quad();
    quad.Activate();
    quad.Draw(program);
    return Kavrin::Test::ReadFloat(*target, storage);
}

// Binds a storage program and puts sampler k on unit k.
ShaderProgram& Prepare(const ShaderStorage& storage, ShaderProgramId id,
                       std::initializer_list<const char*> samplers) {
    ShaderProgram& program = storage.GetShaderProgram(id);
    program.Use();
    int unit = 0;
    for (const char* sampler : samplers) {
        program.Uniform(sampler, unit++);
    }
    return program;
}

void ExpectPixels(const std::vector<glm::vec4>& got, const std::vector<glm::vec4>& wanted,
                  float tolerance, const std::string& what) {
    ASSERT_EQ(got.size(), wanted.size()) << what;
    for (std::size_t i = 0; i < got.size() * 4; ++i) {
        EXPECT_NEAR(got[i / 4][i % 4], wanted[i / 4][i % 4], tolerance) << what << " value " << i;
    }
}

// Straight-alpha texels, none with alpha 0 (unpremultiply divides by it).
const std::vector<glm::vec4> kTexels = {{0.1f, 0.2f, 0.3f, 0.4f},
                                        {0.9f, 0.5f, 0.25f, 1.0f},
                                        {1.0f, 0.0f, 0.75f, 0.5f},
                                        {0.0f, 0.6f, 0.2f, 0.8f}};

using ShaderStorageGLTest = Kavrin::Test::GLTest<>;

// The frame programs swizzle; the alpha programs follow their formulas. Blend
// reads its destination through scale (0.5, 1) and offset (0.5, 0): all four
// output pixels see the right-hand destination texel. Mix weighs by alpha. Tile
// averages each destination pixel's box of source texels, sampled at texel
// corners i/8 (nearest filtering picks texel i).
TEST_F(ShaderStorageGLTest, StorageProgramsFollowTheirFormulas) {
    const auto I = [](auto id) { return static_cast<std::int64_t>(id); };
    const struct {
        std::int64_t id;
        float extAlpha;  // negative: no such uniform
        std::function<glm::vec4(const glm::vec4&)> expected;
    } rows[] = {
        {I(PixelFormatShader::RGBA), -1, [](const glm::vec4& c) { return c; }},
        {I(PixelFormatShader::ARGB), -1,
         [](const glm::vec4& c) { return glm::vec4(c.g, c.b, c.a, c.r); }},
        {I(PixelFormatShader::ABGR), -1,
         [](const glm::vec4& c) { return glm::vec4(c.a, c.b, c.g, c.r); }},
        {I(ShaderProgramId::PremultiplyAlphaLib), -1,
         [](const glm::vec4& c) { return glm::vec4(glm::vec3(c) * c.a, 1.0f); }},
        {I(ShaderProgramId::PremultiplyAlpha), -1,
         [](const glm::vec4& c) { return glm::vec4(glm::vec3(c) * c.a, c.a); }},
        {I(ShaderProgramId::UnpremultiplyAlpha), -1,
         [](const glm::vec4& c) { return glm::vec4(glm::vec3(c) / c.a, c.a); }},
        {I(ShaderProgramId::MultiplyAlpha), 0.5f,
         [](const glm::vec4& c) { return glm::vec4(glm::vec3(c), c.a * 0.5f); }},
        {I(ShaderProgramId::ReplaceAlpha), 0.25f,
         [](const glm::vec4& c) { return glm::vec4(glm::vec3(c), 0.25f); }},
        {I(ShaderProgramId::Copy), -1, [](const glm::vec4& c) { return c; }},
    };
    const glm::dvec4 d(0.2, 0.4, 0.6, 0.5);
    const std::vector<glm::vec4> dstTexels = {{1, 0, 0, 1}, glm::vec4(d)};
    const std::vector<glm::vec4> others = {
        {0, 0, 1, 1}, {1, 1, 1, 0.5f}, {0, 1, 0, 1}, {1, 0, 0, 0.2f}};
    std::vector<glm::vec4> blended, mixed;
    for (std::size_t i = 0; i < 4; ++i) {
        const glm::dvec4 s = kTexels[i], c1 = others[i];
        const double k = s.a * 0.75, a = k + d.a * (1 - k);
        blended.push_back(glm::vec4((glm::dvec3(s) * k + glm::dvec3(d) * d.a * (1 - k)) / a, a));
        const double alpha = s.a + (c1.a - s.a) * 0.25;
        mixed.push_back(glm::vec4(
            (glm::dvec3(s) * s.a + (glm::dvec3(c1) * c1.a - glm::dvec3(s) * s.a) * 0.25) / alpha,
            alpha));
    }
    constexpr int kSize = 8;
    std::vector<glm::vec4> texels;
    for (int i = 0; i < kSize * kSize; ++i) {
        const int x = i % kSize, y = i / kSize;
        texels.push_back({x / 8.0f, y / 8.0f, (x * y) / 64.0f, 1.0f});
    }
    std::vector<glm::vec4> tiled;  // boxes of texels 1-4 or 3-6 per axis: mean index 2.5 or 4.5
    for (const float y : {2.5f, 4.5f}) {
        for (const float x : {2.5f, 4.5f}) {
            tiled.push_back({x / 8, y / 8, x * y / 64, 1});
        }
    }
    WithStorage([&](const ShaderStorage& storage) {
        auto dst = FloatTexture(2, 1, dstTexels.data());
        auto src = FloatTexture(4, 1, kTexels.data());
        for (const auto& row : rows) {
            const bool frame = row.id < 256;
            ShaderProgram& program =
                frame ? storage.UseShader(static_cast<PixelFormatShader>(row.id))
                      : Prepare(storage, static_cast<ShaderProgramId>(row.id), {"tex"});
            if (row.extAlpha >= 0) {
                program.Uniform("extAlpha", row.extAlpha);
            }
            std::vector<glm::vec4> wanted;
            for (const auto& t : kTexels) {
                wanted.push_back(row.expected(t));
            }
            ExpectPixels(Render(storage, program, 4, 1, {src.get()}), wanted, frame ? 0.0f : 1e-6f,
                         std::to_string(row.id));  // float
        }
        // The frame quad maps texture row 0 to the top: read bottom row first, rows swap.
        auto column = FloatTexture(1, 2, kTexels.data());
        ExpectPixels(
            Render(storage, storage.UseShader(PixelFormatShader::RGBA), 1, 2, {column.get()}, true),
            {kTexels[1], kTexels[0]}, 0.0f, "frame quad");
        EXPECT_THROW(storage.UseShader(static_cast<PixelFormatShader>(ShaderProgramId::Copy)),
                     std::logic_error);
        EXPECT_THROW(storage.UseShader(static_cast<PixelFormatShader>(3)), std::logic_error);
        auto other = FloatTexture(4, 1, others.data());
        ShaderProgram& blend = Prepare(storage, ShaderProgramId::Blend, {"texDst", "texSrc"});
        blend.Uniform("extAlpha", 0.75f);
        blend.Uniform("scaleoffset", glm::vec4(0.5f, 1.0f, 0.5f, 0.0f));
        ExpectPixels(Render(storage, blend, 4, 1, {dst.get(), src.get()}), blended, 1e-6f,
                     "Blend");  // float
        ShaderProgram& mix = Prepare(storage, ShaderProgramId::Mix, {"tex0", "tex1"});
        mix.Uniform("extAlpha", 0.25f);
        ExpectPixels(Render(storage, mix, 4, 1, {src.get(), other.get()}), mixed, 1e-6f,
                     "Mix");  // float
        auto source = FloatTexture(kSize, kSize, texels.data());
        ShaderProgram& tile = Prepare(storage, ShaderProgramId::Tile, {"tex0"});
        tile.Uniform("amount", glm::vec2(1.0f, 1.0f));
        tile.Uniform("rFrameSize", glm::vec2(1.0f / kSize, 1.0f / kSize));
        tile.Uniform("tile_av_size", glm::vec2(4.0f, 4.0f));
        ExpectPixels(Render(storage, tile, 2, 2, {source.get()}), tiled, 1e-6f, "Tile");  // float
        glUseProgram(0);
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
    });
}

// Every kind of source is built once, generators called once each (vertex
// first), then found by name: a second source under a name is never built. A
// program that does not build falls back to the copy program and is tried (and
// reported) again each time.
TEST_F(ShaderStorageGLTest, MakeShaderCachesByNameAndCreateAndResetOwnEverything) {
    LogCapture log;
    WithStorage([](const ShaderStorage& storage) {
        const std::string body = kWhite;
        const std::string_view vertex = Xyuv();
        const char* broken = "void main() { broken }";
        std::string calls;
        const auto generator = [&](char mark, std::string_view text) -> ShaderGenerator {
            return [&calls, mark, text = std::string(text)] {
                calls += mark;
                return text;
            };
        };
        using IdText = ShaderSources<VShader::Id, std::string_view>;
        const IdText cached{"StorageCached", VShader::Id::XYUV, body, __FILE__};
        const ShaderSources<std::string_view, ShaderGenerator> generated{
            "StorageGenerated", vertex, generator('p', body), __FILE__};
        const ShaderSources<ShaderGenerator, ShaderGenerator> both{
            "StorageBoth", generator('v', vertex), generator('p', body), __FILE__};
        const ShaderSourceKeeper<VShader::Id, ShaderGenerator> mvp("StorageMvp", VShader::Id::MVP,
                                                                   generator('m', body), __FILE__);
        const ShaderSources<std::string_view, std::string_view> texts{"StorageTexts", vertex, body,
                                                                      __FILE__};
        const auto twice = [&](const auto& source) {  // built, then found
            ShaderProgram& program = storage.MakeShader(source);
            EXPECT_TRUE(program.IsValid() && &storage.MakeShader(source) == &program)
                << source.name;
            return &program;
        };
        ShaderProgram* first = twice(cached);
        twice(generated), twice(both), twice(mvp), twice(texts);
        EXPECT_EQ(calls, "pvpm");
        EXPECT_EQ(&storage.MakeShader(IdText{"StorageCached", VShader::Id::XYUV, broken, __FILE__}),
                  first);
        ShaderProgram& copy = storage.GetShaderProgram(ShaderProgramId::Copy);
        const IdText failing{"StorageBroken", VShader::Id::XYUV, broken, __FILE__};
        EXPECT_EQ(&storage.MakeShader(failing), &copy);
        EXPECT_EQ(&storage.MakeShader(failing), &copy);
        EXPECT_THROW(storage.GetShaderProgram(static_cast<ShaderProgramId>(999)), std::logic_error);
        EXPECT_THROW(storage.Id2Shader(static_cast<VShader::Id>(7)), std::logic_error);
        glUseProgram(0);

        // A storage of its own builds every program and one framebuffer, and
        // leaves depth and culling off; Reset and destruction delete it all.
        const auto before = GlObjectCounter::Take();
        {
            ShaderStorage own;
            EXPECT_FALSE(own.IsValid());
            own.Create(RenderHub::GetInstance().GetOglVersion());
            EXPECT_TRUE(own.IsValid());
            for (const auto& [id, source] : BuiltinProgramSources) {
                const bool frame = id < 256;
                ShaderProgram& program =
                    frame ? own.UseShader(static_cast<PixelFormatShader>(id))
                          : own.GetShaderProgram(static_cast<ShaderProgramId>(id));
                EXPECT_TRUE(program.IsValid()) << id;
            }
            const auto made = [&](auto kind) { return GlObjectCounter::Live(kind) - before[kind]; };
            EXPECT_EQ(
                std::tuple(made(GlObjectCounter::Program), made(GlObjectCounter::Framebuffer)),
                std::tuple(12L, 1L));
            GLboolean depthMask = GL_TRUE;
            glGetBooleanv(GL_DEPTH_WRITEMASK, &depthMask);
            EXPECT_EQ(std::tuple(glIsEnabled(GL_DEPTH_TEST), glIsEnabled(GL_CULL_FACE), depthMask),
                      std::tuple(GL_FALSE, GL_FALSE, GL_FALSE));

            own.Reset();
            EXPECT_FALSE(own.IsValid());
            EXPECT_EQ(GlObjectCounter::Take(), before);
            own.Create(RenderHub::GetInstance().GetOglVersion());
            EXPECT_TRUE(own.GetShaderProgram(ShaderProgramId::Tile).IsValid());
            glUseProgram(0);
        }
        EXPECT_EQ(GlObjectCounter::Take(), before);
    });
    EXPECT_EQ(log.CountPrefix("Try to create shader program 'StorageBroken'\n"), 2) << log.Dump();
    EXPECT_EQ(log.CountPrefix("Try to create shader program"), 2) << log.Dump();
}

}  // namespace
