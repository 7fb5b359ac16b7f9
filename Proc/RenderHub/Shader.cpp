#include <GL/glew.h>

#include "Shader.h"

#include <iomanip>
#include <vector>

#include <glog/logging.h>

#include "GlObjectCounter.h"
#include "ShaderSources.h"

namespace Kavrin::Ogl {

LogBuffer::~LogBuffer() {
    if (report) {
        LOG(ERROR) << stream.str();
    }
}

namespace Details {

std::string NumberedSource(std::string_view text) {
    std::ostringstream numbered;
    std::istringstream lines{std::string(text)};
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        numbered << std::left << std::setw(3) << number << line << '\n';
    }
    return numbered.str();
}

}  // namespace Details

Shader::Shader(ShaderType type, std::string_view source, OglCapability capability, LogBuffer& log)
    : type(type) {
    const bool isPixel = type == ShaderType::Pixel;
    const std::string adapted = AdaptShaderSource(source, isPixel, capability);
    name = glCreateShader(isPixel ? GL_FRAGMENT_SHADER : GL_VERTEX_SHADER);
    if (name == 0) {
        return;
    }
    Details::GlObjectCounter::Created(Details::GlObjectCounter::Shader);
    const GLchar* text = adapted.c_str();
    glShaderSource(name, 1, &text, nullptr);
    glCompileShader(name);

    GLint status = GL_FALSE;
    glGetShaderiv(name, GL_COMPILE_STATUS, &status);
    if (status == GL_TRUE) {
        return;
    }
    log << "Error compiling '" << (isPixel ? "pixel" : "vertex") << "' shader\n";
    GLint length = 0;
    glGetShaderiv(name, GL_INFO_LOG_LENGTH, &length);
    if (length > 0) {
        std::vector<GLchar> info(static_cast<std::size_t>(length));
        GLsizei written = 0;
        glGetShaderInfoLog(name, length, &written, info.data());
        if (written > 0) {
            log << "Errors:\n" << std::string_view(info.data(), static_cast<std::size_t>(written));
        }
    }
    log << "\n" << Details::NumberedSource(adapted) << "\n";
    Delete();
}

Shader::Shader(Shader&& other) noexcept : name(other.name), type(other.type) { other.name = 0; }

Shader& Shader::operator=(Shader&& other) noexcept {
    if (this != &other) {
        // The target's own shader is deleted, never leaked.
        Delete();
        name = other.name;
        type = other.type;
        other.name = 0;
    }
    return *this;
}

Shader::~Shader() { Delete(); }

void Shader::Delete() {
    if (name != 0) {
        glDeleteShader(name);
        Details::GlObjectCounter::Deleted(Details::GlObjectCounter::Shader);
        name = 0;
    }
}

bool Shader::IsValid() const { return name != 0 && glIsShader(name) == GL_TRUE; }

}  // namespace Kavrin::Ogl
