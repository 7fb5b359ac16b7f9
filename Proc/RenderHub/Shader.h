#pragma once

#include <GL/glew.h>

#include <sstream>
#include <string>
#include <string_view>

#include "OglInformation.h"

namespace Kavrin::Ogl {

enum class ShaderType : std::int32_t { Vertex = 0, Pixel = 1 };

// Collects every message of one program build and logs it as a single ERROR
// entry when destroyed, unless the build succeeded and cleared `report`.
class LogBuffer {
public:
    LogBuffer() = default;
    ~LogBuffer();
    LogBuffer(const LogBuffer&) = delete;
    LogBuffer& operator=(const LogBuffer&) = delete;

    template <class T>
    LogBuffer& operator<<(const T& value) {
        stream << value;
        return *this;
    }
    void SetReport(bool value) { report = value; }
    bool GetReport() const { return report; }
    std::string Text() const { return stream.str(); }

private:
    std::ostringstream stream;
    bool report = true;
};

// Owns one compiled GL shader object. Move-only; GL thread only.
class Shader {
public:
    Shader(Shader&& other) noexcept;
    Shader& operator=(Shader&& other) noexcept;
    Shader(const Shader&) = delete;
    Shader& operator=(const Shader&) = delete;
    ~Shader();

    // glIsShader of the name; 0 is never valid.
    bool IsValid() const;
    GLuint GetName() const { return name; }
    ShaderType GetType() const { return type; }

protected:
    // Adapts the source to the capability level and compiles it; on failure the
    // report goes to `log` and the name stays 0.
    Shader(ShaderType type, std::string_view source, OglCapability capability, LogBuffer& log);

private:
    void Delete();

    GLuint name = 0;
    ShaderType type;
};

class VertexShader : public Shader {
public:
    VertexShader(std::string_view source, OglCapability capability, LogBuffer& log)
        : Shader(ShaderType::Vertex, source, capability, log) {}
    VertexShader(VertexShader&&) noexcept = default;
    VertexShader& operator=(VertexShader&&) noexcept = default;
};

class PixelShader : public Shader {
public:
    PixelShader(std::string_view source, OglCapability capability, LogBuffer& log)
        : Shader(ShaderType::Pixel, source, capability, log) {}
    PixelShader(PixelShader&&) noexcept = default;
    PixelShader& operator=(PixelShader&&) noexcept = default;
};

namespace Details {
// The text with each line prefixed by its number, left-aligned in 3 columns.
std::string NumberedSource(std::string_view text);
}  // namespace Details

}  // namespace Kavrin::Ogl
