#include <GL/glew.h>

#include "ShaderStorage.h"

#include <glm/glm.hpp>
#include <gtest/gtest.h>

#include "GpuEval.h"
#include "LogCapture.h"
#include "Mesh.h"
#include "RenderHub.h"
#include "ShaderProgram.h"
#include "TestTasks.h"

namespace {

using namespace Kavrin::Ogl;
using Kavrin::Ogl::Details::GlObjectCounter;
using Kavrin::Test::FloatTexture;
using Kavrin::Test::LogCapture;
using Kavrin::Test::WithStorage;

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

void Unbind() {
    glUseProgram(0);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    for (const GLenum unit : {GL_TEXTURE1, GL_TEXTURE0}) {
        glActiveTexture(unit);
        glBindTexture(GL_TEXTURE_2D, 0);
    }
}

void ExpectPixels(const std::vector<glm::vec4>& got, const std::vector<glm::vec4>& wanted,
                  float tolerance, const std::string& what) {
    ASSERT_EQ(got.size(), wanted.size()) << what;
    for (std::size_t i = 0; i < got.size(); ++i) {
        for (int c = 0; c < 4; ++c) {
            EXPECT_NEAR(got[i][c], wanted[i][c], tolerance) << what << " pixel " << i << "," << c;
        }
    }
}

// Straight-alpha texels, none with alpha 0 (unpremultiply divides by it).
const std::vector<glm::vec4> kTexels = {{0.1f, 0.2f, 0.3f, 0.4f},
                                        {0.9f, 0.5f, 0.25f, 1.0f},
                                        {1.0f, 0.0f, 0.75f, 0.5f},
                                        {0.0f, 0.6f, 0.2f, 0.8f}};

using ShaderStorageGLTest = Kavrin::Test::GLTest<>;

// The frame programs swizzle; the alpha programs follow their formulas.
TEST_F(ShaderStorageGLTest, SingleSourceProgramsFollowTheirFormulas) {
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
    WithStorage([&](const ShaderStorage& storage) {
        auto source = FloatTexture(4, 1, kTexels.data());
        for (const auto& row : rows) {
            const bool frame = row.id < 256;
            ShaderProgram& program =
                frame ? storage.UseShader(static_cast<PixelFormatShader>(row.id))
                      : storage.GetShaderProgram(static_cast<ShaderProgramId>(row.id));
            if (!frame) {
                program.Use();
                program.Uniform("tex", 0);
            }
            if (row.extAlpha >= 0) {
                program.Uniform("extAlpha", row.extAlpha);
            }
            std::vector<glm::vec4> wanted;
            for (const auto& t : kTexels) {
                wanted.push_back(row.expected(t));
            }
            ExpectPixels(Render(storage, program, 4, 1, {source.get()}), wanted,
                         frame ? 0.0f : 1e-6f, std::to_string(row.id));  // float
        }
        // The frame quad maps texture row 0 to the top: read bottom row first, rows swap.
        auto column = FloatTexture(1, 2, kTexels.data());
        ExpectPixels(
            Render(storage, storage.UseShader(PixelFormatShader::RGBA), 1, 2, {column.get()}, true),
            {kTexels[1], kTexels[0]}, 0.0f, "frame quad");
        EXPECT_THROW(storage.UseShader(static_cast<PixelFormatShader>(ShaderProgramId::Copy)),
                     std::logic_error);
        EXPECT_THROW(storage.UseShader(static_cast<PixelFormatShader>(3)), std::logic_error);
        Unbind();
    });
}

// Blend reads its destination through scale (0.5, 1) and offset (0.5, 0): all
// four output pixels see the right-hand destination texel. Mix weighs by alpha.
// Tile averages each destination pixel's box of source texels, sampled at
// texel corners i/8 (nearest filtering picks texel i).
TEST_F(ShaderStorageGLTest, BlendMixAndTileFollowTheirFormulas) {
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
    std::vector<glm::vec4> wanted;
    for (int py = 0; py < 2; ++py) {
        for (int px = 0; px < 2; ++px) {
            const double u = (px + 0.5) / 2, v = (py + 0.5) / 2;
            const int s = int(4 * u), t = int(4 * v), p = int(4 * (u + 1) - 1),
                      q = int(4 * (v + 1) - 1);
            glm::dvec4 sum(0.0);
            for (int i = s; i <= p; ++i) {
                for (int j = t; j <= q; ++j) {
                    sum += glm::dvec4(texels[static_cast<std::size_t>(
                        std::min(j, kSize - 1) * kSize + std::min(i, kSize - 1))]);
                }
            }
            wanted.push_back(glm::vec4(sum / double((p - s + 1) * (q - t + 1))));
        }
    }
    WithStorage([&](const ShaderStorage& storage) {
        auto dst = FloatTexture(2, 1, dstTexels.data());
        auto src = FloatTexture(4, 1, kTexels.data());
        auto other = FloatTexture(4, 1, others.data());
        ShaderProgram& blend = storage.GetShaderProgram(ShaderProgramId::Blend);
        blend.Use();
        blend.Uniform("texDst", 0);
        blend.Uniform("texSrc", 1);
        blend.Uniform("extAlpha", 0.75f);
        blend.Uniform("scaleoffset", glm::vec4(0.5f, 1.0f, 0.5f, 0.0f));
        ExpectPixels(Render(storage, blend, 4, 1, {dst.get(), src.get()}), blended, 1e-6f,
                     "Blend");  // float
        ShaderProgram& mix = storage.GetShaderProgram(ShaderProgramId::Mix);
        mix.Use();
        mix.Uniform("tex0", 0);
        mix.Uniform("tex1", 1);
        mix.Uniform("extAlpha", 0.25f);
        ExpectPixels(Render(storage, mix, 4, 1, {src.get(), other.get()}), mixed, 1e-6f,
                     "Mix");  // float
        auto source = FloatTexture(kSize, kSize, texels.data());
        ShaderProgram& tile = storage.GetShaderProgram(ShaderProgramId::Tile);
        tile.Use();
        tile.Uniform("tex0", 0);
        tile.Uniform("amount", glm::vec2(1.0f, 1.0f));
        tile.Uniform("rFrameSize", glm::vec2(1.0f / kSize, 1.0f / kSize));
        tile.Uniform("tile_av_size", glm::vec2(4.0f, 4.0f));
        ExpectPixels(Render(storage, tile, 2, 2, {source.get()}), wanted, 1e-6f, "Tile");  // float
        Unbind();
    });
}

// Every kind of source is built once, generators called once each (vertex
// first), then found by name: a second source under a name is never built. A
// program that does not build falls back to the copy program and is tried (and
// reported) again each time.
TEST_F(ShaderStorageGLTest, MakeShaderCachesByNameAndFallsBackToCopy) {
    LogCapture log;
    WithStorage([](const ShaderStorage& storage) {
        const std::string body =
            "varying vec2 TexCoord0;\n\nvoid main()\n{\n    gl_FragColor = vec4(TexCoord0, 0., "
            "1.);\n}\n";
        const std::string_view vertex = BuiltinVertexSources.at(VShader::Id::XYUV);
        const char* broken = "void main()\n{\n    broken\n}\n";
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
        const std::function<ShaderProgram&()> kinds[] = {
            [&]() -> ShaderProgram& { return storage.MakeShader(cached); },
            [&]() -> ShaderProgram& { return storage.MakeShader(generated); },
            [&]() -> ShaderProgram& { return storage.MakeShader(both); },
            [&]() -> ShaderProgram& { return storage.MakeShader(mvp); },
            [&]() -> ShaderProgram& { return storage.MakeShader(texts); },
        };
        for (const auto& make : kinds) {
            ShaderProgram& program = make();
            EXPECT_TRUE(program.IsValid());
            EXPECT_EQ(&make(), &program);
        }
        EXPECT_EQ(calls, "pvpm");
        EXPECT_EQ(&storage.MakeShader(IdText{"StorageCached", VShader::Id::XYUV, broken, __FILE__}),
                  &kinds[0]());
        ShaderProgram& copy = storage.GetShaderProgram(ShaderProgramId::Copy);
        const IdText failing{"StorageBroken", VShader::Id::XYUV, broken, __FILE__};
        EXPECT_EQ(&storage.MakeShader(failing), &copy);
        EXPECT_EQ(&storage.MakeShader(failing), &copy);
        EXPECT_THROW(storage.GetShaderProgram(static_cast<ShaderProgramId>(999)), std::logic_error);
        EXPECT_THROW(storage.Id2Shader(static_cast<VShader::Id>(7)), std::logic_error);
        glUseProgram(0);
    });
    EXPECT_EQ(log.CountPrefix("Try to create shader program 'StorageBroken'\n"), 2) << log.Dump();
    EXPECT_EQ(log.CountPrefix("Try to create shader program"), 2) << log.Dump();
}

TEST_F(ShaderStorageGLTest, CreateBuildsEverythingAndResetLeavesNothing) {
    WithStorage([](const ShaderStorage&) {
        const auto before = GlObjectCounter::Take();
        {
            ShaderStorage storage;
            EXPECT_FALSE(storage.IsValid());
            storage.Create(RenderHub::GetInstance().GetOglVersion());
            EXPECT_TRUE(storage.IsValid());
            for (const auto& [id, source] : BuiltinProgramSources) {
                const bool frame = id < 256;
                ShaderProgram& program =
                    frame ? storage.UseShader(static_cast<PixelFormatShader>(id))
                          : storage.GetShaderProgram(static_cast<ShaderProgramId>(id));
                EXPECT_TRUE(program.IsValid()) << id;
            }
            EXPECT_EQ(
                GlObjectCounter::Live(GlObjectCounter::Program) - before[GlObjectCounter::Program],
                12);
            EXPECT_EQ(GlObjectCounter::Live(GlObjectCounter::Framebuffer) -
                          before[GlObjectCounter::Framebuffer],
                      1);
            EXPECT_FALSE(glIsEnabled(GL_DEPTH_TEST));
            EXPECT_FALSE(glIsEnabled(GL_CULL_FACE));
            GLboolean depthMask = GL_TRUE;
            glGetBooleanv(GL_DEPTH_WRITEMASK, &depthMask);
            EXPECT_EQ(depthMask, GL_FALSE);

            storage.Reset();
            EXPECT_FALSE(storage.IsValid());
            EXPECT_EQ(GlObjectCounter::Take(), before);
            storage.Create(RenderHub::GetInstance().GetOglVersion());
            EXPECT_TRUE(storage.GetShaderProgram(ShaderProgramId::Tile).IsValid());
            glUseProgram(0);
        }
        EXPECT_EQ(GlObjectCounter::Take(), before);
    });
}

}  // namespace
