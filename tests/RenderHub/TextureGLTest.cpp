#include <GL/glew.h>

#include "Texture.h"

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "Kavrin/Core/Clock.h"
#include "Kavrin/Core/Exception.h"

#include "GlObjectCounter.h"
#include "TestTasks.h"

namespace {

using Kavrin::Ogl::Surface;
using Kavrin::Ogl::Texture;
using Kavrin::Ogl::TexturePool;
using Kavrin::Ogl::Details::GlObjectCounter;
using Kavrin::Test::RunOnGL;
using Params = Texture::Params;

const Params kRgba8{4, 2, GL_RGBA, GL_RGBA8, GL_UNSIGNED_BYTE};

GLint TexParameter(GLuint name, GLenum parameter) {
    GLint value = 0;
    glBindTexture(GL_TEXTURE_2D, name);
    glGetTexParameteriv(GL_TEXTURE_2D, parameter, &value);
    return value;
}

// Every case leaves no GL error, an empty pool and no live GL object behind.
class TextureGLTest : public ::testing::Test {
protected:
    void SetUp() override {
        RunOnGL([] { TexturePool::GetInstance().Clear(); });
        before = GlObjectCounter::Take();
    }
    void TearDown() override {
        Kavrin::Core::SetClockSource(nullptr);
        RunOnGL([] { TexturePool::GetInstance().Clear(); });
        EXPECT_EQ(Kavrin::Test::GetGLError(), static_cast<GLenum>(GL_NO_ERROR));
        EXPECT_EQ(GlObjectCounter::Take(), before);
    }
    GlObjectCounter::Snapshot before{};
};

TEST(TextureTest, OwnersAreNeitherCopyableNorAssignable) {
    static_assert(!std::is_copy_constructible_v<Texture>);
    static_assert(!std::is_copy_constructible_v<Surface>);
    static_assert(!std::is_copy_assignable_v<Texture>);
    EXPECT_EQ(Params{}, (Params{0, 0, GL_RGB, GL_RGB8, GL_UNSIGNED_BYTE}));
    Params other = kRgba8;
    other.internalFormat = GL_SRGB8_ALPHA8;
    EXPECT_NE(other, kRgba8);
}

TEST_F(TextureGLTest, EmptyTextureMakesNoGLObject) {
    RunOnGL([] {
        const long textures = GlObjectCounter::Live(GlObjectCounter::Texture);
        { Texture empty; }
        EXPECT_EQ(GlObjectCounter::Live(GlObjectCounter::Texture), textures);
    });
}

TEST_F(TextureGLTest, UploadDownloadRoundTripWithRowLengths) {
    RunOnGL([] {
        const std::vector<std::uint8_t> pixels = [] {
            std::vector<std::uint8_t> data(4 * 2 * 4);
            for (std::size_t i = 0; i < data.size(); ++i) {
                data[i] = static_cast<std::uint8_t>(i * 7 + 3);
            }
            return data;
        }();
        Texture texture(kRgba8, GL_REPEAT, GL_NEAREST, pixels.data());
        EXPECT_EQ(TexParameter(texture.GetTexId(), GL_TEXTURE_WRAP_S), GL_REPEAT);
        EXPECT_EQ(TexParameter(texture.GetTexId(), GL_TEXTURE_WRAP_T), GL_REPEAT);
        EXPECT_EQ(TexParameter(texture.GetTexId(), GL_TEXTURE_MIN_FILTER), GL_NEAREST);
        EXPECT_EQ(TexParameter(texture.GetTexId(), GL_TEXTURE_MAG_FILTER), GL_NEAREST);
        EXPECT_EQ(TexParameter(texture.GetTexId(), GL_TEXTURE_MAX_LEVEL), 0);

        Surface unused;
        std::vector<std::uint8_t> back(pixels.size());
        texture.Download(0, back.data(), unused);
        EXPECT_EQ(back, pixels);

        // Rows of 6 pixels in client memory, 4 of them used.
        std::vector<std::uint8_t> padded(6 * 2 * 4, 0xEE);
        for (int row = 0; row < 2; ++row) {
            for (int byte = 0; byte < 16; ++byte) {
                padded[row * 24 + byte] = static_cast<std::uint8_t>(255 - pixels[row * 16 + byte]);
            }
        }
        texture.Update(6, padded.data());
        std::vector<std::uint8_t> paddedBack(6 * 2 * 4, 0x11);
        texture.Download(6, paddedBack.data(), unused);
        for (int row = 0; row < 2; ++row) {
            for (int byte = 0; byte < 16; ++byte) {
                EXPECT_EQ(paddedBack[row * 24 + byte], 255 - pixels[row * 16 + byte]);
            }
            EXPECT_EQ(paddedBack[row * 24 + 16], 0x11);  // padding untouched
        }
        glPixelStorei(GL_PACK_ROW_LENGTH, 0);
        glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    });
}

TEST_F(TextureGLTest, FormatHelpers) {
    RunOnGL([] {
        Texture rg(Params{2, 2, GL_RG_INTEGER, GL_RG16UI, GL_UNSIGNED_SHORT}, GL_CLAMP_TO_EDGE,
                   GL_NEAREST, nullptr);
        EXPECT_EQ(rg.ComponentsPerPixel(), 2);
        EXPECT_EQ(rg.BytesPerComponent(), 2);
        EXPECT_TRUE(rg.IsIntegerTexture());

        Texture rgba(kRgba8, GL_CLAMP_TO_EDGE, GL_NEAREST, nullptr);
        EXPECT_EQ(rgba.ComponentsPerPixel(), 4);
        EXPECT_EQ(rgba.BytesPerComponent(), 1);
        EXPECT_FALSE(rgba.IsIntegerTexture());

        Texture bgraFloat(Params{2, 2, GL_BGRA, GL_RGBA32F, GL_FLOAT}, GL_CLAMP_TO_EDGE, GL_NEAREST,
                          nullptr);
        try {
            bgraFloat.ComponentsPerPixel();
            ADD_FAILURE() << "GL_BGRA accepted";
        } catch (const Kavrin::Exception& error) {
            EXPECT_EQ(error.GetDescription(), "Unsupported channels type in texture: 32993");
        }
        try {
            bgraFloat.BytesPerComponent();
            ADD_FAILURE() << "GL_FLOAT accepted";
        } catch (const Kavrin::Exception& error) {
            EXPECT_EQ(error.GetDescription(), "Unsupported data format in texture: 5126");
        }
    });
}

TEST_F(TextureGLTest, UseWithNegativeUnitKeepsTheActiveUnit) {
    RunOnGL([] {
        Texture texture(kRgba8, GL_CLAMP_TO_EDGE, GL_NEAREST, nullptr);
        texture.Use(3);
        GLint active = 0;
        glGetIntegerv(GL_ACTIVE_TEXTURE, &active);
        EXPECT_EQ(active, GL_TEXTURE3);
        glActiveTexture(GL_TEXTURE1);
        texture.Use(-1);
        glGetIntegerv(GL_ACTIVE_TEXTURE, &active);
        EXPECT_EQ(active, GL_TEXTURE1);
        GLint bound = 0;
        glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
        EXPECT_EQ(static_cast<GLuint>(bound), texture.GetTexId());
        glBindTexture(GL_TEXTURE_2D, 0);
        glActiveTexture(GL_TEXTURE3);
        glBindTexture(GL_TEXTURE_2D, 0);
        glActiveTexture(GL_TEXTURE0);
    });
}

TEST_F(TextureGLTest, SurfaceRefusesAttachWhileDepthIsAttached) {
    RunOnGL([] {
        const auto& fbo = Kavrin::Ogl::Details::GetFramebufferFunctions();
        ASSERT_NE(fbo.GenFramebuffers, nullptr);
        ASSERT_NE(fbo.CheckFramebufferStatus, nullptr);
        Texture first(Params{8, 4, GL_RGBA, GL_RGBA8, GL_UNSIGNED_BYTE}, GL_CLAMP_TO_EDGE,
                      GL_NEAREST, nullptr);
        Texture second(Params{3, 5, GL_RGBA, GL_RGBA8, GL_UNSIGNED_BYTE}, GL_CLAMP_TO_EDGE,
                       GL_NEAREST, nullptr);
        Surface surface;
        surface.Attach(first);
        GLint viewport[4] = {};
        glGetIntegerv(GL_VIEWPORT, viewport);
        EXPECT_EQ(viewport[2], 8);
        EXPECT_EQ(viewport[3], 4);
        EXPECT_EQ(fbo.CheckFramebufferStatus(GL_FRAMEBUFFER),
                  static_cast<GLenum>(GL_FRAMEBUFFER_COMPLETE));

        surface.AttachDepth();
        EXPECT_TRUE(surface.IsDepthAttached());
        try {
            surface.Attach(second);
            ADD_FAILURE() << "attached over a depth buffer";
        } catch (const std::logic_error& error) {
            EXPECT_STREQ(error.what(), "You forgot to detach renderbuffer");
        }
        GLint depthType = 0;
        glGetFramebufferAttachmentParameteriv(GL_FRAMEBUFFER, GL_DEPTH_ATTACHMENT,
                                              GL_FRAMEBUFFER_ATTACHMENT_OBJECT_TYPE, &depthType);
        EXPECT_EQ(depthType, GL_RENDERBUFFER);
        GLint colour = 0;
        glGetFramebufferAttachmentParameteriv(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0,
                                              GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME, &colour);
        EXPECT_EQ(static_cast<GLuint>(colour), first.GetTexId());

        surface.DetachDepth();
        EXPECT_FALSE(glIsEnabled(GL_DEPTH_TEST));
        surface.Attach(second);
        glGetIntegerv(GL_VIEWPORT, viewport);
        EXPECT_EQ(viewport[2], 3);
        EXPECT_EQ(viewport[3], 5);
        glGetFramebufferAttachmentParameteriv(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0,
                                              GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME, &colour);
        EXPECT_EQ(static_cast<GLuint>(colour), second.GetTexId());
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
    });
}

TEST_F(TextureGLTest, PoolReusesExactParamsMostRecentFirst) {
    RunOnGL([] {
        auto& pool = TexturePool::GetInstance();
        const Params hd{1920, 1080, GL_RGBA, GL_RGBA8, GL_UNSIGNED_BYTE};
        auto first = pool.GetTex(hd);
        auto second = pool.GetTex(hd);
        const GLuint firstName = first->GetTexId();
        const GLuint secondName = second->GetTexId();
        first->Tweak(GL_REPEAT, GL_NEAREST);
        pool.PutTex(std::move(first));
        pool.PutTex(std::move(second));
        EXPECT_EQ(first, nullptr);
        EXPECT_EQ(pool.GetTotalArea(), 2u * 1920 * 1080);
        EXPECT_EQ(pool.GetCount(), 2u);

        // A different internal format misses.
        Params srgb = hd;
        srgb.internalFormat = GL_SRGB8_ALPHA8;
        auto other = pool.GetTex(srgb);
        EXPECT_NE(other->GetTexId(), firstName);
        EXPECT_NE(other->GetTexId(), secondName);
        EXPECT_EQ(pool.GetCount(), 2u);

        auto recent = pool.GetTex(hd);
        EXPECT_EQ(recent->GetTexId(), secondName);
        auto older = pool.GetTex(hd);
        EXPECT_EQ(older->GetTexId(), firstName);
        EXPECT_EQ(TexParameter(older->GetTexId(), GL_TEXTURE_WRAP_S), GL_CLAMP_TO_EDGE);
        EXPECT_EQ(TexParameter(older->GetTexId(), GL_TEXTURE_MIN_FILTER), GL_LINEAR);
        EXPECT_EQ(pool.GetTotalArea(), 0u);
        EXPECT_EQ(pool.GetCount(), 0u);

        pool.PutTex(nullptr);
        EXPECT_EQ(pool.GetCount(), 0u);
    });
}

// 100 Mi pixels in four R8 textures; storage is never written, so little memory.
TEST_F(TextureGLTest, PoolEvictsOldestWithinTheAreaBudget) {
    RunOnGL([] {
        auto& pool = TexturePool::GetInstance();
        const Params quarter{5120, 5120, GL_RED, GL_R8, GL_UNSIGNED_BYTE};
        std::vector<GLuint> names;
        // Four one-byte formats, so that none of them matches another.
        const std::pair<GLint, GLenum> formats[] = {{GL_R8, GL_RED},
                                                    {GL_R8UI, GL_RED_INTEGER},
                                                    {GL_R8I, GL_RED_INTEGER},
                                                    {GL_R8_SNORM, GL_RED}};
        for (const auto& [internalFormat, format] : formats) {
            Params params = quarter;
            params.internalFormat = internalFormat;
            params.format = format;
            if (format == GL_RED_INTEGER) {
                params.type = internalFormat == GL_R8I ? GL_BYTE : GL_UNSIGNED_BYTE;
            }
            auto texture = pool.GetTex(params);
            names.push_back(texture->GetTexId());
            pool.PutTex(std::move(texture));
        }
        ASSERT_EQ(pool.GetTotalArea(), TexturePool::AreaLimit);

        auto pixel = pool.GetTex(Params{1, 1, GL_RGBA, GL_RGBA32F, GL_FLOAT});
        EXPECT_EQ(pool.GetCount(), 3u);
        EXPECT_EQ(pool.GetTotalArea(), TexturePool::AreaLimit - 5120u * 5120u);
        EXPECT_FALSE(glIsTexture(names[0]));
        EXPECT_TRUE(glIsTexture(names[1]));

        auto huge = pool.GetTex(Params{10241, 10240, GL_RED, GL_R8, GL_UNSIGNED_BYTE});
        EXPECT_NE(huge, nullptr);
        EXPECT_EQ(pool.GetCount(), 0u);
        EXPECT_EQ(pool.GetTotalArea(), 0u);
        EXPECT_EQ(huge->GetTexParams().width, 10241);
    });
}

TEST_F(TextureGLTest, PurgeKeepsThirtySecondsAndRemovesAnyLater) {
    std::int64_t now = 1'000'000'000;
    Kavrin::Core::SetClockSource([&now] { return now; });
    RunOnGL([&] {
        auto& pool = TexturePool::GetInstance();
        auto older = pool.GetTex(kRgba8);
        Params otherParams = kRgba8;
        otherParams.width = 8;
        auto younger = pool.GetTex(otherParams);
        pool.PutTex(std::move(older));
        now += 5'000'000'000;
        pool.PutTex(std::move(younger));

        now = 1'000'000'000 + 30'000'000'000;
        pool.Purge();
        EXPECT_EQ(pool.GetCount(), 2u);
        now += 1;
        pool.Purge();
        EXPECT_EQ(pool.GetCount(), 1u);
        EXPECT_EQ(pool.GetTotalArea(), 8u * 2u);
        now += 5'000'000'000;
        pool.Purge();
        EXPECT_EQ(pool.GetCount(), 0u);
    });
}

}  // namespace
