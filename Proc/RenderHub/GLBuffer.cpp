#include <GL/glew.h>

#include "GLBuffer.h"

#include <stdexcept>
#include <utility>

#include "Kavrin/Core/Exception.h"

#include "GlObjectCounter.h"

namespace Kavrin::Ogl {

template <GLenum target>
GLBuffer<target>::~GLBuffer() {
    if (name != 0) {
        glDeleteBuffers(1, &name);
        Details::GlObjectCounter::Deleted(Details::GlObjectCounter::Buffer);
    }
}

template <GLenum target>
void GLBuffer<target>::Generate() {
    if (name == 0) {
        glGenBuffers(1, &name);
        Details::GlObjectCounter::Created(Details::GlObjectCounter::Buffer);
    }
}

template <GLenum target>
void GLBuffer<target>::Bind() const {
    if (name == 0) {
        KAVRIN_THROW_FROM("Bind", std::logic_error("Binding uninitialized object"));
    }
    glBindBuffer(target, name);
}

template <GLenum target>
void GLBuffer<target>::AllocateBuffer(const void* data, long long bytes, GLUsage usage) const {
    Bind();
    glBufferData(target, static_cast<GLsizeiptr>(bytes), data, usage);
    size = bytes;
}

template <GLenum target>
void GLBuffer<target>::UpdateBuffer(const void* data, unsigned long long bytes,
                                    long long offset) const {
    Bind();
    glBufferSubData(target, static_cast<GLintptr>(offset), static_cast<GLsizeiptr>(bytes), data);
}

template <GLenum target>
void* GLBuffer<target>::MapBuffer(unsigned int access) const {
    Bind();
    return glMapBuffer(target, access);
}

template <GLenum target>
void GLBuffer<target>::UnmapBuffer() const {
    Bind();
    glUnmapBuffer(target);
}

template <GLenum target>
void GLBuffer<target>::DropBuffer() {
    glBindBuffer(target, 0);
}

template <GLenum target>
void GLBuffer<target>::Swap(GLBuffer& other) noexcept {
    std::swap(name, other.name);
    std::swap(size, other.size);
}

template class GLBuffer<GL_ARRAY_BUFFER>;
template class GLBuffer<GL_ELEMENT_ARRAY_BUFFER>;
template class GLBuffer<GL_PIXEL_PACK_BUFFER>;

}  // namespace Kavrin::Ogl
