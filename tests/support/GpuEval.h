#pragma once
// Evaluates pixel-shader expressions on the GPU into a float texture.
#include <GL/glew.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <glm/glm.hpp>

#include "ShaderProgram.h"
#include "ShaderStorage.h"
#include "Texture.h"

namespace Kavrin::Test {

// Evaluates `pixelBody` (GLSL 1.30, no version line, declarations ending with a
// blank line before main) once per case, one pixel each: the body reads argument k
// of its case bit-exact with `vec4 EvalInput(int k)`; every case has as many. One
// unclamped colour per case, in order, drawn on the GL thread; a program that does
// not build is a test failure and gives an empty vector.
std::vector<glm::vec4> EvaluatePerCase(std::string_view pixelBody,
                                       const std::vector<std::vector<glm::vec4>>& cases);

// An RGBA32F texture, clamped and unfiltered, holding `texels` (width x height,
// row 0 first) or left undefined. GL thread only.
std::unique_ptr<Ogl::Texture> FloatTexture(int width, int height,
                                           const glm::vec4* texels = nullptr);

// Level 0 of an RGBA32F texture, read back unclamped. GL thread only.
std::vector<glm::vec4> ReadFloat(Ogl::Texture& texture, const Ogl::ShaderStorage& storage);

// "(x, y, z, w)" with enough digits to tell floats apart, for failure messages.
std::string Describe(const glm::dvec4& value);

}  // namespace Kavrin::Test
