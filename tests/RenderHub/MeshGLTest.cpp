#include <GL/glew.h>

#include "Mesh.h"

#include <gtest/gtest.h>

#include "GLBuffer.h"
#include "PackedMesh.h"
#include "RenderHub.h"
#include "ShaderProgram.h"
#include "ShaderSources.h"
#include "TestTasks.h"

namespace {

using namespace Kavrin::Ogl;
using Kavrin::Test::RunOnGL;

template <class T, GLenum target>
std::vector<T> ReadBuffer(const GLBuffer<target>& buffer) {
    std::vector<T> values(static_cast<std::size_t>(buffer.GetSize()) / sizeof(T));
    buffer.Bind();
    glGetBufferSubData(target, 0, buffer.GetSize(), values.data());
    glBindBuffer(target, 0);
    return values;
}

// Counts the primitives a draw produced, drawn into the context's own
// framebuffer (earlier cases may leave a detached one bound).
template <class Draw>
GLuint PrimitivesDrawn(Draw&& draw) {
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    GLuint query = 0;
    glGenQueries(1, &query);
    glBeginQuery(GL_PRIMITIVES_GENERATED, query);
    draw();
    glEndQuery(GL_PRIMITIVES_GENERATED);
    GLuint primitives = 0;
    glGetQueryObjectuiv(query, GL_QUERY_RESULT, &primitives);
    glDeleteQueries(1, &query);
    return primitives;
}

GLint EnabledAttributes() {
    GLint maxAttributes = 0;
    glGetIntegerv(GL_MAX_VERTEX_ATTRIBS, &maxAttributes);
    GLint enabled = 0;
    for (GLint i = 0; i < maxAttributes; ++i) {
        GLint on = 0;
        glGetVertexAttribiv(static_cast<GLuint>(i), GL_VERTEX_ATTRIB_ARRAY_ENABLED, &on);
        enabled += on;
    }
    return enabled;
}

using MeshGLTest = Kavrin::Test::CountedGLTest;

TEST_F(MeshGLTest, BufferLifecycle) {
    RunOnGL([] {
        VertexBuffer buffer;
        EXPECT_FALSE(buffer.IsCreated());
        try {
            buffer.Bind();
            ADD_FAILURE() << "bound a buffer without a name";
        } catch (const std::logic_error& error) {
            EXPECT_STREQ(error.what(), "Binding uninitialized object");
        }
        EXPECT_THROW(buffer.AllocateBuffer(nullptr, 4, StaticDraw), std::logic_error);
        buffer.Generate();
        const GLuint first = buffer.GetName();
        buffer.Generate();
        EXPECT_EQ(buffer.GetName(), first);
        const float values[3] = {1, 2, 3};
        buffer.AllocateBuffer(values, sizeof(values), StaticDraw);
        EXPECT_EQ(buffer.GetSize(), 12);
        const float two = 9.0f;
        buffer.UpdateBuffer(&two, sizeof(two), 4);
        EXPECT_EQ(ReadBuffer<float>(buffer), (std::vector<float>{1, 9, 3}));
        auto* mapped = static_cast<const float*>(buffer.MapBuffer(GL_READ_ONLY));
        ASSERT_NE(mapped, nullptr);
        EXPECT_EQ(mapped[2], 3.0f);
        buffer.UnmapBuffer();
        buffer.DropBuffer();
        EXPECT_TRUE(buffer.IsCreated());
        GLint bound = -1;
        glGetIntegerv(GL_ARRAY_BUFFER_BINDING, &bound);
        EXPECT_EQ(bound, 0);
        VertexBuffer other;
        other.Swap(buffer);
        EXPECT_EQ(other.GetName(), first);
        EXPECT_FALSE(buffer.IsCreated());
    });
}

// Every mesh draws what it was given and leaves no attribute enabled: the
// quads two triangles, with or without the attribute, in a dynamic buffer by
// default; point meshes only what was uploaded, and nothing when coordinates
// and colours disagree.
TEST_F(MeshGLTest, MeshesDrawWhatWasUploaded) {
    RunOnGL([] {
        const OglCapability level = RenderHub::GetInstance().GetOglVersion();
        const char* white = "void main()\n{\n    gl_FragColor = vec4(1.);\n}\n";
        ShaderProgram xyuv("MeshXyuv", BuiltinVertexSources.at(VShader::Id::XYUV), white, level);
        ShaderProgram noAttribute("MeshNoAttribute",
                                  "\nvoid main()\n{\n    gl_Position = vec4(0., 0., 0., 1.);\n}\n",
                                  white, level);
        ShaderProgram mvp("MeshMvp", BuiltinVertexSources.at(VShader::Id::MVP), white, level);
        ShaderProgram points(
            "MeshPoints",
            "attribute vec2 vbo_xy;\nattribute vec4 vbo_color;\nvarying vec4 color;\n\nvoid "
            "main()\n{\n    gl_Position = vec4(vbo_xy, 0., 1.);\n    color = vbo_color;\n}\n",
            "varying vec4 color;\n\nvoid main()\n{\n    gl_FragColor = color;\n}\n", level);
        Quad quad;
        GLint usage = 0;
        quad.GetCoordBuffer().Bind();
        glGetBufferParameteriv(GL_ARRAY_BUFFER, GL_BUFFER_USAGE, &usage);
        EXPECT_EQ(usage, GL_DYNAMIC_DRAW);
        Quad streamed(StreamDraw);
        PackedMesh3d packed;
        packed.AddQuad(glm::vec2(-1, -1), glm::vec2(0, 0), glm::vec2(1, 1), glm::vec2(1, 1));
        Mesh3d mesh;
        EXPECT_FALSE(mesh.IsInit());
        EXPECT_THROW(mesh.Activate(), std::logic_error);
        mesh.Upload(packed, StaticDraw);
        EXPECT_TRUE(mesh.IsInit());
        Mesh2d plain, empty;
        empty.Reserve(4);
        for (const glm::vec2& point : {glm::vec2(0, 0), {0.5f, 0.5f}, {-0.5f, 0.5f}}) {
            plain.AddPoint(point);
        }
        plain.Upload(StaticDraw);
        EXPECT_EQ(plain.GetVertexCount(), 3);
        ColoredMesh2d coloured, uneven;
        coloured.AddPoint({0, 0}, {1, 0, 0, 1});
        coloured.AddPoint({1, 1}, {0, 1, 0, 1});
        coloured.Upload(StaticDraw);
        uneven.AddPoint({0, 0}, {1, 0, 0, 1});
        uneven.AddPoint({1, 1}, {0, 1, 0, 1});
        uneven.GetCoords().push_back({0.5f, 0});  // one colour short
        const struct {
            const char* what;
            ShaderProgram& program;
            std::function<void(ShaderProgram&)> draw;
            GLuint primitives;
        } rows[] = {
            {"quad", xyuv, [&](auto& p) { streamed.Activate(), streamed.Draw(p); }, 2},
            {"quad without attribute", noAttribute,
             [&](auto& p) { streamed.Activate(), streamed.Draw(p); }, 2},
            {"mesh3d", mvp, [&](auto& p) { mesh.Activate(), mesh.Draw(p); }, 2},
            {"reserved only", points, [&](auto& p) { empty.Draw(Points, p); }, 0},
            {"points", points, [&](auto& p) { plain.Draw(Points, p); }, 3},
            {"triangle", points, [&](auto& p) { plain.Draw(Triangles, p); }, 1},
            {"coloured line", points, [&](auto& p) { coloured.Draw(Lines, p); }, 1},
            {"uneven", points, [&](auto& p) { uneven.Draw(Lines, p); }, 0},
        };
        for (const auto& row : rows) {
            row.program.Use();
            if (&row.program == &mvp) {
                mvp.Uniform("MVP", glm::mat4(1.0f), false);
            }
            EXPECT_EQ(PrimitivesDrawn([&] { row.draw(row.program); }), row.primitives) << row.what;
            EXPECT_EQ(EnabledAttributes(), 0) << row.what;
        }
        empty.Upload(StaticDraw);  // no points: still nothing
        EXPECT_EQ(empty.GetVertexCount(), 0);
        coloured.Reserve(2);
        EXPECT_TRUE(coloured.GetColors().empty());
        EXPECT_EQ(PrimitivesDrawn([&] { coloured.Draw(Lines, points); }), 0u);
        glUseProgram(0);
        glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);
        glBindBuffer(GL_ARRAY_BUFFER, 0);
    });
}

// The packed forms on the host.

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
}

TEST(PackedMesh3dTest, PointsIndicesFaceNormalsAndReplacement) {
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

    // Replacing rewrites one quad in place.
    mesh.Clear();
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
