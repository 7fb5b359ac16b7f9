#include <GL/glew.h>

#include "Texture.h"

#include <glm/glm.hpp>
#include <gtest/gtest.h>

#include "Kavrin/Core/Clock.h"
#include "Kavrin/Core/Exception.h"

#include "GLBuffer.h"
#include "Mesh.h"
#include "PackedMesh.h"
#include "RenderHub.h"
#include "ShaderProgram.h"
#include "ShaderSources.h"
#include "TestTasks.h"

namespace {

using namespace Kavrin::Ogl;
using Kavrin::Test::RunOnGL;
using Params = Texture::Params;

const Params kRgba8{4, 2, GL_RGBA, GL_RGBA8, GL_UNSIGNED_BYTE};

GLint TexParameter(GLuint name, GLenum parameter) {
    GLint value = 0;
    glBindTexture(GL_TEXTURE_2D, name);
    glGetTexParameteriv(GL_TEXTURE_2D, parameter, &value);
    return value;
}

using TextureGLTest = Kavrin::Test::CountedGLTest;

// Round trips with and without row lengths, format helpers, texture units, the
// surface a texture is attached to, and the pool.
TEST_F(TextureGLTest, RoundTripsFormatsUnitsSurfacesAndThePool) {
    RunOnGL([] {
        std::vector<std::uint8_t> pixels(4 * 2 * 4);
        for (std::size_t i = 0; i < pixels.size(); ++i) {
            pixels[i] = static_cast<std::uint8_t>(i * 7 + 3);
        }
        Texture texture(kRgba8, GL_REPEAT, GL_NEAREST, pixels.data());
        std::vector<GLint> parameters;
        for (const GLenum parameter : {GL_TEXTURE_WRAP_S, GL_TEXTURE_WRAP_T, GL_TEXTURE_MIN_FILTER,
                                       GL_TEXTURE_MAG_FILTER, GL_TEXTURE_MAX_LEVEL}) {
            parameters.push_back(TexParameter(texture.GetTexId(), parameter));
        }
        EXPECT_EQ(parameters,
                  (std::vector<GLint>{GL_REPEAT, GL_REPEAT, GL_NEAREST, GL_NEAREST, 0}));
        Surface unused;
        std::vector<std::uint8_t> back(pixels.size());
        texture.Download(0, back.data(), unused);
        EXPECT_EQ(back, pixels);

        // Rows of 6 pixels in client memory, 4 of them used; the padding is untouched.
        std::vector<std::uint8_t> padded(6 * 2 * 4, 0xEE), paddedBack(6 * 2 * 4, 0x11);
        for (int i = 0; i < 32; ++i) {
            padded[(i / 16) * 24 + i % 16] = static_cast<std::uint8_t>(255 - pixels[i]);
        }
        texture.Update(6, padded.data());
        texture.Download(6, paddedBack.data(), unused);
        for (int i = 0; i < 48; ++i) {
            padded[i] = i % 24 < 16 ? padded[i] : 0x11;
        }
        EXPECT_EQ(paddedBack, padded);
        glPixelStorei(GL_PACK_ROW_LENGTH, 0);
        glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);

        // Format helpers, and the units Use binds on; an empty texture leaves no GL
        // object (the fixture counts them).
        { Texture empty; }

        Texture rg(Params{2, 2, GL_RG_INTEGER, GL_RG16UI, GL_UNSIGNED_SHORT}, GL_CLAMP_TO_EDGE,
                   GL_NEAREST, nullptr);
        Texture rgba(kRgba8, GL_CLAMP_TO_EDGE, GL_NEAREST, nullptr);
        const auto format = [](const Texture& t) {
            return std::tuple(t.ComponentsPerPixel(), t.BytesPerComponent(), t.IsIntegerTexture());
        };
        EXPECT_EQ(format(rg), std::tuple(2, 2, true));
        EXPECT_EQ(format(rgba), std::tuple(4, 1, false));
        Texture bgraFloat(Params{2, 2, GL_BGRA, GL_RGBA32F, GL_FLOAT}, GL_CLAMP_TO_EDGE, GL_NEAREST,
                          nullptr);
        EXPECT_THROW(bgraFloat.ComponentsPerPixel(), Kavrin::Exception);
        EXPECT_THROW(bgraFloat.BytesPerComponent(), Kavrin::Exception);

        const auto binding = [] {
            GLint active = 0, bound = 0;
            glGetIntegerv(GL_ACTIVE_TEXTURE, &active);
            glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
            return std::tuple(active, static_cast<GLuint>(bound));
        };
        rgba.Use(3);
        EXPECT_EQ(binding(), std::tuple(GL_TEXTURE3, rgba.GetTexId()));
        glActiveTexture(GL_TEXTURE1);
        rgba.Use(-1);  // binds on the active unit
        EXPECT_EQ(binding(), std::tuple(GL_TEXTURE1, rgba.GetTexId()));
        for (const GLenum unit : {GL_TEXTURE1, GL_TEXTURE3, GL_TEXTURE0}) {
            glActiveTexture(unit);
            glBindTexture(GL_TEXTURE_2D, 0);
        }

        // The viewport and colour attachment follow the texture; a depth buffer
        // must be detached before another texture goes on.
        Texture first({8, 4, GL_RGBA, GL_RGBA8, GL_UNSIGNED_BYTE}, GL_CLAMP_TO_EDGE, GL_NEAREST,
                      nullptr);
        Texture second({3, 5, GL_RGBA, GL_RGBA8, GL_UNSIGNED_BYTE}, GL_CLAMP_TO_EDGE, GL_NEAREST,
                       nullptr);
        const auto expectAttached = [](const Texture& texture, int width, int height) {
            GLint viewport[4] = {}, colour = 0;
            glGetIntegerv(GL_VIEWPORT, viewport);
            glGetFramebufferAttachmentParameteriv(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0,
                                                  GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME, &colour);
            EXPECT_EQ(glm::ivec2(viewport[2], viewport[3]), glm::ivec2(width, height));
            EXPECT_EQ(static_cast<GLuint>(colour), texture.GetTexId());
            EXPECT_EQ(glCheckFramebufferStatus(GL_FRAMEBUFFER),
                      static_cast<GLenum>(GL_FRAMEBUFFER_COMPLETE));
        };
        Surface surface;
        surface.Attach(first);
        expectAttached(first, 8, 4);
        surface.AttachDepth();
        EXPECT_TRUE(surface.IsDepthAttached());
        EXPECT_THROW(surface.Attach(second), std::logic_error);
        GLint depthType = 0;
        glGetFramebufferAttachmentParameteriv(GL_FRAMEBUFFER, GL_DEPTH_ATTACHMENT,
                                              GL_FRAMEBUFFER_ATTACHMENT_OBJECT_TYPE, &depthType);
        EXPECT_EQ(depthType, GL_RENDERBUFFER);
        expectAttached(first, 8, 4);
        surface.DetachDepth();
        EXPECT_FALSE(glIsEnabled(GL_DEPTH_TEST));
        surface.Attach(second);
        expectAttached(second, 3, 5);
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
    });

    // Reuse takes exact params only, the most recently returned first, and resets
    // wrap and filter. A texture that does not fit evicts the oldest ones until it
    // fits (100 Mi pixels in four R8 textures, never written, so little memory); a
    // purge removes those idle for more than 30 s, oldest first.
    std::int64_t now = 1'000'000'000;
    Kavrin::Core::SetClockSource([&now] { return now; });
    const std::shared_ptr<void> restore(nullptr,
                                        [](void*) { Kavrin::Core::SetClockSource(nullptr); });
    RunOnGL([&] {
        auto& pool = TexturePool::GetInstance();
        const Params hd{1920, 1080, GL_RGBA, GL_RGBA8, GL_UNSIGNED_BYTE};
        auto first = pool.GetTex(hd);
        auto second = pool.GetTex(hd);
        const GLuint firstName = first->GetTexId();
        const GLuint secondName = second->GetTexId();
        first->Tweak(GL_REPEAT, GL_NEAREST);
        pool.PutTex(std::move(first));
        pool.PutTex(std::move(second));
        pool.PutTex(nullptr);
        EXPECT_EQ(first, nullptr);
        const auto held = [&] { return std::tuple(pool.GetCount(), pool.GetTotalArea()); };
        EXPECT_EQ(held(), std::tuple(2ul, 2ul * 1920 * 1080));
        Params srgb = hd;  // a different internal format misses
        srgb.internalFormat = GL_SRGB8_ALPHA8;
        auto other = pool.GetTex(srgb);
        EXPECT_TRUE(other->GetTexId() != firstName && other->GetTexId() != secondName);
        EXPECT_EQ(pool.GetCount(), 2u);
        auto recent = pool.GetTex(hd);
        auto older = pool.GetTex(hd);
        EXPECT_EQ(
            std::tuple(recent->GetTexId(), older->GetTexId(),
                       TexParameter(older->GetTexId(), GL_TEXTURE_WRAP_S),
                       TexParameter(older->GetTexId(), GL_TEXTURE_MIN_FILTER), held()),
            std::tuple(secondName, firstName, GL_CLAMP_TO_EDGE, GL_LINEAR, std::tuple(0ul, 0ul)));

        std::vector<GLuint> names;
        // Four one-byte formats, so that none of them matches another.
        const std::tuple<GLint, GLenum, GLenum> formats[] = {
            {GL_R8, GL_RED, GL_UNSIGNED_BYTE},
            {GL_R8UI, GL_RED_INTEGER, GL_UNSIGNED_BYTE},
            {GL_R8I, GL_RED_INTEGER, GL_BYTE},
            {GL_R8_SNORM, GL_RED, GL_UNSIGNED_BYTE}};
        for (const auto& [internalFormat, format, type] : formats) {
            auto texture = pool.GetTex(Params{5120, 5120, format, internalFormat, type});
            names.push_back(texture->GetTexId());
            pool.PutTex(std::move(texture));
        }
        ASSERT_EQ(pool.GetTotalArea(), TexturePool::AreaLimit);
        auto pixel = pool.GetTex(Params{1, 1, GL_RGBA, GL_RGBA32F, GL_FLOAT});
        EXPECT_EQ(held(), std::tuple(3ul, TexturePool::AreaLimit - 5120ul * 5120));
        EXPECT_EQ(std::tuple(glIsTexture(names[0]), glIsTexture(names[1])),
                  std::tuple(GL_FALSE, GL_TRUE));
        auto huge = pool.GetTex(Params{10241, 10240, GL_RED, GL_R8, GL_UNSIGNED_BYTE});
        ASSERT_NE(huge, nullptr);
        EXPECT_EQ(held(), std::tuple(0ul, 0ul));
        EXPECT_EQ(huge->GetTexParams().width, 10241);

        const std::int64_t start = now;
        pool.PutTex(std::move(recent));
        now += 5'000'000'000;
        pool.PutTex(std::move(pixel));
        now = start + 30'000'000'000;
        pool.Purge();
        EXPECT_EQ(pool.GetCount(), 2u);
        now += 1;
        pool.Purge();
        EXPECT_EQ(held(), std::tuple(1ul, 1ul));
        now += 5'000'000'000;
        pool.Purge();
        EXPECT_EQ(pool.GetCount(), 0u);
    });
}

// Buffers and meshes.
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
    GLint maxAttributes = 0, enabled = 0;
    glGetIntegerv(GL_MAX_VERTEX_ATTRIBS, &maxAttributes);
    for (GLint i = 0; i < maxAttributes; ++i) {
        GLint on = 0;
        glGetVertexAttribiv(static_cast<GLuint>(i), GL_VERTEX_ATTRIB_ARRAY_ENABLED, &on);
        enabled += on;
    }
    return enabled;
}

TEST_F(TextureGLTest, BuffersAndMeshesDrawWhatWasUploaded) {
    RunOnGL([] {
        VertexBuffer buffer;
        ASSERT_FALSE(buffer.IsCreated());
        EXPECT_EQ(Kavrin::Test::ErrorText([&] { buffer.Bind(); }), "Binding uninitialized object");
        EXPECT_THROW(buffer.AllocateBuffer(nullptr, 4, StaticDraw), std::logic_error);
        buffer.Generate();
        const GLuint first = buffer.GetName();
        buffer.Generate();  // a second call keeps the name
        EXPECT_EQ(buffer.GetName(), first);
        const float values[3] = {1, 2, 3};
        buffer.AllocateBuffer(values, sizeof(values), StaticDraw);
        const float two = 9.0f;
        buffer.UpdateBuffer(&two, sizeof(two), 4);
        std::vector<float> stored(static_cast<std::size_t>(buffer.GetSize()) / sizeof(float));
        buffer.Bind();
        glGetBufferSubData(GL_ARRAY_BUFFER, 0, buffer.GetSize(), stored.data());
        EXPECT_EQ(stored, (std::vector<float>{1, 9, 3}));  // its size too
        auto* mapped = static_cast<const float*>(buffer.MapBuffer(GL_READ_ONLY));
        ASSERT_NE(mapped, nullptr);
        EXPECT_EQ(mapped[2], 3.0f);
        buffer.UnmapBuffer();
        buffer.DropBuffer();
        GLint bound = -1;
        glGetIntegerv(GL_ARRAY_BUFFER_BINDING, &bound);
        EXPECT_EQ(std::tuple(buffer.IsCreated(), bound), std::tuple(true, 0));
        VertexBuffer other;
        other.Swap(buffer);
        EXPECT_EQ(std::tuple(other.GetName(), buffer.IsCreated()), std::tuple(first, false));

        // Every mesh draws what it was given and leaves no attribute enabled: the
        // quads two triangles, with or without the attribute, in a dynamic buffer by
        // default; point meshes only what was uploaded, and nothing when coordinates
        // and colours disagree.
        const OglCapability level = RenderHub::GetInstance().GetOglVersion();
        const char* white = "void main() { gl_FragColor = vec4(1.); }";
        ShaderProgram xyuv("MeshXyuv", BuiltinVertexSources.at(VShader::Id::XYUV), white, level);
        ShaderProgram noAttribute("MeshNoAttribute", "void main() { gl_Position = vec4(0.); }",
                                  white, level);
        ShaderProgram mvp("MeshMvp", BuiltinVertexSources.at(VShader::Id::MVP), white, level);
        ShaderProgram points(
            "MeshPoints",
            "attribute vec2 vbo_xy; attribute vec4 vbo_color; varying vec4 color;\n"
            "void main() { gl_Position = vec4(vbo_xy, 0., 1.); color = vbo_color; }",
            "varying vec4 color; void main() { gl_FragColor = color; }", level);
        Quad quad;
        GLint usage = 0;
        quad.GetCoordBuffer().Bind();
        glGetBufferParameteriv(GL_ARRAY_BUFFER, GL_BUFFER_USAGE, &usage);
        EXPECT_EQ(usage, GL_DYNAMIC_DRAW);
        Quad streamed(StreamDraw);
        PackedMesh3d packed;
        packed.AddQuad(glm::vec2(-1, -1), glm::vec2(0, 0), glm::vec2(1, 1), glm::vec2(1, 1));
        Mesh3d mesh;
        EXPECT_THROW(mesh.Activate(), std::logic_error);
        EXPECT_FALSE(mesh.IsInit());
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
        for (ColoredMesh2d* line : {&coloured, &uneven}) {
            line->AddPoint({0, 0}, {1, 0, 0, 1});
            line->AddPoint({1, 1}, {0, 1, 0, 1});
        }
        coloured.Upload(StaticDraw);
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
        coloured.Reserve(2);
        EXPECT_EQ(std::tuple(empty.GetVertexCount(), coloured.GetColors().size()),
                  std::tuple(0, 0ul));
        EXPECT_EQ(PrimitivesDrawn([&] { coloured.Draw(Lines, points); }), 0u);
        glUseProgram(0);
        glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);
        glBindBuffer(GL_ARRAY_BUFFER, 0);
    });
}

// The packed forms on the host.
TEST(PackedMeshTest, QuadsPointsIndicesFaceNormalsAndReplacement) {
    PackedMesh flat;
    flat.ReserveQuad(2);
    unsigned int base = 0;
    flat.AddQuad({0.0f, 0.0f}, {1.0f, 1.0f}, {-1.0f, -1.0f}, {1.0f, 1.0f}, base);
    flat.AddQuad({0.25f, 0.5f}, {0.75f, 1.0f}, {0.0f, 0.0f}, {0.5f, 0.5f}, base);
    EXPECT_EQ(base, 8u);
    EXPECT_EQ(flat.indices, (std::vector<unsigned int>{0, 1, 3, 3, 1, 2, 4, 5, 7, 7, 5, 6}));
    const std::vector<float> second(flat.vertices.begin() + 16, flat.vertices.end());
    EXPECT_EQ(second, (std::vector<float>{0.25f, 0.5f, 0, 0, 0.75f, 0.5f, 0.5f, 0, 0.75f, 1, 0.5f,
                                          0.5f, 0.25f, 1, 0, 0.5f}));

    PackedMesh3d mesh;
    EXPECT_EQ((std::tuple{mesh.AddPoint({0, 0, 0}, {0, 0}), mesh.AddPoint({1, 0, 0}, {1, 0}),
                          mesh.AddPoint({0, 1, 0}, {0, 1})}),
              std::tuple(0, 1, 2));
    mesh.Clear();
    EXPECT_TRUE(mesh.coords.empty() && mesh.uvs.empty() && mesh.normals.empty() &&
                mesh.indices.empty());

    mesh.AddQuad(glm::vec2(-1, -1), glm::vec2(0, 0), glm::vec2(1, 1), glm::vec2(1, 1));
    EXPECT_EQ(mesh.indices, (std::vector<unsigned int>{0, 1, 3, 3, 1, 2}));
    EXPECT_EQ(mesh.normals, std::vector<glm::vec3>(6, glm::vec3(0, 0, 1)));
    EXPECT_EQ(
        std::tuple(mesh.coords[1], mesh.coords[3], mesh.uvs[1], mesh.uvs[3]),
        std::tuple(glm::vec3(1, -1, 0), glm::vec3(-1, 1, 0), glm::vec2(1, 0), glm::vec2(0, 1)));

    // Reversed corners turn the face around.
    PackedMesh3d flipped;
    flipped.AddQuad(glm::vec2(1, -1), glm::vec2(0, 0), glm::vec2(-1, 1), glm::vec2(1, 1));
    EXPECT_EQ(flipped.normals[0], glm::vec3(0, 0, -1));

    // The 3D form takes z from each corner.
    PackedMesh3d slanted;
    slanted.AddQuad(glm::vec3(0, 0, 0), glm::vec2(0, 0), glm::vec3(1, 1, 1), glm::vec2(1, 1));
    EXPECT_EQ(std::tuple(slanted.coords[1], slanted.coords[3]),
              std::tuple(glm::vec3(1, 0, 1), glm::vec3(0, 1, 0)));
    EXPECT_LT(glm::distance(slanted.normals[0], glm::vec3(-0.70710678f, 0, 0.70710678f)),
              1e-6f);  // float

    // Replacing rewrites one quad in place.
    mesh.Clear();
    mesh.AddQuad(glm::vec2(0, 0), glm::vec2(0.2f, 0.2f), glm::vec2(1, 1), glm::vec2(0.8f, 0.8f));
    mesh.AddQuad(glm::vec2(2, 2), glm::vec2(0, 0), glm::vec2(3, 3), glm::vec2(1, 1));
    mesh.ReplaceQuadUV({0, 0}, {1, 1}, 0);
    EXPECT_EQ(std::vector<glm::vec2>(mesh.uvs.begin(), mesh.uvs.begin() + 4),
              (std::vector<glm::vec2>{{0, 0}, {1, 0}, {1, 1}, {0, 1}}));
    mesh.ReplaceQuadCoord({5, 6, 7}, {8, 9, 10}, 1);
    EXPECT_EQ(std::vector<glm::vec3>(mesh.coords.begin() + 3, mesh.coords.end()),
              (std::vector<glm::vec3>{{0, 1, 0}, {5, 6, 7}, {8, 6, 10}, {8, 9, 10}, {5, 9, 7}}));
    mesh.ReplaceQuadNorm({0, 0, -1}, {0, 0, -1}, 0);
    EXPECT_EQ(std::tuple(mesh.normals[0], mesh.normals.size()),
              std::tuple(glm::vec3(0, 0, -1), 12ul));
    EXPECT_THROW(mesh.ReplaceQuadUV({0, 0}, {1, 1}, 2), std::out_of_range);

    PackedMesh3d other;
    other.Swap(mesh);
    EXPECT_EQ(std::tuple(mesh.coords.size(), other.coords.size()), std::tuple(0ul, 8ul));
}

}  // namespace
