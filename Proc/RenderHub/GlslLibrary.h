#pragma once

#include <string>
#include <utility>
#include <vector>

namespace Kavrin::Ogl {

// GLSL helper functions that any shader may call by name: (function name, GLSL
// text) in a fixed order. Built once at static initialisation, read-only after.
using GlslLibraryList = std::vector<std::pair<std::string, std::string>>;
const GlslLibraryList& GetGlslLibrary();
extern const GlslLibraryList& GlslLibrary;

namespace Details {
// "vec3( " + three "%13.10f" numbers + " )".
std::string GlslVec3(float x, float y, float z);
}  // namespace Details

}  // namespace Kavrin::Ogl
