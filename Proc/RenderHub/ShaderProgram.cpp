#include <GL/glew.h>

#include "ShaderProgram.h"

#include <stdexcept>
#include <string>

#include <glm/gtc/type_ptr.hpp>
#include <glog/logging.h>

#include "Kavrin/Core/Exception.h"

#include "GlObjectCounter.h"

namespace Kavrin::Ogl {
namespace {

bool IsProgram(GLuint program) { return program != 0 && glIsProgram(program) == GL_TRUE; }

// Owns a program until the link step hands it over; a program still held at the
// end (every failure) has its info log appended to the report and is deleted.
class ProgramGuard {
public:
    ProgramGuard(GLuint program, LogBuffer& log) : program(program), log(log) {
        if (program != 0) {
            Details::GlObjectCounter::Created(Details::GlObjectCounter::Program);
        }
    }
    ~ProgramGuard() {
        if (program == 0) {
            return;
        }
        GLint length = 0;
        glGetProgramiv(program, GL_INFO_LOG_LENGTH, &length);
        if (length > 0) {
            std::string info(static_cast<std::size_t>(length), '\0');
            GLsizei written = 0;
            glGetProgramInfoLog(program, length, &written, info.data());
            if (written > 0) {
                log << "Errors:\n" << info.substr(0, static_cast<std::size_t>(written));
            }
        }
        glDeleteProgram(program);
        Details::GlObjectCounter::Deleted(Details::GlObjectCounter::Program);
    }
    ProgramGuard(const ProgramGuard&) = delete;
    ProgramGuard& operator=(const ProgramGuard&) = delete;

    GLuint Get() const { return program; }
    GLuint Release() {
        const GLuint released = program;
        program = 0;
        return released;
    }

private:
    GLuint program;
    LogBuffer& log;
};

void DetachBoth(GLuint program, const Shader& vertexShader, const Shader& pixelShader) {
    for (const Shader* shader : {&vertexShader, &pixelShader}) {
        if (IsProgram(program) && shader->IsValid()) {
            glDetachShader(program, shader->GetName());
        }
    }
}

void LogInvalidUse(const std::string& name) {
    LOG(ERROR) << "You try to use invalid state shader program: '" << name << "'.\n";
}

}  // namespace

ShaderProgram::ShaderProgram(const std::string& programName, std::string_view vertexSource,
                             std::string_view pixelSource, OglCapability capability) {
    LogBuffer log;
    log << "Try to create shader program '" << programName << "'\n";
    const VertexShader vertexShader(vertexSource, capability, log);
    const PixelShader pixelShader(pixelSource, capability, log);
    ShaderProgram linked(programName, vertexShader, pixelShader, log);
    Swap(linked);
}

ShaderProgram::ShaderProgram(const std::string& programName, const VertexShader& vertexShader,
                             std::string_view pixelSource, OglCapability capability) {
    LogBuffer log;
    log << "Try to create shader program '" << programName << "'\n";
    const PixelShader pixelShader(pixelSource, capability, log);
    ShaderProgram linked(programName, vertexShader, pixelShader, log);
    Swap(linked);
}

ShaderProgram::ShaderProgram(const std::string& programName, const VertexShader& vertexShader,
                             const PixelShader& pixelShader, LogBuffer& log)
    : name(programName.empty() ? "Unknown shader program" : programName) {
    glGetError();
    const GLuint created = glCreateProgram();
    const GLenum createError = glGetError();
    ProgramGuard guard(created, log);
    if (!IsProgram(guard.Get())) {
        log << "Can't create shader program, error code = " << static_cast<unsigned>(createError)
            << "\n";
        return;
    }
    if (!vertexShader.IsValid() || !pixelShader.IsValid()) {
        return;
    }
    glAttachShader(guard.Get(), vertexShader.GetName());
    if (const GLenum error = glGetError(); error != GL_NO_ERROR) {
        log << "Failed to attach vertex shader, error code = " << static_cast<unsigned>(error)
            << "\n";
        DetachBoth(guard.Get(), vertexShader, pixelShader);
        return;
    }
    glAttachShader(guard.Get(), pixelShader.GetName());
    if (const GLenum error = glGetError(); error != GL_NO_ERROR) {
        log << "Failed to attach pixel shader, error code = " << static_cast<unsigned>(error)
            << "\n";
        DetachBoth(guard.Get(), vertexShader, pixelShader);
        return;
    }
    glLinkProgram(guard.Get());
    if (const GLenum error = glGetError(); error != GL_NO_ERROR) {
        log << "Failed to link shader program shader, error code = " << static_cast<unsigned>(error)
            << "\n";
        DetachBoth(guard.Get(), vertexShader, pixelShader);
        return;
    }
    // A link that fails raises no GL error: only its status tells (an undefined
    // function, too many varyings), and a program that did not link draws nothing.
    GLint linked = GL_FALSE;
    glGetProgramiv(guard.Get(), GL_LINK_STATUS, &linked);
    if (linked != GL_TRUE) {
        log << "Failed to link shader program '" << name << "'\n";
        DetachBoth(guard.Get(), vertexShader, pixelShader);
        return;
    }
    log.SetReport(false);
    program = guard.Release();
    glUseProgram(program);
    if (!IsProgram(program)) {
        LogInvalidUse(name);
    }
    DetachBoth(program, vertexShader, pixelShader);
}

ShaderProgram::ShaderProgram(ShaderProgram&& other) noexcept
    : program(other.program),
      uniformCache(std::move(other.uniformCache)),
      name(std::move(other.name)) {
    other.program = 0;
    other.uniformCache.clear();
    other.name.clear();
}

ShaderProgram& ShaderProgram::operator=(ShaderProgram&& other) noexcept {
    if (this != &other) {
        DeleteProgram();
        program = other.program;
        uniformCache = std::move(other.uniformCache);
        name = std::move(other.name);
        other.program = 0;
        other.uniformCache.clear();
        other.name.clear();
    }
    return *this;
}

ShaderProgram::~ShaderProgram() { DeleteProgram(); }

void ShaderProgram::DeleteProgram() {
    if (program != 0) {
        glDeleteProgram(program);
        Details::GlObjectCounter::Deleted(Details::GlObjectCounter::Program);
        program = 0;
    }
}

void ShaderProgram::Swap(ShaderProgram& other) noexcept {
    std::swap(program, other.program);
    uniformCache.swap(other.uniformCache);
    name.swap(other.name);
}

bool ShaderProgram::IsValid() const { return IsProgram(program); }

void ShaderProgram::Use() const {
    glUseProgram(program);
    if (!IsProgram(program)) {
        LogInvalidUse(name);
    }
}

int ShaderProgram::GetAttributeLocation(const char* attribute) const {
    return glGetAttribLocation(program, attribute);
}

bool ShaderProgram::UniformExists(const std::string& uniform) const {
    return glGetUniformLocation(program, uniform.c_str()) != -1;
}

int ShaderProgram::GetUniform(const char* uniform) {
    if (!IsProgram(program)) {
        return -1;
    }
    const std::string key(uniform);
    if (auto found = uniformCache.find(key); found != uniformCache.end()) {
        return found->second;
    }
    const GLint location = glGetUniformLocation(program, uniform);
    if (location == -1) {
        std::string message = "Error in shader program '" + name + "'\n" +
                              "    No uniform named '" + key + "', or uniform was optimized out.\n";
        if (key.rfind("gl_", 0) == 0) {
            message += "        Uniform name " + key + " starts with the reserved prefix 'gl_'.\n";
        }
        if (key.find(' ') != std::string::npos) {
            message += "        Uniform name " + key + " contains space symbols.\n";
        }
        LOG(ERROR) << message;
    }
    uniformCache.emplace(key, location);
    return location;
}

void ShaderProgram::Uniform(const char* u, int v) { glUniform1i(GetUniform(u), v); }
void ShaderProgram::Uniform(const char* u, float v0) { glUniform1f(GetUniform(u), v0); }
void ShaderProgram::Uniform(const char* u, float v0, float v1) {
    glUniform2f(GetUniform(u), v0, v1);
}
void ShaderProgram::Uniform(const char* u, float v0, float v1, float v2) {
    glUniform3f(GetUniform(u), v0, v1, v2);
}
void ShaderProgram::Uniform(const char* u, float v0, float v1, float v2, float v3) {
    glUniform4f(GetUniform(u), v0, v1, v2, v3);
}
void ShaderProgram::Uniform(const char* u, double v0) { Uniform(u, static_cast<float>(v0)); }
void ShaderProgram::Uniform(const char* u, double v0, double v1) {
    Uniform(u, static_cast<float>(v0), static_cast<float>(v1));
}
void ShaderProgram::Uniform(const char* u, double v0, double v1, double v2) {
    Uniform(u, static_cast<float>(v0), static_cast<float>(v1), static_cast<float>(v2));
}
void ShaderProgram::Uniform(const char* u, double v0, double v1, double v2, double v3) {
    Uniform(u, static_cast<float>(v0), static_cast<float>(v1), static_cast<float>(v2),
            static_cast<float>(v3));
}
void ShaderProgram::Uniform(const char* u, const glm::vec2& v) {
    glUniform2fv(GetUniform(u), 1, glm::value_ptr(v));
}
void ShaderProgram::Uniform(const char* u, const glm::vec3& v) {
    glUniform3fv(GetUniform(u), 1, glm::value_ptr(v));
}
void ShaderProgram::Uniform(const char* u, const glm::vec4& v) {
    glUniform4fv(GetUniform(u), 1, glm::value_ptr(v));
}
void ShaderProgram::Uniform(const char* u, const glm::ivec2& v) {
    glUniform2iv(GetUniform(u), 1, glm::value_ptr(v));
}
void ShaderProgram::Uniform(const char* u, const glm::ivec3& v) {
    glUniform3iv(GetUniform(u), 1, glm::value_ptr(v));
}
void ShaderProgram::Uniform(const char* u, const glm::ivec4& v) {
    glUniform4iv(GetUniform(u), 1, glm::value_ptr(v));
}
void ShaderProgram::Uniform(const char* u, const std::array<float, 2>& v) {
    glUniform2fv(GetUniform(u), 1, v.data());
}
void ShaderProgram::Uniform(const char* u, const std::array<float, 3>& v) {
    glUniform3fv(GetUniform(u), 1, v.data());
}
void ShaderProgram::Uniform(const char* u, const std::array<float, 4>& v) {
    glUniform4fv(GetUniform(u), 1, v.data());
}
void ShaderProgram::Uniform(const char* u, const std::array<int, 2>& v) {
    glUniform2iv(GetUniform(u), 1, v.data());
}
void ShaderProgram::Uniform(const char* u, const std::array<int, 3>& v) {
    glUniform3iv(GetUniform(u), 1, v.data());
}
void ShaderProgram::Uniform(const char* u, const std::array<int, 4>& v) {
    glUniform4iv(GetUniform(u), 1, v.data());
}
void ShaderProgram::Uniform(const char* u, const std::vector<float>& values) {
    glUniform1fv(GetUniform(u), static_cast<GLsizei>(values.size()), values.data());
}
void ShaderProgram::Uniform(const char* u, const ColorF& color) {
    glUniform4f(GetUniform(u), color.r, color.g, color.b, color.a);
}
void ShaderProgram::Uniform(const char* u, const glm::mat2& m, bool transpose) {
    glUniformMatrix2fv(GetUniform(u), 1, transpose ? GL_TRUE : GL_FALSE, glm::value_ptr(m));
}
void ShaderProgram::Uniform(const char* u, const glm::mat3& m, bool transpose) {
    glUniformMatrix3fv(GetUniform(u), 1, transpose ? GL_TRUE : GL_FALSE, glm::value_ptr(m));
}
void ShaderProgram::Uniform(const char* u, const glm::mat4& m, bool transpose) {
    glUniformMatrix4fv(GetUniform(u), 1, transpose ? GL_TRUE : GL_FALSE, glm::value_ptr(m));
}
void ShaderProgram::Uniform(const char*, const glm::mat4x3&, bool) {
    KAVRIN_THROW_FROM("Uniform", std::logic_error("Do not use, don't work on Intel GMA/HD"));
}

}  // namespace Kavrin::Ogl
