#pragma once

#include <GL/glew.h>

#include <cstdint>

namespace Kavrin::Ogl {

// Buffer usages, passed to glBufferData unchanged.
enum GLUsage : GLenum {
    StreamDraw = GL_STREAM_DRAW,
    StreamRead = GL_STREAM_READ,
    StaticDraw = GL_STATIC_DRAW,
    DynamicDraw = GL_DYNAMIC_DRAW,
    DynamicRead = GL_DYNAMIC_READ,
};

// Primitive modes, passed to glDrawArrays unchanged.
enum GLPrimitive : GLenum {
    Points = GL_POINTS,
    Lines = GL_LINES,
    LineStrip = GL_LINE_STRIP,
    LineLoop = GL_LINE_LOOP,
    Triangles = GL_TRIANGLES,
    TriangleStrip = GL_TRIANGLE_STRIP,
    TriangleFan = GL_TRIANGLE_FAN,
};

// Owns one GL buffer object of a fixed binding target. Swappable, not copyable;
// GL thread only. Operations on a buffer without a name throw std::logic_error.
template <GLenum target>
class GLBuffer {
public:
    GLBuffer() = default;
    ~GLBuffer();
    GLBuffer(const GLBuffer&) = delete;
    GLBuffer& operator=(const GLBuffer&) = delete;

    void Generate();
    bool IsCreated() const { return name != 0; }
    void Bind() const;
    void AllocateBuffer(const void* data, long long bytes, GLUsage usage) const;
    void UpdateBuffer(const void* data, unsigned long long bytes, long long offset) const;
    void* MapBuffer(unsigned int access) const;
    void UnmapBuffer() const;
    // Unbinds the target; the buffer object stays.
    void DropBuffer();
    void Swap(GLBuffer& other) noexcept;

    GLuint GetName() const { return name; }
    long long GetSize() const { return size; }

private:
    GLuint name = 0;
    mutable long long size = 0;
};

extern template class GLBuffer<GL_ARRAY_BUFFER>;
extern template class GLBuffer<GL_ELEMENT_ARRAY_BUFFER>;
extern template class GLBuffer<GL_PIXEL_PACK_BUFFER>;

using VertexBuffer = GLBuffer<GL_ARRAY_BUFFER>;
using IndexBuffer = GLBuffer<GL_ELEMENT_ARRAY_BUFFER>;
using PixelPackBuffer = GLBuffer<GL_PIXEL_PACK_BUFFER>;

}  // namespace Kavrin::Ogl
