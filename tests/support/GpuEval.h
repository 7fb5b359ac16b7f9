#pragma once
// Helpers that render a pixel shader into a small float texture and read it back.
#include <GL/glew.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <glm/glm.hpp>

#include "ShaderProgram.h"
#include "ShaderStorage.h"
#include "Texture.h"

namespace Kavrin::Test {

// Called on the GL thread with the program bound, before the draw.
using UniformSetter = std::function<void(Ogl::ShaderProgram&)>;

// Draws a full-target quad with the built-in XYUV vertex shader and `pixelBody`
// (a pixel shader body in the GLSL 1.30 dialect, no version line, its
// declarations ending with a blank line before main) into a width x height
// RGBA32F target, and reads it back unclamped. TexCoord0 spans [0, 1]^2, so
// pixel (x, y) sees ((x + 0.5) / width, (y + 0.5) / height) and gl_FragCoord
// (x + 0.5, y + 0.5). Pixel (x, y) is at [y * width + x], bottom row first.
// Draws with the worker's quad and framebuffer, on the GL thread, and waits. A
// program that does not build is a test failure and gives an empty vector.
std::vector<glm::vec4> EvaluatePixelShader(std::string_view pixelBody, int width, int height,
                                           const UniformSetter& setUniforms = {});

// Evaluates `pixelBody` once per case, one pixel each: the body reads argument
// k of its case with `vec4 EvalInput(int k)` (a texel fetch, so the values
// arrive bit-exact). Every case needs the same number of arguments. Returns
// one colour per case, in case order; empty on failure as above.
std::vector<glm::vec4> EvaluatePerCase(std::string_view pixelBody,
                                       const std::vector<std::vector<glm::vec4>>& cases,
                                       const UniformSetter& setUniforms = {});

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
