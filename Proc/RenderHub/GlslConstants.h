#pragma once

#include <GL/glew.h>

#include <string>
#include <string_view>

#include <glm/glm.hpp>

#include "ShaderSources.h"

namespace Kavrin::Ogl {

// Values a pixel shader is specialised for, written as GLSL constants and
// macros ahead of its body; the text also names the program, so each
// specialisation is compiled once and cached. On llvmpipe a shader whose
// matrices, ranges and shifts are constants runs about twice as fast as one
// that reads them from uniforms.
class GlslConstants {
public:
    GlslConstants& Define(const char* name, int value = 1);
    GlslConstants& Int(const char* name, int value);
    GlslConstants& IVec2(const char* name, glm::ivec2 value);
    GlslConstants& IVec3(const char* name, glm::ivec3 value);
    GlslConstants& IVec4(const char* name, glm::ivec4 value);
    GlslConstants& Float(const char* name, float value);
    GlslConstants& Vec2(const char* name, glm::vec2 value);
    GlslConstants& Vec3(const char* name, glm::vec3 value);
    GlslConstants& Vec4(const char* name, glm::vec4 value);
    GlslConstants& Mat3(const char* name, const glm::mat3& value);

    const std::string& Text() const { return text; }
    // A float as a GLSL literal with every digit it has.
    static std::string Literal(float value);
    // The program of `body` after these constants, named `name` and them.
    ShaderSources<VShader::Id, ShaderGenerator> Sources(const std::string& name,
                                                        std::string_view body,
                                                        const char* file) const;

private:
    GlslConstants& Declare(const char* type, const char* name, const std::string& value);

    std::string text;
};

}  // namespace Kavrin::Ogl
