#include <GL/glew.h>

#include "Mesh.h"

#include <vector>

#include "ShaderProgram.h"

namespace Kavrin::Ogl {
namespace {

// Enables float attributes for one draw and disables them again afterwards,
// also when the draw throws.
class AttributeBinding {
public:
    explicit AttributeBinding(ShaderProgram& program) : program(program) {}
    ~AttributeBinding() {
        for (GLuint location : enabled) {
            glDisableVertexAttribArray(location);
        }
    }
    AttributeBinding(const AttributeBinding&) = delete;
    AttributeBinding& operator=(const AttributeBinding&) = delete;

    void Add(const char* name, GLint components, const VertexBuffer& buffer) {
        const int location = GetAttributeLocation(program, name);
        if (location == -1) {
            return;
        }
        const auto index = static_cast<GLuint>(location);
        glEnableVertexAttribArray(index);
        enabled.push_back(index);
        buffer.Bind();
        glVertexAttribPointer(index, components, GL_FLOAT, GL_FALSE, 0, nullptr);
    }

private:
    ShaderProgram& program;
    std::vector<GLuint> enabled;
};

}  // namespace

int GetAttributeLocation(ShaderProgram& program, const char* name, UserBufferLocation) {
    return program.GetAttributeLocation(name);
}

Quad::Quad(GLUsage usage) {
    PackedMesh mesh;
    mesh.ReserveQuad(1);
    unsigned int base = 0;
    mesh.AddQuad({0.0f, 0.0f}, {1.0f, 1.0f}, {-1.0f, -1.0f}, {1.0f, 1.0f}, base);
    Upload(mesh, usage);
}

Quad::Quad(const PackedMesh& mesh, GLUsage usage) { Upload(mesh, usage); }

void Quad::Upload(const PackedMesh& mesh, GLUsage usage) {
    indexBuffer.Generate();
    vertexBuffer.Generate();
    numVerts = static_cast<unsigned int>(mesh.indices.size());
    indexBuffer.AllocateBuffer(mesh.indices.data(), static_cast<long long>(mesh.indices.size() * 4),
                               usage);
    vertexBuffer.AllocateBuffer(mesh.vertices.data(),
                                static_cast<long long>(mesh.vertices.size() * 4), usage);
}

void Quad::Activate() const { indexBuffer.Bind(); }

void Quad::Draw(ShaderProgram& program) const {
    AttributeBinding attributes(program);
    attributes.Add("vbo_xy_uv", 4, vertexBuffer);
    glDrawElements(GL_TRIANGLES, static_cast<GLsizei>(numVerts), GL_UNSIGNED_INT, nullptr);
}

Mesh3d::Mesh3d(const PackedMesh3d& mesh, GLUsage usage) { Upload(mesh, usage); }

void Mesh3d::Upload(const PackedMesh3d& mesh, GLUsage usage) {
    if (!initialized) {
        indexBuffer.Generate();
        positionBuffer.Generate();
        uvBuffer.Generate();
        normalBuffer.Generate();
        initialized = true;
    }
    indexCount = static_cast<unsigned int>(mesh.indices.size());
    indexBuffer.AllocateBuffer(mesh.indices.data(), static_cast<long long>(mesh.indices.size() * 4),
                               usage);
    positionBuffer.AllocateBuffer(mesh.coords.data(),
                                  static_cast<long long>(mesh.coords.size() * 12), usage);
    normalBuffer.AllocateBuffer(mesh.normals.data(),
                                static_cast<long long>(mesh.normals.size() * 12), usage);
    uvBuffer.AllocateBuffer(mesh.uvs.data(), static_cast<long long>(mesh.uvs.size() * 8), usage);
}

void Mesh3d::Activate() const { indexBuffer.Bind(); }

void Mesh3d::Draw(ShaderProgram& program) const {
    AttributeBinding attributes(program);
    attributes.Add("vbo_xyz", 3, positionBuffer);
    attributes.Add("vbo_norm", 3, normalBuffer);
    attributes.Add("vbo_uv", 2, uvBuffer);
    glDrawElements(GL_TRIANGLES, static_cast<GLsizei>(indexCount), GL_UNSIGNED_INT, nullptr);
}

void Mesh2d::Reserve(std::size_t count) {
    vertexCount = 0;
    coords.clear();
    coords.reserve(count);
}

void Mesh2d::Upload(GLUsage usage) {
    if (coords.empty()) {
        vertexCount = 0;
        return;
    }
    vertexBuffer.Generate();
    vertexBuffer.AllocateBuffer(coords.data(), static_cast<long long>(coords.size() * 8), usage);
    vertexCount = static_cast<int>(coords.size());
}

void Mesh2d::Draw(GLPrimitive primitive, ShaderProgram& program) const {
    if (vertexCount <= 0) {
        return;
    }
    AttributeBinding attributes(program);
    attributes.Add("vbo_xy", 2, vertexBuffer);
    glDrawArrays(primitive, 0, vertexCount);
}

void ColoredMesh2d::AddPoint(const glm::vec2& point, const glm::vec4& color) {
    coords.push_back(point);
    colors.push_back(color);
}

void ColoredMesh2d::Reserve(std::size_t count) {
    Mesh2d::Reserve(count);
    colors.clear();
    colors.reserve(count);
}

void ColoredMesh2d::Upload(GLUsage usage) {
    Mesh2d::Upload(usage);
    if (!colors.empty()) {
        colorBuffer.Generate();
        colorBuffer.AllocateBuffer(colors.data(), static_cast<long long>(colors.size() * 16),
                                   usage);
    }
}

void ColoredMesh2d::Draw(GLPrimitive primitive, ShaderProgram& program) const {
    if (vertexCount <= 0 || colors.size() != coords.size()) {
        return;
    }
    AttributeBinding attributes(program);
    attributes.Add("vbo_color", 4, colorBuffer);
    Mesh2d::Draw(primitive, program);
}

}  // namespace Kavrin::Ogl
