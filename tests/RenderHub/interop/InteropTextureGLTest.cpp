#include <GL/glew.h>

#include "interop/InteropTexture.h"

#include <array>
#include <atomic>
#include <functional>
#include <optional>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "Kavrin/Ogl/OglThread.h"
#include "Kavrin/Proc/GpuTaskStatistic.h"

#include "GlObjectCounter.h"
#include "LogCapture.h"
#include "RenderHub.h"
#include "TestTasks.h"
#include "Texture.h"

namespace {

using Kavrin::Ogl::GLViewport;
using Kavrin::Ogl::InteropTexture;
using Kavrin::Ogl::ShaderStorage;
using Kavrin::Ogl::Details::GlObjectCounter;
using Kavrin::Test::RunOnGL;
using Kavrin::Test::WithStorage;

std::atomic<int> destroyed{0};
std::atomic<bool> destroyedOnGlThread{false};

// An RGBA8 texture owned the way interop surfaces own theirs: created by the
// subclass, deleted by its Destroy.
class PlainInteropTexture : public InteropTexture {
public:
    PlainInteropTexture(std::size_t width, std::size_t height, bool forgetToDelete = false)
        : InteropTexture(width, height), forgetToDelete(forgetToDelete) {
        glGenTextures(1, &texture);
        glBindTexture(s_target, texture);
        glTexImage2D(s_target, 0, GL_RGBA8, static_cast<GLsizei>(width),
                     static_cast<GLsizei>(height), 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
        glTexParameteri(s_target, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
        glTexParameteri(s_target, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
        glBindTexture(s_target, 0);
    }
    ~PlainInteropTexture() override {
        if (!forgetToDelete) {
            Destroy();
        }
        destroyedOnGlThread = Kavrin::Ogl::IsOpenGLThread();
        ++destroyed;
    }
    void Destroy() {
        glDeleteTextures(1, &texture);
        texture = 0;
    }
    std::vector<std::uint8_t> Read() const {
        std::vector<std::uint8_t> pixels(GetWidth() * GetHeight() * 4);
        glBindTexture(s_target, texture);
        glGetTexImage(s_target, 0, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
        glBindTexture(s_target, 0);
        return pixels;
    }

private:
    bool forgetToDelete;
};

void Clear(float red, float green, float blue) {
    glClearColor(red, green, blue, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
}

GLint Binding() {
    GLint bound = 0;
    glGetIntegerv(GL_FRAMEBUFFER_BINDING, &bound);
    return bound;
}

class InteropTextureGLTest : public ::testing::Test {
protected:
    void SetUp() override {
        destroyed = 0;
        before = GlObjectCounter::Take();
    }
    void TearDown() override {
        EXPECT_EQ(Kavrin::Test::GetGLError(), static_cast<GLenum>(GL_NO_ERROR));
        EXPECT_EQ(GlObjectCounter::Take(), before);
    }
    GlObjectCounter::Snapshot before{};
};

// Rendering goes into the texture with its own viewport or a given one, and the
// previous framebuffer binding comes back, also when drawing throws.
TEST_F(InteropTextureGLTest, RendersIntoTheTextureAndRestoresTheBinding) {
    WithStorage([](const ShaderStorage& storage) {
        boost::intrusive_ptr<PlainInteropTexture> texture(new PlainInteropTexture(4, 2));
        EXPECT_EQ(InteropTexture::s_target, static_cast<unsigned>(GL_TEXTURE_2D));
        const auto& framebuffers = Kavrin::Ogl::Details::GetFramebufferFunctions();
        framebuffers.BindFramebuffer(GL_FRAMEBUFFER, storage.FBO().GetFramebuffer());
        const GLint previous = Binding();
        ASSERT_NE(previous, 0);
        std::array<GLint, 4> viewport{};
        GLint inside = 0;
        texture->BindFrameBuffer(
            [&] {
                glGetIntegerv(GL_VIEWPORT, viewport.data());
                inside = Binding();
                Clear(1.0f, 0.0f, 1.0f);
            },
            std::nullopt);
        EXPECT_EQ(viewport, (std::array<GLint, 4>{0, 0, 4, 2}));
        EXPECT_NE(inside, previous);
        EXPECT_EQ(Binding(), previous);
        const auto pixels = texture->Read();
        EXPECT_EQ(std::vector<std::uint8_t>(pixels.begin(), pixels.begin() + 4),
                  (std::vector<std::uint8_t>{255, 0, 255, 255}));
        EXPECT_EQ(std::vector<std::uint8_t>(pixels.end() - 4, pixels.end()),
                  (std::vector<std::uint8_t>{255, 0, 255, 255}));

        texture->BindFrameBuffer([&] { glGetIntegerv(GL_VIEWPORT, viewport.data()); },
                                 GLViewport{10, 20, 100, 50});
        EXPECT_EQ(viewport, (std::array<GLint, 4>{10, 20, 100, 50}));
        EXPECT_THROW(
            texture->BindFrameBuffer([] { throw std::runtime_error("draw failed"); }, std::nullopt),
            std::runtime_error);
        EXPECT_EQ(Binding(), previous);
        EXPECT_THROW(texture->BindFrameBuffer(std::function<void()>(), std::nullopt),
                     std::bad_function_call);
        EXPECT_EQ(Binding(), previous);
        framebuffers.BindFramebuffer(GL_FRAMEBUFFER, 0);
    });
}

TEST_F(InteropTextureGLTest, CentredDrawCoversTheMiddleQuarter) {
    WithStorage([](const ShaderStorage& storage) {
        boost::intrusive_ptr<PlainInteropTexture> source(new PlainInteropTexture(2, 2));
        source->BindFrameBuffer([] { Clear(0.0f, 1.0f, 0.0f); }, std::nullopt);
        boost::intrusive_ptr<PlainInteropTexture> target(new PlainInteropTexture(8, 8));
        target->BindFrameBuffer(
            [&] {
                Clear(0.0f, 0.0f, 0.0f);
                source->Draw(storage, {0.5f, 0.5f});
            },
            std::nullopt);
        const auto pixels = target->Read();
        for (int y = 0; y < 8; ++y) {
            for (int x = 0; x < 8; ++x) {
                const bool inside = x >= 2 && x < 6 && y >= 2 && y < 6;
                EXPECT_EQ(pixels[(y * 8 + x) * 4 + 1], inside ? 255 : 0) << x << "," << y;
                EXPECT_EQ(pixels[(y * 8 + x) * 4], 0) << x << "," << y;
            }
        }
    });
}

TEST_F(InteropTextureGLTest, LastReleaseOffTheGlThreadQueuesOneDeleter) {
    auto& statistics = Kavrin::Proc::GpuTaskStatistic::GetInstance();
    const auto count = [&] {
        const auto summary = statistics.GetOglStat("InteropTextureDeleter");
        return summary ? summary->count : 0;
    };
    const auto deletersBefore = count();
    boost::intrusive_ptr<PlainInteropTexture> texture;
    RunOnGL([&] { texture.reset(new PlainInteropTexture(2, 2)); });
    texture.reset();  // here, off the GL thread
    RunOnGL([] {});   // the deleter was queued before this task
    EXPECT_EQ(destroyed, 1);
    EXPECT_TRUE(destroyedOnGlThread);
    EXPECT_EQ(count(), deletersBefore + 1);
}

TEST_F(InteropTextureGLTest, ATextureTheSubclassForgotIsReported) {
#ifdef NDEBUG
    Kavrin::Test::LogCapture log;
    GLuint leaked = 0;
    RunOnGL([&] {
        auto* texture = new PlainInteropTexture(2, 2, true);
        leaked = texture->GetTexture();
        boost::intrusive_ptr<PlainInteropTexture> reference(texture);
    });
    EXPECT_TRUE(log.Has(google::GLOG_ERROR, "The texture must be deleted in descendant class"));
    RunOnGL([&] { glDeleteTextures(1, &leaked); });
#else
    GTEST_SKIP() << "debug builds abort on a forgotten texture";
#endif
}

}  // namespace
