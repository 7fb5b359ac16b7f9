#include <GL/glew.h>

#include "ShaderStorage.h"

#include <cmath>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <glm/glm.hpp>
#include <gtest/gtest.h>

#include "GlObjectCounter.h"
#include "LogCapture.h"
#include "Mesh.h"
#include "RenderHub.h"
#include "ShaderProgram.h"
#include "TestTasks.h"
#include "Texture.h"

namespace {

using namespace Kavrin::Ogl;
using Kavrin::Ogl::Details::GlObjectCounter;
using Kavrin::Test::LogCapture;
using Params = Texture::Params;

using Kavrin::Test::WithStorage;

std::unique_ptr<Texture> FloatTexture(int width, int height, const std::vector<glm::vec4>& texels) {
    return std::make_unique<Texture>(Params{width, height, GL_RGBA, GL_RGBA32F, GL_FLOAT},
                                     GL_CLAMP_TO_EDGE, GL_NEAREST,
                                     texels.empty() ? nullptr : texels.data());
}

using Inputs = std::vector<std::pair<const Texture*, int>>;

// Draws the storage's quad with `program` (bound by the caller) into a float
// target of the given size and reads it back, bottom row first. Inputs are bound
// after the target exists, since allocating it rebinds the active unit.
std::vector<glm::vec4> Render(const ShaderStorage& storage, ShaderProgram& program, int width,
                              int height, const Inputs& inputs) {
    auto target = FloatTexture(width, height, {});
    for (const auto& [texture, unit] : inputs) {
        texture->Use(unit);
    }
    glActiveTexture(GL_TEXTURE0);
    storage.FBO().Attach(*target);
    storage.Quad().Activate();
    storage.Quad().Draw(program);
    std::vector<glm::vec4> pixels(static_cast<std::size_t>(width * height));
    glReadPixels(0, 0, width, height, GL_RGBA, GL_FLOAT, pixels.data());
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glUseProgram(0);
    return pixels;
}

void ExpectPixels(const std::vector<glm::vec4>& got, const std::vector<glm::vec4>& wanted,
                  float tolerance, const std::string& what) {
    ASSERT_EQ(got.size(), wanted.size()) << what;
    for (std::size_t i = 0; i < got.size(); ++i) {
        for (int c = 0; c < 4; ++c) {
            EXPECT_NEAR(got[i][c], wanted[i][c], tolerance)
                << what << " pixel " << i << " channel " << c;
        }
    }
}

// Straight-alpha texels, none with alpha 0 (unpremultiply divides by it).
const std::vector<glm::vec4> kTexels = {{0.1f, 0.2f, 0.3f, 0.4f},
                                        {0.9f, 0.5f, 0.25f, 1.0f},
                                        {1.0f, 0.0f, 0.75f, 0.5f},
                                        {0.0f, 0.6f, 0.2f, 0.8f}};

class ShaderStorageGLTest : public ::testing::Test {
protected:
    void TearDown() override {
        EXPECT_EQ(Kavrin::Test::GetGLError(), static_cast<GLenum>(GL_NO_ERROR));
    }
};

TEST_F(ShaderStorageGLTest, FrameProgramsSwizzle) {
    WithStorage([](const ShaderStorage& storage) {
        auto source = FloatTexture(4, 1, kTexels);
        source->Use(0);
        std::vector<glm::vec4> argb, abgr;
        for (const auto& t : kTexels) {
            argb.push_back({t.g, t.b, t.a, t.r});
            abgr.push_back({t.a, t.b, t.g, t.r});
        }
        const Inputs inputs = {{source.get(), 0}};
        ExpectPixels(Render(storage, storage.UseShader(PixelFormatShader::RGBA), 4, 1, inputs),
                     kTexels, 0.0f, "RGBA");
        ExpectPixels(Render(storage, storage.UseShader(PixelFormatShader::ARGB), 4, 1, inputs),
                     argb, 0.0f, "ARGB");
        ExpectPixels(Render(storage, storage.UseShader(PixelFormatShader::ABGR), 4, 1, inputs),
                     abgr, 0.0f, "ABGR");
        try {
            storage.UseShader(static_cast<PixelFormatShader>(ShaderProgramId::Copy));
            ADD_FAILURE() << "the copy program drew frames";
        } catch (const std::logic_error& error) {
            EXPECT_STREQ(error.what(), "Undefined shader of frame rendering");
        }
        EXPECT_THROW(storage.UseShader(static_cast<PixelFormatShader>(3)), std::logic_error);
        glBindTexture(GL_TEXTURE_2D, 0);
    });
}

struct AlphaRow {
    const char* name;
    ShaderProgramId id;
    float extAlpha;
    std::function<glm::vec4(const glm::vec4&)> expected;
};

class ShaderStorageAlphaGLTest : public ::testing::TestWithParam<AlphaRow> {};

TEST_P(ShaderStorageAlphaGLTest, OutputFollowsTheFormula) {
    const AlphaRow& row = GetParam();
    WithStorage([&](const ShaderStorage& storage) {
        auto source = FloatTexture(4, 1, kTexels);
        source->Use(0);
        ShaderProgram& program = storage.GetShaderProgram(row.id);
        program.Use();
        program.Uniform("tex", 0);
        if (row.extAlpha >= 0) {
            program.Uniform("extAlpha", row.extAlpha);
        }
        std::vector<glm::vec4> wanted;
        for (const auto& t : kTexels) {
            wanted.push_back(row.expected(t));
        }
        ExpectPixels(Render(storage, program, 4, 1, {{source.get(), 0}}), wanted, 1e-6f,
                     row.name);  // float
        glBindTexture(GL_TEXTURE_2D, 0);
    });
    EXPECT_EQ(Kavrin::Test::GetGLError(), static_cast<GLenum>(GL_NO_ERROR));
}

INSTANTIATE_TEST_SUITE_P(
    Builtins, ShaderStorageAlphaGLTest,
    ::testing::Values(
        AlphaRow{"PremultiplyAlphaLib", ShaderProgramId::PremultiplyAlphaLib, -1,
                 [](const glm::vec4& c) { return glm::vec4(glm::vec3(c) * c.a, 1.0f); }},
        AlphaRow{"PremultiplyAlpha", ShaderProgramId::PremultiplyAlpha, -1,
                 [](const glm::vec4& c) { return glm::vec4(glm::vec3(c) * c.a, c.a); }},
        AlphaRow{"UnpremultiplyAlpha", ShaderProgramId::UnpremultiplyAlpha, -1,
                 [](const glm::vec4& c) { return glm::vec4(glm::vec3(c) / c.a, c.a); }},
        AlphaRow{"MultiplyAlpha", ShaderProgramId::MultiplyAlpha, 0.5f,
                 [](const glm::vec4& c) { return glm::vec4(glm::vec3(c), c.a * 0.5f); }},
        AlphaRow{"ReplaceAlpha", ShaderProgramId::ReplaceAlpha, 0.25f,
                 [](const glm::vec4& c) { return glm::vec4(glm::vec3(c), 0.25f); }},
        AlphaRow{"Copy", ShaderProgramId::Copy, -1, [](const glm::vec4& c) { return c; }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ShaderStorageGLTest, BlendWithScaleOffsetAndMix) {
    WithStorage([](const ShaderStorage& storage) {
        // Destination 2x1 sampled through scale (0.5, 1) and offset (0.5, 0): all
        // four output pixels read the right-hand destination texel.
        const std::vector<glm::vec4> dstTexels = {{1, 0, 0, 1}, {0.2f, 0.4f, 0.6f, 0.5f}};
        auto dst = FloatTexture(2, 1, dstTexels);
        auto src = FloatTexture(4, 1, kTexels);
        ShaderProgram& blend = storage.GetShaderProgram(ShaderProgramId::Blend);
        blend.Use();
        dst->Use(0);
        src->Use(1);
        blend.Uniform("texDst", 0);
        blend.Uniform("texSrc", 1);
        blend.Uniform("extAlpha", 0.75f);
        blend.Uniform("scaleoffset", glm::vec4(0.5f, 1.0f, 0.5f, 0.0f));
        std::vector<glm::vec4> wanted;
        for (const auto& s : kTexels) {
            const glm::vec4 d = dstTexels[1];
            const double k = s.a * 0.75;
            const double a = k + d.a * (1 - k);
            wanted.push_back(
                glm::vec4((glm::dvec3(s) * k + glm::dvec3(d) * double(d.a) * (1 - k)) / a, a));
        }
        ExpectPixels(Render(storage, blend, 4, 1, {{dst.get(), 0}, {src.get(), 1}}), wanted, 1e-6f,
                     "Blend");  // float

        ShaderProgram& mix = storage.GetShaderProgram(ShaderProgramId::Mix);
        mix.Use();
        auto other =
            FloatTexture(4, 1, {{0, 0, 1, 1}, {1, 1, 1, 0.5f}, {0, 1, 0, 1}, {1, 0, 0, 0.2f}});
        src->Use(0);
        other->Use(1);
        mix.Uniform("tex0", 0);
        mix.Uniform("tex1", 1);
        mix.Uniform("extAlpha", 0.25f);
        const std::vector<glm::vec4> others = {
            {0, 0, 1, 1}, {1, 1, 1, 0.5f}, {0, 1, 0, 1}, {1, 0, 0, 0.2f}};
        wanted.clear();
        for (std::size_t i = 0; i < 4; ++i) {
            const glm::dvec4 c0 = kTexels[i], c1 = others[i];
            const double a = c0.a + (c1.a - c0.a) * 0.25;
            const glm::dvec3 rgb =
                (glm::dvec3(c0) * c0.a + (glm::dvec3(c1) * c1.a - glm::dvec3(c0) * c0.a) * 0.25) /
                a;
            wanted.push_back(glm::vec4(rgb, a));
        }
        ExpectPixels(Render(storage, mix, 4, 1, {{src.get(), 0}, {other.get(), 1}}), wanted, 1e-6f,
                     "Mix");  // float
        glActiveTexture(GL_TEXTURE1);
        glBindTexture(GL_TEXTURE_2D, 0);
        glActiveTexture(GL_TEXTURE0);
        glBindTexture(GL_TEXTURE_2D, 0);
    });
}

TEST_F(ShaderStorageGLTest, TileAveragesTheFootprint) {
    WithStorage([](const ShaderStorage& storage) {
        constexpr int kSize = 8;
        std::vector<glm::vec4> texels;
        for (int y = 0; y < kSize; ++y) {
            for (int x = 0; x < kSize; ++x) {
                texels.push_back({x / 8.0f, y / 8.0f, (x * y) / 64.0f, 1.0f});
            }
        }
        auto source = FloatTexture(kSize, kSize, texels);
        source->Use(0);
        ShaderProgram& tile = storage.GetShaderProgram(ShaderProgramId::Tile);
        tile.Use();
        tile.Uniform("tex0", 0);
        tile.Uniform("amount", glm::vec2(1.0f, 1.0f));
        tile.Uniform("rFrameSize", glm::vec2(1.0f / kSize, 1.0f / kSize));
        tile.Uniform("tile_av_size", glm::vec2(4.0f, 4.0f));
        const auto got = Render(storage, tile, 2, 2, {{source.get(), 0}});
        // The box of each destination pixel in source texels, sampled at texel
        // corners i/8 (nearest filtering picks texel i).
        for (int py = 0; py < 2; ++py) {
            for (int px = 0; px < 2; ++px) {
                const double u = (px + 0.5) / 2, v = (py + 0.5) / 2;
                const int s = static_cast<int>(4 * u), t = static_cast<int>(4 * v);
                const int p = static_cast<int>(4 * (u + 1) - 1),
                          q = static_cast<int>(4 * (v + 1) - 1);
                glm::dvec4 sum(0.0);
                for (int i = s; i <= p; ++i) {
                    for (int j = t; j <= q; ++j) {
                        sum += glm::dvec4(texels[static_cast<std::size_t>(
                            std::min(j, kSize - 1) * kSize + std::min(i, kSize - 1))]);
                    }
                }
                const glm::dvec4 wanted = sum / double((p - s + 1) * (q - t + 1));
                for (int c = 0; c < 4; ++c) {
                    EXPECT_NEAR(got[py * 2 + px][c], wanted[c], 1e-6)
                        << "pixel " << px << "," << py;  // float
                }
            }
        }
        glBindTexture(GL_TEXTURE_2D, 0);
    });
}

TEST_F(ShaderStorageGLTest, MakeShaderCachesByNameAndFallsBackToCopy) {
    LogCapture log;
    WithStorage([](const ShaderStorage& storage) {
        const char* body =
            "varying vec2 TexCoord0;\n\nvoid main()\n{\n    gl_FragColor = vec4(TexCoord0, 0., "
            "1.);\n}\n";
        ShaderSources<VShader::Id, std::string_view> first{"StorageCached", VShader::Id::XYUV, body,
                                                           __FILE__};
        ShaderProgram& program = storage.MakeShader(first);
        EXPECT_TRUE(program.IsValid());
        ShaderSources<VShader::Id, std::string_view> other{
            "StorageCached", VShader::Id::XYUV, "void main()\n{\n    broken\n}\n", __FILE__};
        EXPECT_EQ(&storage.MakeShader(other), &program);

        int generated = 0;
        ShaderSources<std::string_view, ShaderGenerator> generator{
            "StorageGenerated", BuiltinVertexSources.at(VShader::Id::XYUV),
            [&] {
                ++generated;
                return std::string(body);
            },
            __FILE__};
        ShaderProgram& fromGenerator = storage.MakeShader(generator);
        storage.MakeShader(generator);
        EXPECT_EQ(generated, 1);
        EXPECT_TRUE(fromGenerator.IsValid());

        int vertexCalls = 0, pixelCalls = 0;
        std::string order;
        ShaderSources<ShaderGenerator, ShaderGenerator> both{
            "StorageBothGenerated",
            [&] {
                ++vertexCalls;
                order += "v";
                return std::string(BuiltinVertexSources.at(VShader::Id::XYUV));
            },
            [&] {
                ++pixelCalls;
                order += "p";
                return std::string(body);
            },
            __FILE__};
        EXPECT_TRUE(storage.MakeShader(both).IsValid());
        storage.MakeShader(both);
        EXPECT_EQ(order, "vp");

        ShaderSourceKeeper<VShader::Id, ShaderGenerator> mvp(
            "StorageMvp", VShader::Id::MVP, [&] { return std::string(body); }, __FILE__);
        EXPECT_TRUE(storage.MakeShader(mvp).IsValid());
        ShaderSources<std::string_view, std::string_view> texts{
            "StorageTexts", BuiltinVertexSources.at(VShader::Id::XYUV), body, __FILE__};
        EXPECT_TRUE(storage.MakeShader(texts).IsValid());

        ShaderProgram& copy = storage.GetShaderProgram(ShaderProgramId::Copy);
        ShaderSources<VShader::Id, std::string_view> broken{
            "StorageBroken", VShader::Id::XYUV, "void main()\n{\n    broken\n}\n", __FILE__};
        EXPECT_EQ(&storage.MakeShader(broken), &copy);
        EXPECT_EQ(&storage.MakeShader(broken), &copy);
        EXPECT_EQ(copy.GetProgramName(), "263");
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
                EXPECT_EQ(program.GetProgramName(), std::to_string(id));
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

            // The frame quad maps texture row 0 to the top.
            const auto& frameQuad = dynamic_cast<const Quad&>(storage.FrameQuad());
            std::vector<float> vertices(16);
            frameQuad.GetCoordBuffer().Bind();
            glGetBufferSubData(GL_ARRAY_BUFFER, 0, 64, vertices.data());
            EXPECT_EQ(vertices,
                      (std::vector<float>{0, 0, -1, 1, 1, 0, 1, 1, 1, 1, 1, -1, 0, 1, -1, -1}));
            glBindBuffer(GL_ARRAY_BUFFER, 0);

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
