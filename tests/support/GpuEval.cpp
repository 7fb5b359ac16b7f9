#include <GL/glew.h>

#include "GpuEval.h"

#include <array>
#include <cstddef>
#include <iomanip>
#include <sstream>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "RenderHub.h"
#include "ShaderSources.h"
#include "TestTasks.h"

namespace Kavrin::Test {
namespace {

// Lets a body read its case's arguments; ends with the blank line the library
// injection needs in front of main.
constexpr std::string_view kInputPrelude = R"(uniform sampler2D EvalInputs;

vec4 EvalInput(int k)
{
    return texelFetch(EvalInputs, ivec2(int(gl_FragCoord.x), k), 0);
}

)";

// Bindings and switches the evaluation changes, put back on Restore() or at the
// end of the scope, whichever comes first.
class StateGuard {
public:
    StateGuard() {
        glGetIntegerv(GL_CURRENT_PROGRAM, &program);
        glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &drawFramebuffer);
        glGetIntegerv(GL_READ_FRAMEBUFFER_BINDING, &readFramebuffer);
        glGetIntegerv(GL_ARRAY_BUFFER_BINDING, &arrayBuffer);
        glGetIntegerv(GL_VERTEX_ARRAY_BINDING, &vertexArray);
        glGetIntegerv(GL_PIXEL_PACK_BUFFER_BINDING, &packBuffer);
        glGetIntegerv(GL_PIXEL_UNPACK_BUFFER_BINDING, &unpackBuffer);
        glGetIntegerv(GL_PACK_ALIGNMENT, &packAlignment);
        glGetIntegerv(GL_UNPACK_ALIGNMENT, &unpackAlignment);
        glGetIntegerv(GL_ACTIVE_TEXTURE, &activeTexture);
        glActiveTexture(GL_TEXTURE0);
        glGetIntegerv(GL_TEXTURE_BINDING_2D, &texture0);
        glGetIntegerv(GL_VIEWPORT, viewport.data());
        for (std::size_t i = 0; i < kSwitches.size(); ++i) {
            enabled[i] = glIsEnabled(kSwitches[i]);
        }
    }
    ~StateGuard() { Restore(); }
    StateGuard(const StateGuard&) = delete;
    StateGuard& operator=(const StateGuard&) = delete;

    void Restore() {
        if (restored) {
            return;
        }
        restored = true;
        glUseProgram(static_cast<GLuint>(program));
        glBindFramebuffer(GL_DRAW_FRAMEBUFFER, static_cast<GLuint>(drawFramebuffer));
        glBindFramebuffer(GL_READ_FRAMEBUFFER, static_cast<GLuint>(readFramebuffer));
        glBindVertexArray(static_cast<GLuint>(vertexArray));
        glBindBuffer(GL_ARRAY_BUFFER, static_cast<GLuint>(arrayBuffer));
        glBindBuffer(GL_PIXEL_PACK_BUFFER, static_cast<GLuint>(packBuffer));
        glBindBuffer(GL_PIXEL_UNPACK_BUFFER, static_cast<GLuint>(unpackBuffer));
        glPixelStorei(GL_PACK_ALIGNMENT, packAlignment);
        glPixelStorei(GL_UNPACK_ALIGNMENT, unpackAlignment);
        glActiveTexture(GL_TEXTURE0);
        glBindTexture(GL_TEXTURE_2D, static_cast<GLuint>(texture0));
        glActiveTexture(static_cast<GLenum>(activeTexture));
        glViewport(viewport[0], viewport[1], viewport[2], viewport[3]);
        for (std::size_t i = 0; i < kSwitches.size(); ++i) {
            if (enabled[i]) {
                glEnable(kSwitches[i]);
            } else {
                glDisable(kSwitches[i]);
            }
        }
    }

    // Whatever would alter the written values or skip pixels.
    void DisableSwitches() {
        for (GLenum name : kSwitches) {
            glDisable(name);
        }
    }

private:
    static constexpr std::array<GLenum, 6> kSwitches = {
        GL_BLEND, GL_DEPTH_TEST, GL_SCISSOR_TEST, GL_STENCIL_TEST, GL_CULL_FACE, GL_DITHER};

    GLint program = 0;
    GLint drawFramebuffer = 0;
    GLint readFramebuffer = 0;
    GLint arrayBuffer = 0;
    GLint vertexArray = 0;
    GLint packBuffer = 0;
    GLint unpackBuffer = 0;
    GLint packAlignment = 4;
    GLint unpackAlignment = 4;
    GLint activeTexture = GL_TEXTURE0;
    GLint texture0 = 0;
    std::array<GLint, 4> viewport{};
    std::array<GLboolean, kSwitches.size()> enabled{};
    bool restored = false;
};

// One GL name, deleted with its owner.
template <void (*Delete)(GLuint)>
class GlName {
public:
    explicit GlName(GLuint name) : name(name) {}
    ~GlName() {
        if (name != 0) {
            Delete(name);
        }
    }
    GlName(const GlName&) = delete;
    GlName& operator=(const GlName&) = delete;
    GLuint Get() const { return name; }

private:
    GLuint name;
};

void DeleteTexture(GLuint name) { glDeleteTextures(1, &name); }
void DeleteFramebuffer(GLuint name) { glDeleteFramebuffers(1, &name); }
void DeleteBuffer(GLuint name) { glDeleteBuffers(1, &name); }
void DeleteVertexArray(GLuint name) { glDeleteVertexArrays(1, &name); }

using Texture = GlName<DeleteTexture>;
using Framebuffer = GlName<DeleteFramebuffer>;
using Buffer = GlName<DeleteBuffer>;
using VertexArray = GlName<DeleteVertexArray>;

GLuint GenTexture() {
    GLuint name = 0;
    glGenTextures(1, &name);
    return name;
}
GLuint GenFramebuffer() {
    GLuint name = 0;
    glGenFramebuffers(1, &name);
    return name;
}
GLuint GenBuffer() {
    GLuint name = 0;
    glGenBuffers(1, &name);
    return name;
}
GLuint GenVertexArray() {
    GLuint name = 0;
    glGenVertexArrays(1, &name);
    return name;
}

// An RGBA32F texture sampled texel by texel; `texels` may be null.
void DefineFloatTexture(const Texture& texture, int width, int height, const float* texels) {
    glBindTexture(GL_TEXTURE_2D, texture.Get());
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA32F, width, height, 0, GL_RGBA, GL_FLOAT, texels);
}

struct Inputs {
    int width = 0;
    int height = 0;
    std::vector<float> texels;  // row k holds argument k of every case
};

// Runs on the GL thread; failures are collected into `problem` for the caller.
std::vector<glm::vec4> Render(std::string_view pixelBody, int width, int height,
                              const UniformSetter& setUniforms, const Inputs* inputs,
                              Ogl::OglCapability capability, std::string& problem) {
    StateGuard state;
    // Uploads and read-backs below are tightly packed floats.
    glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
    glBindBuffer(GL_PIXEL_UNPACK_BUFFER, 0);
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);

    Ogl::ShaderProgram program("GpuEval", Ogl::BuiltinVertexSources.at(Ogl::VShader::Id::XYUV),
                               pixelBody, capability);
    if (!program.IsValid()) {
        problem = "the program does not build";
        return {};
    }

    Texture target(GenTexture());
    glActiveTexture(GL_TEXTURE0);
    DefineFloatTexture(target, width, height, nullptr);
    Framebuffer framebuffer(GenFramebuffer());
    glBindFramebuffer(GL_FRAMEBUFFER, framebuffer.Get());
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, target.Get(), 0);
    if (const GLenum status = glCheckFramebufferStatus(GL_FRAMEBUFFER);
        status != GL_FRAMEBUFFER_COMPLETE) {
        std::ostringstream text;
        text << "the RGBA32F target is incomplete, status 0x" << std::hex << status;
        problem = text.str();
        return {};
    }

    Texture inputTexture(inputs != nullptr ? GenTexture() : 0);
    if (inputs != nullptr) {
        DefineFloatTexture(inputTexture, inputs->width, inputs->height, inputs->texels.data());
    } else {
        glBindTexture(GL_TEXTURE_2D, 0);
    }

    // (u, v, x, y) corners of a strip that covers the whole target.
    static constexpr std::array<float, 16> kQuad = {0.f, 0.f, -1.f, -1.f, 1.f, 0.f, 1.f, -1.f,
                                                    0.f, 1.f, -1.f, 1.f,  1.f, 1.f, 1.f, 1.f};
    VertexArray vertexArray(GenVertexArray());
    glBindVertexArray(vertexArray.Get());
    Buffer quad(GenBuffer());
    glBindBuffer(GL_ARRAY_BUFFER, quad.Get());
    glBufferData(GL_ARRAY_BUFFER, sizeof(kQuad), kQuad.data(), GL_STATIC_DRAW);
    const GLint attribute = glGetAttribLocation(program.GetName(), "vbo_xy_uv");
    if (attribute < 0) {
        problem = "the vertex shader has no active vbo_xy_uv";
        return {};
    }
    glEnableVertexAttribArray(static_cast<GLuint>(attribute));
    glVertexAttribPointer(static_cast<GLuint>(attribute), 4, GL_FLOAT, GL_FALSE, 0, nullptr);

    program.Use();
    if (inputs != nullptr) {
        program.Uniform("EvalInputs", 0);
    }
    if (setUniforms) {
        setUniforms(program);
    }
    state.DisableSwitches();
    glViewport(0, 0, width, height);
    glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
    glDisableVertexAttribArray(static_cast<GLuint>(attribute));

    std::vector<glm::vec4> pixels(static_cast<std::size_t>(width) *
                                  static_cast<std::size_t>(height));
    glReadBuffer(GL_COLOR_ATTACHMENT0);
    glReadPixels(0, 0, width, height, GL_RGBA, GL_FLOAT, pixels.data());
    // Bindings back before the objects above go.
    state.Restore();
    return pixels;
}

std::vector<glm::vec4> Evaluate(std::string_view pixelBody, int width, int height,
                                const UniformSetter& setUniforms, const Inputs* inputs) {
    if (width <= 0 || height <= 0) {
        ADD_FAILURE() << "EvaluatePixelShader: empty target " << width << "x" << height;
        return {};
    }
    // Detection happens off the GL thread; the capability picks the dialect.
    const Ogl::OglCapability capability = Ogl::RenderHub::GetInstance().GetOglVersion();
    LogCapture log;
    std::string problem;
    std::vector<glm::vec4> pixels;
    RunOnGL([&] {
        pixels = Render(pixelBody, width, height, setUniforms, inputs, capability, problem);
    });
    if (!problem.empty()) {
        ADD_FAILURE() << "EvaluatePixelShader: " << problem << "\nPixel body:\n"
                      << pixelBody << "\nLog:\n"
                      << log.Dump();
        return {};
    }
    return pixels;
}

}  // namespace

std::vector<glm::vec4> EvaluatePixelShader(std::string_view pixelBody, int width, int height,
                                           const UniformSetter& setUniforms) {
    return Evaluate(pixelBody, width, height, setUniforms, nullptr);
}

std::vector<glm::vec4> EvaluatePerCase(std::string_view pixelBody,
                                       const std::vector<std::vector<glm::vec4>>& cases,
                                       const UniformSetter& setUniforms) {
    if (cases.empty() || cases.front().empty()) {
        ADD_FAILURE() << "EvaluatePerCase: no cases or no arguments";
        return {};
    }
    Inputs inputs;
    inputs.width = static_cast<int>(cases.size());
    inputs.height = static_cast<int>(cases.front().size());
    inputs.texels.resize(cases.size() * cases.front().size() * 4);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        if (cases[i].size() != cases.front().size()) {
            ADD_FAILURE() << "EvaluatePerCase: case " << i << " has " << cases[i].size()
                          << " arguments, case 0 has " << cases.front().size();
            return {};
        }
        for (std::size_t k = 0; k < cases[i].size(); ++k) {
            const std::size_t texel = (k * cases.size() + i) * 4;
            for (int c = 0; c < 4; ++c) {
                inputs.texels[texel + static_cast<std::size_t>(c)] = cases[i][k][c];
            }
        }
    }
    std::string body(kInputPrelude);
    body += pixelBody;
    return Evaluate(body, inputs.width, 1, setUniforms, &inputs);
}

std::unique_ptr<Ogl::Texture> FloatTexture(int width, int height, const glm::vec4* texels) {
    return std::make_unique<Ogl::Texture>(
        Ogl::Texture::Params{width, height, GL_RGBA, GL_RGBA32F, GL_FLOAT}, GL_CLAMP_TO_EDGE,
        GL_NEAREST, texels);
}

std::vector<glm::vec4> ReadFloat(Ogl::Texture& texture, const Ogl::ShaderStorage& storage) {
    const Ogl::Texture::Params& p = texture.GetTexParams();
    std::vector<glm::vec4> pixels(static_cast<std::size_t>(p.width * p.height));
    texture.Download(0, pixels.data(), storage.FBO());
    return pixels;
}

std::string Describe(const glm::vec4& value) { return Describe(glm::dvec4(value)); }

std::string Describe(const glm::dvec4& value) {
    std::ostringstream text;
    text << std::setprecision(9) << "(" << value.x << ", " << value.y << ", " << value.z << ", "
         << value.w << ")";
    return text.str();
}

}  // namespace Kavrin::Test
