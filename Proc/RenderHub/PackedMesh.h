#pragma once

#include <cstddef>
#include <vector>

#include <glm/glm.hpp>

namespace Kavrin::Ogl {

// CPU-side 2D quads: indices, and vertices of four floats (u, v, x, y).
struct PackedMesh {
    std::vector<unsigned int> indices;
    std::vector<float> vertices;

    void Generate(const std::vector<unsigned int>& newIndices,
                  const std::vector<float>& newVertices);
    void ReserveQuad(std::size_t quads);
    // Appends the quad (x0, y0)-(x1, y1) with texture corners (s0, t0)-(s1, t1)
    // as triangles (0, 1, 3) and (3, 1, 2) from `base`, which advances by 4.
    void AddQuad(const glm::vec2& uv0, const glm::vec2& uv1, const glm::vec2& p0,
                 const glm::vec2& p1, unsigned int& base);
};

// CPU-side 3D geometry: positions, face normals (three per triangle), texture
// coordinates and indices.
class PackedMesh3d {
public:
    std::vector<glm::vec3> coords;
    std::vector<glm::vec3> normals;
    std::vector<glm::vec2> uvs;
    std::vector<unsigned int> indices;

    // Returns the new point's index.
    int AddPoint(const glm::vec3& position, const glm::vec2& uv);
    void AddQuad(const glm::vec2& p0, const glm::vec2& uv0, const glm::vec2& p1,
                 const glm::vec2& uv1);
    void AddQuad(const glm::vec3& p0, const glm::vec2& uv0, const glm::vec3& p1,
                 const glm::vec2& uv1);
    void AddTriangle(int a, int b, int c);
    void ReplaceQuadCoord(const glm::vec3& p0, const glm::vec3& p1, std::size_t quad);
    void ReplaceQuadNorm(const glm::vec3& a, const glm::vec3& b, std::size_t quad);
    void ReplaceQuadUV(const glm::vec2& uv0, const glm::vec2& uv1, std::size_t quad);
    void Clear();
    void Swap(PackedMesh3d& other) noexcept;

private:
    static void Replace(std::vector<glm::vec3>& values, const glm::vec3& a, const glm::vec3& b,
                        std::size_t quad);
};

}  // namespace Kavrin::Ogl
