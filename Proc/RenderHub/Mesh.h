#pragma once

#include <GL/glew.h>

#include <cstddef>
#include <vector>

#include <glm/glm.hpp>

#include "GLBuffer.h"
#include "PackedMesh.h"

namespace Kavrin::Ogl {

class ShaderProgram;

enum class UserBufferLocation : int { Default = 0 };

// The attribute location of `name` in `program`, -1 when it has none. The
// location hint is not used.
int GetAttributeLocation(ShaderProgram& program, const char* name,
                         UserBufferLocation location = UserBufferLocation::Default);

// Indexed geometry: callers bind program and textures, then Activate and Draw.
// Meshes create no vertex array object (the context keeps one bound). GL thread.
class Mesh {
public:
    virtual ~Mesh() = default;
    // Binds the index buffer; throws std::logic_error when it was never made.
    virtual void Activate() const = 0;
    virtual void Draw(ShaderProgram& program) const = 0;
};

// Quads of (u, v, x, y) vertices read by the "vbo_xy_uv" attribute.
class Quad : public Mesh {
public:
    // The full viewport, texture row 0 at the bottom (y = -1).
    explicit Quad(GLUsage usage = DynamicDraw);
    Quad(const PackedMesh& mesh, GLUsage usage);

    void Activate() const override;
    void Draw(ShaderProgram& program) const override;

    const VertexBuffer& GetCoordBuffer() const { return vertexBuffer; }
    const IndexBuffer& GetIndexBuffer() const { return indexBuffer; }
    unsigned int GetNumVerts() const { return numVerts; }

private:
    void Upload(const PackedMesh& mesh, GLUsage usage);

    IndexBuffer indexBuffer;
    VertexBuffer vertexBuffer;
    unsigned int numVerts = 0;
};

// Textured 3D geometry: "vbo_xyz", "vbo_norm", "vbo_uv".
class Mesh3d : public Mesh {
public:
    Mesh3d() = default;
    Mesh3d(const PackedMesh3d& mesh, GLUsage usage);

    void Upload(const PackedMesh3d& mesh, GLUsage usage);
    void Activate() const override;
    void Draw(ShaderProgram& program) const override;
    bool IsInit() const { return initialized; }

private:
    bool initialized = false;
    IndexBuffer indexBuffer;
    VertexBuffer positionBuffer;
    VertexBuffer uvBuffer;
    VertexBuffer normalBuffer;
    unsigned int indexCount = 0;
};

// Unindexed 2D geometry drawn with any primitive.
class IMesh {
public:
    virtual ~IMesh() = default;
    virtual void Reserve(std::size_t count) = 0;
    virtual void Upload(GLUsage usage) = 0;
    virtual void Draw(GLPrimitive primitive, ShaderProgram& program) const = 0;
};

// 2D points read by the "vbo_xy" attribute.
class Mesh2d : public IMesh {
public:
    Mesh2d() = default;
    void AddPoint(const glm::vec2& point) { coords.push_back(point); }
    void Reserve(std::size_t count) override;
    void Upload(GLUsage usage) override;
    // Draws nothing until points were uploaded.
    void Draw(GLPrimitive primitive, ShaderProgram& program) const override;

    std::vector<glm::vec2>& GetCoords() { return coords; }
    const std::vector<glm::vec2>& GetCoords() const { return coords; }
    int GetVertexCount() const { return vertexCount; }

protected:
    std::vector<glm::vec2> coords;
    VertexBuffer vertexBuffer;
    int vertexCount = 0;
};

// 2D points with an RGBA colour each ("vbo_color").
class ColoredMesh2d : public Mesh2d {
public:
    ColoredMesh2d() = default;
    void AddPoint(const glm::vec2& point, const glm::vec4& color);
    void Reserve(std::size_t count) override;
    void Upload(GLUsage usage) override;
    // Draws nothing unless every point has a colour.
    void Draw(GLPrimitive primitive, ShaderProgram& program) const override;

    std::vector<glm::vec4>& GetColors() { return colors; }
    const std::vector<glm::vec4>& GetColors() const { return colors; }

private:
    std::vector<glm::vec4> colors;
    VertexBuffer colorBuffer;
};

}  // namespace Kavrin::Ogl
