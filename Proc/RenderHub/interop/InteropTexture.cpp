#include <GL/glew.h>

#include "interop/InteropTexture.h"

#include <cstdlib>
#include <exception>

#include <glog/logging.h>

#include "Kavrin/Core/Exception.h"
#include "Kavrin/Ogl/OglThread.h"

#include "GlObjectCounter.h"
#include "IOglTask.h"
#include "Mesh.h"
#include "PackedMesh.h"
#include "RenderHub.h"
#include "ShaderProgram.h"
#include "ShaderStorage.h"
#include "Texture.h"

namespace Kavrin::Ogl {
namespace {

// Destroys an interop texture on the GL thread for a last reference dropped
// elsewhere.
class InteropTextureDeleter : public IOglTask {
public:
    explicit InteropTextureDeleter(const InteropTexture* texture)
        : IOglTask(OglCapability::Minimal, "InteropTextureDeleter"), texture(texture) {}
    ~InteropTextureDeleter() override {
        if (texture != nullptr) {
            // Dropped unrun (worker stopping): the subclass destroys itself
            // without a GL thread; its names died with the context.
            LOG(WARNING) << "An interop texture was released after the OpenGL worker stopped";
            delete texture;
        }
    }

private:
    void DoExecute(OglCapability, const ShaderStorage&) override {
        const InteropTexture* doomed = texture;
        texture = nullptr;
        delete doomed;
    }

    const InteropTexture* texture;
};

// Restores the framebuffer binding and deletes the temporary framebuffer on
// every way out of BindFrameBuffer.
class TemporaryFramebuffer {
public:
    TemporaryFramebuffer() {
        GLint bound = 0;
        glGetIntegerv(GL_FRAMEBUFFER_BINDING, &bound);
        previous = static_cast<GLuint>(bound);
        Details::GetFramebufferFunctions().GenFramebuffers(1, &name);
        if (name == 0) {
            KAVRIN_THROW_HOST("BindFrameBuffer", Exception, "Failed to create OpenGL framebuffer");
        }
        Details::GlObjectCounter::Created(Details::GlObjectCounter::Framebuffer);
    }
    ~TemporaryFramebuffer() {
        const auto& functions = Details::GetFramebufferFunctions();
        functions.BindFramebuffer(GL_FRAMEBUFFER, previous);
        functions.DeleteFramebuffers(1, &name);
        Details::GlObjectCounter::Deleted(Details::GlObjectCounter::Framebuffer);
    }
    TemporaryFramebuffer(const TemporaryFramebuffer&) = delete;
    TemporaryFramebuffer& operator=(const TemporaryFramebuffer&) = delete;

    GLuint Name() const { return name; }

private:
    GLuint previous = 0;
    GLuint name = 0;
};

}  // namespace

const unsigned int InteropTexture::s_target = GL_TEXTURE_2D;

InteropTexture::InteropTexture(std::size_t width, std::size_t height)
    : width(width), height(height), createdOnGlThread(IsOpenGLThread()) {}

InteropTexture::~InteropTexture() {
    if (texture != 0) {
        LOG(ERROR) << "The texture must be deleted in descendant class";
#ifndef NDEBUG
        std::abort();
#endif
    }
}

unsigned InteropTexture::AddRef() const {
    return refCount.fetch_add(1, std::memory_order_relaxed) + 1;
}

unsigned InteropTexture::GetRefCount() const { return refCount.load(std::memory_order_acquire); }

unsigned InteropTexture::Release() const {
    const unsigned remaining = refCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (remaining != 0) {
        return remaining;
    }
    if (createdOnGlThread && !IsOpenGLThread()) {
        boost::intrusive_ptr<InteropTextureDeleter> deleter(new InteropTextureDeleter(this));
        try {
            RenderHub::GetInstance().DoBackgroundTask(deleter);
        } catch (const std::exception& error) {
            // No worker to run it: the deleter's destructor frees the object.
            LOG(WARNING) << "Interop texture deleter not queued: " << error.what();
        }
        return 0;
    }
    delete this;
    return 0;
}

void InteropTexture::BindFrameBuffer(const std::function<void()>& draw,
                                     const std::optional<GLViewport>& viewport) const {
    TemporaryFramebuffer framebuffer;
    const auto& functions = Details::GetFramebufferFunctions();
    functions.BindFramebuffer(GL_FRAMEBUFFER, framebuffer.Name());
    functions.FramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, s_target, texture, 0);
    if (viewport) {
        glViewport(static_cast<GLint>(viewport->x), static_cast<GLint>(viewport->y),
                   static_cast<GLsizei>(viewport->width), static_cast<GLsizei>(viewport->height));
    } else {
        glViewport(0, 0, static_cast<GLsizei>(width), static_cast<GLsizei>(height));
    }
    draw();
    glFlush();
}

void InteropTexture::Draw(const Mesh& mesh, const ShaderStorage& storage) const {
    ShaderProgram& program = storage.UseShader(PixelFormatShader::RGBA);
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(s_target, texture);
    mesh.Activate();
    mesh.Draw(program);
    glBindTexture(s_target, 0);
    glFlush();
}

void InteropTexture::Draw(const ShaderStorage& storage, const std::array<float, 2>& scale) const {
    PackedMesh packed;
    packed.Generate({0, 1, 3, 3, 1, 2}, {0.0f, 0.0f, -scale[0], -scale[1],  //
                                         1.0f, 0.0f, scale[0], -scale[1],   //
                                         1.0f, 1.0f, scale[0], scale[1],    //
                                         0.0f, 1.0f, -scale[0], scale[1]});
    const Quad quad(packed, StreamDraw);
    Draw(quad, storage);
}

}  // namespace Kavrin::Ogl
