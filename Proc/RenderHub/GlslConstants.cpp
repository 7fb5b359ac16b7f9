#include <GL/glew.h>

#include "GlslConstants.h"

#include <cstdio>
#include <utility>

namespace Kavrin::Ogl {
namespace {

// Every digit a float has, and always a float literal.
std::string Number(float value) {
    char digits[32];
    std::snprintf(digits, sizeof(digits), "%.9g", static_cast<double>(value));
    std::string number(digits);
    if (number.find_first_of(".en") == std::string::npos) {
        number += ".0";
    }
    return number;
}

template <class Vector, class Format>
std::string List(const Vector& value, int count, Format format) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += (i > 0 ? ", " : "") + format(value[i]);
    }
    return text;
}

std::string Integer(int value) { return std::to_string(value); }

}  // namespace

std::string GlslConstants::Literal(float value) { return Number(value); }

GlslConstants& GlslConstants::Declare(const char* type, const char* name,
                                      const std::string& value) {
    text += std::string("const ") + type + " " + name + " = " + value + ";\n";
    return *this;
}

GlslConstants& GlslConstants::Define(const char* name, int value) {
    text += std::string("#define ") + name + " " + std::to_string(value) + "\n";
    return *this;
}

GlslConstants& GlslConstants::Int(const char* name, int value) {
    return Declare("int", name, Integer(value));
}

GlslConstants& GlslConstants::IVec2(const char* name, glm::ivec2 value) {
    return Declare("ivec2", name, "ivec2(" + List(value, 2, Integer) + ")");
}

GlslConstants& GlslConstants::IVec3(const char* name, glm::ivec3 value) {
    return Declare("ivec3", name, "ivec3(" + List(value, 3, Integer) + ")");
}

GlslConstants& GlslConstants::IVec4(const char* name, glm::ivec4 value) {
    return Declare("ivec4", name, "ivec4(" + List(value, 4, Integer) + ")");
}

GlslConstants& GlslConstants::Float(const char* name, float value) {
    return Declare("float", name, Number(value));
}

GlslConstants& GlslConstants::Vec2(const char* name, glm::vec2 value) {
    return Declare("vec2", name, "vec2(" + List(value, 2, Number) + ")");
}

GlslConstants& GlslConstants::Vec3(const char* name, glm::vec3 value) {
    return Declare("vec3", name, "vec3(" + List(value, 3, Number) + ")");
}

GlslConstants& GlslConstants::Vec4(const char* name, glm::vec4 value) {
    return Declare("vec4", name, "vec4(" + List(value, 4, Number) + ")");
}

GlslConstants& GlslConstants::Mat3(const char* name, const glm::mat3& value) {
    // Column by column, as GLSL's constructor takes them.
    std::string columns;
    for (int column = 0; column < 3; ++column) {
        columns += (column > 0 ? ", " : "") + List(value[column], 3, Number);
    }
    return Declare("mat3", name, "mat3(" + columns + ")");
}

ShaderSources<VShader::Id, ShaderGenerator> GlslConstants::Sources(const std::string& name,
                                                                   std::string_view body,
                                                                   const char* file) const {
    std::string source = text + std::string(body);
    return {name + "\n" + text, VShader::Id::XYUV, [source = std::move(source)] { return source; },
            file};
}

}  // namespace Kavrin::Ogl
