#include "PackedMesh.h"

#include <stdexcept>

namespace Kavrin::Ogl {

void PackedMesh::Generate(const std::vector<unsigned int>& newIndices,
                          const std::vector<float>& newVertices) {
    indices = newIndices;
    vertices = newVertices;
}

void PackedMesh::ReserveQuad(std::size_t quads) {
    indices.reserve(6 * quads);
    vertices.reserve(16 * quads);
}

void PackedMesh::AddQuad(const glm::vec2& uv0, const glm::vec2& uv1, const glm::vec2& p0,
                         const glm::vec2& p1, unsigned int& base) {
    indices.insert(indices.end(), {base, base + 1, base + 3, base + 3, base + 1, base + 2});
    base += 4;
    vertices.insert(vertices.end(), {uv0.x, uv0.y, p0.x, p0.y, uv1.x, uv0.y, p1.x, p0.y,  //
                                     uv1.x, uv1.y, p1.x, p1.y, uv0.x, uv1.y, p0.x, p1.y});
}

int PackedMesh3d::AddPoint(const glm::vec3& position, const glm::vec2& uv) {
    coords.push_back(position);
    uvs.push_back(uv);
    return static_cast<int>(coords.size()) - 1;
}

void PackedMesh3d::AddQuad(const glm::vec2& p0, const glm::vec2& uv0, const glm::vec2& p1,
                           const glm::vec2& uv1) {
    AddQuad(glm::vec3(p0, 0.0f), uv0, glm::vec3(p1, 0.0f), uv1);
}

void PackedMesh3d::AddQuad(const glm::vec3& p0, const glm::vec2& uv0, const glm::vec3& p1,
                           const glm::vec2& uv1) {
    const int q0 = AddPoint({p0.x, p0.y, p0.z}, {uv0.x, uv0.y});
    const int q1 = AddPoint({p1.x, p0.y, p1.z}, {uv1.x, uv0.y});
    const int q2 = AddPoint({p1.x, p1.y, p1.z}, {uv1.x, uv1.y});
    const int q3 = AddPoint({p0.x, p1.y, p0.z}, {uv0.x, uv1.y});
    AddTriangle(q0, q1, q3);
    AddTriangle(q3, q1, q2);
}

void PackedMesh3d::AddTriangle(int a, int b, int c) {
    indices.insert(indices.end(),
                   {static_cast<unsigned>(a), static_cast<unsigned>(b), static_cast<unsigned>(c)});
    const glm::vec3& pa = coords.at(static_cast<std::size_t>(a));
    const glm::vec3& pb = coords.at(static_cast<std::size_t>(b));
    const glm::vec3& pc = coords.at(static_cast<std::size_t>(c));
    // One face normal per corner; the built-in 3D vertex shader does not read them.
    const glm::vec3 normal = glm::normalize(glm::cross(pb - pa, pc - pa));
    normals.insert(normals.end(), {normal, normal, normal});
}

void PackedMesh3d::Replace(std::vector<glm::vec3>& values, const glm::vec3& a, const glm::vec3& b,
                           std::size_t quad) {
    if (values.size() < 4 * quad + 4) {
        throw std::out_of_range("PackedMesh3d has no quad " + std::to_string(quad));
    }
    auto first = values.begin() + static_cast<std::ptrdiff_t>(4 * quad);
    first = values.erase(first, first + 4);
    values.insert(first, {{a.x, a.y, a.z}, {b.x, a.y, b.z}, {b.x, b.y, b.z}, {a.x, b.y, a.z}});
}

void PackedMesh3d::ReplaceQuadCoord(const glm::vec3& p0, const glm::vec3& p1, std::size_t quad) {
    Replace(coords, p0, p1, quad);
}

void PackedMesh3d::ReplaceQuadNorm(const glm::vec3& a, const glm::vec3& b, std::size_t quad) {
    Replace(normals, a, b, quad);
}

void PackedMesh3d::ReplaceQuadUV(const glm::vec2& uv0, const glm::vec2& uv1, std::size_t quad) {
    if (uvs.size() < 4 * quad + 4) {
        throw std::out_of_range("PackedMesh3d has no quad " + std::to_string(quad));
    }
    auto first = uvs.begin() + static_cast<std::ptrdiff_t>(4 * quad);
    first = uvs.erase(first, first + 4);
    uvs.insert(first, {{uv0.x, uv0.y}, {uv1.x, uv0.y}, {uv1.x, uv1.y}, {uv0.x, uv1.y}});
}

void PackedMesh3d::Clear() {
    coords.clear();
    normals.clear();
    uvs.clear();
    indices.clear();
}

void PackedMesh3d::Swap(PackedMesh3d& other) noexcept {
    coords.swap(other.coords);
    normals.swap(other.normals);
    uvs.swap(other.uvs);
    indices.swap(other.indices);
}

}  // namespace Kavrin::Ogl
