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

// Evaluates `pixelBody` (a pixel shader body in the GLSL 1.30 dialect, no
// version line, its declarations ending with a blank line before main) once
// per case, one pixel each, with the built-in XYUV vertex shader: the body
// reads argument k of its case with `vec4 EvalInput(int k)` (a texel fetch, so
// the values arrive bit-exact). Every case needs the same number of arguments.
// Returns one unclamped colour per case, in case order. Draws with the worker's
// quad and framebuffer, on the GL thread, and waits. A program that does not
// build is a test failure and gives an empty vector.
std::vector<glm::vec4> EvaluatePerCase(std::string_view pixelBody,
                                       const std::vector<std::vector<glm::vec4>>& cases);

// An RGBA32F texture, clamped and unfiltered, holding `texels` (width x height,
// row 0 first) or left undefined. GL thread only.
std::unique_ptr<Ogl::Texture> FloatTexture(int width, int height,
                                           const glm::vec4* texels = nullptr);

// Level 0 of an RGBA32F texture, read back unclamped. GL thread only.
std::vector<glm::vec4> ReadFloat(Ogl::Texture& texture, const Ogl::ShaderStorage& storage);

// "(x, y, z, w)" with enough digits to tell floats apart, for failure messages.
std::string Describe(const glm::vec4& value);
std::string Describe(const glm::dvec4& value);

}  // namespace Kavrin::Test
