#include <GL/glew.h>

#include "Texture.h"

#include <glm/glm.hpp>
#include <gtest/gtest.h>

#include "Kavrin/Core/Clock.h"
#include "Kavrin/Core/Exception.h"

#include "TestTasks.h"

namespace {

using namespace Kavrin::Ogl;
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

using TextureGLTest = Kavrin::Test::CountedGLTest;

TEST_F(TextureGLTest, UploadDownloadRoundTripWithRowLengths) {
    RunOnGL([] {
        std::vector<std::uint8_t> pixels(4 * 2 * 4);
        for (std::size_t i = 0; i < pixels.size(); ++i) {
            pixels[i] = static_cast<std::uint8_t>(i * 7 + 3);
        }
        Texture texture(kRgba8, GL_REPEAT, GL_NEAREST, pixels.data());
        const GLenum parameters[] = {GL_TEXTURE_WRAP_S, GL_TEXTURE_WRAP_T, GL_TEXTURE_MIN_FILTER,
                                     GL_TEXTURE_MAG_FILTER, GL_TEXTURE_MAX_LEVEL};
        const GLint wanted[] = {GL_REPEAT, GL_REPEAT, GL_NEAREST, GL_NEAREST, 0};
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(TexParameter(texture.GetTexId(), parameters[i]), wanted[i]) << i;
        }
        Surface unused;
        std::vector<std::uint8_t> back(pixels.size());
        texture.Download(0, back.data(), unused);
        EXPECT_EQ(back, pixels);

        // Rows of 6 pixels in client memory, 4 of them used; the padding is untouched.
        std::vector<std::uint8_t> padded(6 * 2 * 4, 0xEE), paddedBack(6 * 2 * 4, 0x11);
        for (int i = 0; i < 32; ++i) {
            padded[(i / 16) * 24 + i % 16] = static_cast<std::uint8_t>(255 - pixels[i]);
        }
        texture.Update(6, padded.data());
        texture.Download(6, paddedBack.data(), unused);
        for (int i = 0; i < 48; ++i) {
            EXPECT_EQ(paddedBack[i], i % 24 < 16 ? padded[i] : 0x11) << i;
        }
        glPixelStorei(GL_PACK_ROW_LENGTH, 0);
        glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    });
}

// Format helpers, and the units Use binds on; an empty texture makes no GL object.
TEST_F(TextureGLTest, FormatHelpersAndUnits) {
    RunOnGL([] {
        const long textures = GlObjectCounter::Live(GlObjectCounter::Texture);
        { Texture empty; }
        EXPECT_EQ(GlObjectCounter::Live(GlObjectCounter::Texture), textures);

        Texture rg(Params{2, 2, GL_RG_INTEGER, GL_RG16UI, GL_UNSIGNED_SHORT}, GL_CLAMP_TO_EDGE,
                   GL_NEAREST, nullptr);
        Texture rgba(kRgba8, GL_CLAMP_TO_EDGE, GL_NEAREST, nullptr);
        EXPECT_EQ(glm::ivec2(rg.ComponentsPerPixel(), rg.BytesPerComponent()), glm::ivec2(2, 2));
        EXPECT_EQ(glm::ivec2(rgba.ComponentsPerPixel(), rgba.BytesPerComponent()),
                  glm::ivec2(4, 1));
        EXPECT_TRUE(rg.IsIntegerTexture());
        EXPECT_FALSE(rgba.IsIntegerTexture());
        Texture bgraFloat(Params{2, 2, GL_BGRA, GL_RGBA32F, GL_FLOAT}, GL_CLAMP_TO_EDGE, GL_NEAREST,
                          nullptr);
        EXPECT_THROW(bgraFloat.ComponentsPerPixel(), Kavrin::Exception);
        EXPECT_THROW(bgraFloat.BytesPerComponent(), Kavrin::Exception);

        // A negative unit binds on the active one.
        rgba.Use(3);
        GLint active = 0, bound = 0;
        glGetIntegerv(GL_ACTIVE_TEXTURE, &active);
        EXPECT_EQ(active, GL_TEXTURE3);
        glActiveTexture(GL_TEXTURE1);
        rgba.Use(-1);
        glGetIntegerv(GL_ACTIVE_TEXTURE, &active);
        glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
        EXPECT_EQ(active, GL_TEXTURE1);
        EXPECT_EQ(static_cast<GLuint>(bound), rgba.GetTexId());
        for (const GLenum unit : {GL_TEXTURE1, GL_TEXTURE3, GL_TEXTURE0}) {
            glActiveTexture(unit);
            glBindTexture(GL_TEXTURE_2D, 0);
        }
    });
}

// The viewport and colour attachment follow the texture; a depth buffer must
// be detached before another texture goes on.
TEST_F(TextureGLTest, SurfaceRefusesAttachWhileDepthIsAttached) {
    RunOnGL([] {
        Texture first(Params{8, 4, GL_RGBA, GL_RGBA8, GL_UNSIGNED_BYTE}, GL_CLAMP_TO_EDGE,
                      GL_NEAREST, nullptr);
        Texture second(Params{3, 5, GL_RGBA, GL_RGBA8, GL_UNSIGNED_BYTE}, GL_CLAMP_TO_EDGE,
                       GL_NEAREST, nullptr);
        const auto expectAttached = [](const Texture& texture, int width, int height) {
            GLint viewport[4] = {}, colour = 0;
            glGetIntegerv(GL_VIEWPORT, viewport);
            glGetFramebufferAttachmentParameteriv(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0,
                                                  GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME, &colour);
            EXPECT_EQ(glm::ivec2(viewport[2], viewport[3]), glm::ivec2(width, height));
            EXPECT_EQ(static_cast<GLuint>(colour), texture.GetTexId());
            EXPECT_EQ(glCheckFramebufferStatus(GL_FRAMEBUFFER),
                      static_cast<GLenum>(GL_FRAMEBUFFER_COMPLETE));
        };
        Surface surface;
        surface.Attach(first);
        expectAttached(first, 8, 4);
        surface.AttachDepth();
        EXPECT_TRUE(surface.IsDepthAttached());
        EXPECT_THROW(surface.Attach(second), std::logic_error);
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
        expectAttached(second, 3, 5);
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
    });
}

// Reuse takes exact params only, the most recently returned first, and resets
// wrap and filter. A texture that does not fit evicts the oldest ones until it
// fits (100 Mi pixels in four R8 textures, never written, so little memory); a
// purge removes those idle for more than 30 s, oldest first.
TEST_F(TextureGLTest, PoolReusesEvictsAndPurges) {
    std::int64_t now = 1'000'000'000;
    Kavrin::Core::SetClockSource([&now] { return now; });
    const std::shared_ptr<void> restore(nullptr,
                                        [](void*) { Kavrin::Core::SetClockSource(nullptr); });
    RunOnGL([&] {
        auto& pool = TexturePool::GetInstance();
        const Params hd{1920, 1080, GL_RGBA, GL_RGBA8, GL_UNSIGNED_BYTE};
        auto first = pool.GetTex(hd);
        auto second = pool.GetTex(hd);
        const GLuint firstName = first->GetTexId();
        const GLuint secondName = second->GetTexId();
        first->Tweak(GL_REPEAT, GL_NEAREST);
        pool.PutTex(std::move(first));
        pool.PutTex(std::move(second));
        pool.PutTex(nullptr);
        EXPECT_EQ(first, nullptr);
        EXPECT_EQ(pool.GetTotalArea(), 2u * 1920 * 1080);
        EXPECT_EQ(pool.GetCount(), 2u);
        Params srgb = hd;  // a different internal format misses
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

        std::vector<GLuint> names;
        // Four one-byte formats, so that none of them matches another.
        const std::tuple<GLint, GLenum, GLenum> formats[] = {
            {GL_R8, GL_RED, GL_UNSIGNED_BYTE},
            {GL_R8UI, GL_RED_INTEGER, GL_UNSIGNED_BYTE},
            {GL_R8I, GL_RED_INTEGER, GL_BYTE},
            {GL_R8_SNORM, GL_RED, GL_UNSIGNED_BYTE}};
        for (const auto& [internalFormat, format, type] : formats) {
            auto texture = pool.GetTex(Params{5120, 5120, format, internalFormat, type});
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

        const std::int64_t start = now;
        pool.PutTex(std::move(recent));
        now += 5'000'000'000;
        pool.PutTex(std::move(pixel));
        now = start + 30'000'000'000;
        pool.Purge();
        EXPECT_EQ(pool.GetCount(), 2u);
        now += 1;
        pool.Purge();
        EXPECT_EQ(pool.GetCount(), 1u);
        EXPECT_EQ(pool.GetTotalArea(), 1u);
        now += 5'000'000'000;
        pool.Purge();
        EXPECT_EQ(pool.GetCount(), 0u);
    });
}

}  // namespace
