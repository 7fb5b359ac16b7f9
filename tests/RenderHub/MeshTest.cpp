#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "PackedMesh.h"

namespace {

using Kavrin::Ogl::PackedMesh;
using Kavrin::Ogl::PackedMesh3d;

TEST(PackedMeshTest, AddQuadAppendsTwoTrianglesAndFourCorners) {
    PackedMesh mesh;
    mesh.ReserveQuad(2);
    unsigned int base = 0;
    mesh.AddQuad({0.0f, 0.0f}, {1.0f, 1.0f}, {-1.0f, -1.0f}, {1.0f, 1.0f}, base);
    mesh.AddQuad({0.25f, 0.5f}, {0.75f, 1.0f}, {0.0f, 0.0f}, {0.5f, 0.5f}, base);
    EXPECT_EQ(base, 8u);
    EXPECT_EQ(mesh.indices, (std::vector<unsigned int>{0, 1, 3, 3, 1, 2, 4, 5, 7, 7, 5, 6}));
    const std::vector<float> second(mesh.vertices.begin() + 16, mesh.vertices.end());
    EXPECT_EQ(second, (std::vector<float>{0.25f, 0.5f, 0, 0, 0.75f, 0.5f, 0.5f, 0, 0.75f, 1, 0.5f,
                                          0.5f, 0.25f, 1, 0, 0.5f}));
    PackedMesh moved = std::move(mesh);
    EXPECT_TRUE(mesh.indices.empty());
    EXPECT_EQ(moved.indices.size(), 12u);
}

TEST(PackedMesh3dTest, PointsIndicesAndFaceNormals) {
    PackedMesh3d mesh;
    EXPECT_EQ(mesh.AddPoint({0, 0, 0}, {0, 0}), 0);
    EXPECT_EQ(mesh.AddPoint({1, 0, 0}, {1, 0}), 1);
    EXPECT_EQ(mesh.AddPoint({0, 1, 0}, {0, 1}), 2);
    mesh.Clear();
    EXPECT_TRUE(mesh.coords.empty() && mesh.uvs.empty() && mesh.normals.empty() &&
                mesh.indices.empty());

    mesh.AddQuad(glm::vec2(-1, -1), glm::vec2(0, 0), glm::vec2(1, 1), glm::vec2(1, 1));
    EXPECT_EQ(mesh.indices, (std::vector<unsigned int>{0, 1, 3, 3, 1, 2}));
    ASSERT_EQ(mesh.normals.size(), 6u);
    for (const glm::vec3& normal : mesh.normals) {
        EXPECT_EQ(normal, glm::vec3(0, 0, 1));
    }
    EXPECT_EQ(mesh.coords[1], glm::vec3(1, -1, 0));
    EXPECT_EQ(mesh.coords[3], glm::vec3(-1, 1, 0));
    EXPECT_EQ(mesh.uvs[1], glm::vec2(1, 0));
    EXPECT_EQ(mesh.uvs[3], glm::vec2(0, 1));

    // Reversed corners turn the face around.
    PackedMesh3d flipped;
    flipped.AddQuad(glm::vec2(1, -1), glm::vec2(0, 0), glm::vec2(-1, 1), glm::vec2(1, 1));
    EXPECT_EQ(flipped.normals[0], glm::vec3(0, 0, -1));

    // The 3D form takes z from each corner.
    PackedMesh3d slanted;
    slanted.AddQuad(glm::vec3(0, 0, 0), glm::vec2(0, 0), glm::vec3(1, 1, 1), glm::vec2(1, 1));
    EXPECT_EQ(slanted.coords[1], glm::vec3(1, 0, 1));
    EXPECT_EQ(slanted.coords[3], glm::vec3(0, 1, 0));
    const glm::vec3 n = slanted.normals[0];
    EXPECT_NEAR(n.x, -0.70710678f, 1e-6f);  // float
    EXPECT_NEAR(n.y, 0.0f, 1e-6f);          // float
    EXPECT_NEAR(n.z, 0.70710678f, 1e-6f);   // float
}

TEST(PackedMesh3dTest, ReplaceRewritesOneQuadInPlace) {
    PackedMesh3d mesh;
    mesh.AddQuad(glm::vec2(0, 0), glm::vec2(0.2f, 0.2f), glm::vec2(1, 1), glm::vec2(0.8f, 0.8f));
    mesh.AddQuad(glm::vec2(2, 2), glm::vec2(0, 0), glm::vec2(3, 3), glm::vec2(1, 1));
    mesh.ReplaceQuadUV({0, 0}, {1, 1}, 0);
    EXPECT_EQ(std::vector<glm::vec2>(mesh.uvs.begin(), mesh.uvs.begin() + 4),
              (std::vector<glm::vec2>{{0, 0}, {1, 0}, {1, 1}, {0, 1}}));
    mesh.ReplaceQuadCoord({5, 6, 7}, {8, 9, 10}, 1);
    EXPECT_EQ(std::vector<glm::vec3>(mesh.coords.begin() + 4, mesh.coords.end()),
              (std::vector<glm::vec3>{{5, 6, 7}, {8, 6, 10}, {8, 9, 10}, {5, 9, 7}}));
    EXPECT_EQ(mesh.coords[0], glm::vec3(0, 0, 0));
    mesh.ReplaceQuadNorm({0, 0, -1}, {0, 0, -1}, 0);
    EXPECT_EQ(mesh.normals[0], glm::vec3(0, 0, -1));
    EXPECT_EQ(mesh.normals.size(), 12u);
    EXPECT_THROW(mesh.ReplaceQuadUV({0, 0}, {1, 1}, 2), std::out_of_range);

    PackedMesh3d other;
    other.Swap(mesh);
    EXPECT_TRUE(mesh.coords.empty());
    EXPECT_EQ(other.coords.size(), 8u);
}

}  // namespace
