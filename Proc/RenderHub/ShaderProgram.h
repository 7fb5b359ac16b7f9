#pragma once

#include <GL/glew.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <glm/glm.hpp>

#include "Kavrin/ColorF.h"

#include "OglInformation.h"
#include "Shader.h"

namespace Kavrin::Ogl {

namespace Details {
// 64-bit FNV-1a over the bytes of a name.
struct Fnv1aHash {
    std::size_t operator()(const std::string& text) const noexcept {
        std::uint64_t hash = 14695981039346656037ull;
        for (unsigned char byte : text) {
            hash = (hash ^ byte) * 1099511628211ull;
        }
        return static_cast<std::size_t>(hash);
    }
};
}  // namespace Details

// A linked GL program with a cache of its uniform locations. Build failures
// never throw: the one build report is logged and IsValid() is false.
// Move-only; GL thread only.
class ShaderProgram {
public:
    ShaderProgram(const std::string& name, std::string_view vertexSource,
                  std::string_view pixelSource, OglCapability capability);
    ShaderProgram(const std::string& name, const VertexShader& vertexShader,
                  std::string_view pixelSource, OglCapability capability);
    ShaderProgram(ShaderProgram&& other) noexcept;
    // Deletes the program the target held.
    ShaderProgram& operator=(ShaderProgram&& other) noexcept;
    ShaderProgram(const ShaderProgram&) = delete;
    ShaderProgram& operator=(const ShaderProgram&) = delete;
    ~ShaderProgram();

    void Swap(ShaderProgram& other) noexcept;

    bool IsValid() const;
    // Binds the program; logs (does not throw) when it is not valid.
    void Use() const;
    int GetAttributeLocation(const char* attribute) const;
    // Uncached, silent lookup.
    bool UniformExists(const std::string& uniform) const;

    GLuint GetName() const { return program; }
    const std::string& GetProgramName() const { return name; }

    // Setters: the location comes from the cache; a missing uniform is logged
    // once per program and name and then ignored by GL (location -1).
    void Uniform(const char* uniform, int v);
    void Uniform(const char* uniform, float v0);
    void Uniform(const char* uniform, float v0, float v1);
    void Uniform(const char* uniform, float v0, float v1, float v2);
    void Uniform(const char* uniform, float v0, float v1, float v2, float v3);
    void Uniform(const char* uniform, double v0);
    void Uniform(const char* uniform, double v0, double v1);
    void Uniform(const char* uniform, double v0, double v1, double v2);
    void Uniform(const char* uniform, double v0, double v1, double v2, double v3);
    void Uniform(const char* uniform, const glm::vec2& v);
    void Uniform(const char* uniform, const glm::vec3& v);
    void Uniform(const char* uniform, const glm::vec4& v);
    void Uniform(const char* uniform, const glm::ivec2& v);
    void Uniform(const char* uniform, const glm::ivec3& v);
    void Uniform(const char* uniform, const glm::ivec4& v);
    void Uniform(const char* uniform, const std::array<float, 2>& v);
    void Uniform(const char* uniform, const std::array<float, 3>& v);
    void Uniform(const char* uniform, const std::array<float, 4>& v);
    void Uniform(const char* uniform, const std::array<int, 2>& v);
    void Uniform(const char* uniform, const std::array<int, 3>& v);
    void Uniform(const char* uniform, const std::array<int, 4>& v);
    void Uniform(const char* uniform, const std::vector<float>& values);
    void Uniform(const char* uniform, const ColorF& color);
    void Uniform(const char* uniform, const glm::mat2& m, bool transpose);
    void Uniform(const char* uniform, const glm::mat3& m, bool transpose);
    void Uniform(const char* uniform, const glm::mat4& m, bool transpose);
    // Always throws std::logic_error: 4x3 uniforms fail on some drivers.
    void Uniform(const char* uniform, const glm::mat4x3& m, bool transpose);

private:
    ShaderProgram(const std::string& name, const VertexShader& vertexShader,
                  const PixelShader& pixelShader, LogBuffer& log);
    ShaderProgram() = default;

    int GetUniform(const char* uniform);
    void DeleteProgram();

    GLuint program = 0;
    std::unordered_map<std::string, GLint, Details::Fnv1aHash> uniformCache;
    std::string name;
};

}  // namespace Kavrin::Ogl
