#include <GL/glew.h>

#include "Texture.h"

namespace Kavrin::Ogl {

TexturePool& TexturePool::GetInstance() {
    static TexturePool pool;
    return pool;
}

void TexturePool::Purge() { ++purgeCount; }

void TexturePool::Clear() { ++clearCount; }

namespace Details {

void InitFramebufferFunctions() {
    // The framebuffer table is filled here once Surface exists; core entry points
    // need no table until then.
}

}  // namespace Details

}  // namespace Kavrin::Ogl
