#include <GL/glew.h>

#include "interop/InteropTexture.h"

#include <cstdlib>

#include <glog/logging.h>

#include "Kavrin/Core/Exception.h"
#include "Kavrin/Ogl/OglThread.h"

#include "GLThreadDeleter.h"
#include "GlObjectCounter.h"
#include "Mesh.h"
#include "PackedMesh.h"
#include "ShaderProgram.h"
#include "ShaderStorage.h"
#include "Texture.h"

namespace Kavrin::Ogl {
namespace {

// Destroys an interop texture on the GL thread for a last reference dropped
// elsewhere.
class InteropTextureDeleter final
    : public Details::GLThreadDeleter<InteropTexture, InteropTextureDeleter> {
public:
    static constexpr const char* kName = "InteropTextureDeleter";
    using GLThreadDeleter::GLThreadDeleter;

    // The subclass destroys itself without a GL thread; its names died with the
    // context.
    static void Abandon(const InteropTexture&) {
        LOG(WARNING) << "An interop texture was released after the OpenGL worker stopped";
    }
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

unsigned InteropTexture::AddRef() const { return refCount.AddRef(); }

unsigned InteropTexture::GetRefCount() const { return refCount.Get(); }

unsigned InteropTexture::Release() const {
    const unsigned remaining = refCount.Release();
    if (remaining == 0) {
        InteropTextureDeleter::Delete(this, createdOnGlThread);
    }
    return remaining;
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
