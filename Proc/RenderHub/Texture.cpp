#include <GL/glew.h>

#include "Texture.h"

#include <atomic>
#include <cassert>
#include <stdexcept>
#include <string>

#include "Kavrin/Core/Clock.h"
#include "Kavrin/Core/Exception.h"

#include "GlObjectCounter.h"

namespace Kavrin::Ogl {
namespace Details {
namespace {
FramebufferFunctions framebufferFunctions;
}  // namespace

const FramebufferFunctions& GetFramebufferFunctions() { return framebufferFunctions; }

void InitFramebufferFunctions() {
    // Drivers before 3.0 offer framebuffers only through EXT_framebuffer_object.
    auto& f = framebufferFunctions;
    f.GenFramebuffers = glGenFramebuffers ? glGenFramebuffers : glGenFramebuffersEXT;
    f.BindFramebuffer = glBindFramebuffer ? glBindFramebuffer : glBindFramebufferEXT;
    f.DeleteFramebuffers = glDeleteFramebuffers ? glDeleteFramebuffers : glDeleteFramebuffersEXT;
    f.FramebufferTexture2D =
        glFramebufferTexture2D ? glFramebufferTexture2D : glFramebufferTexture2DEXT;
    f.GenRenderbuffers = glGenRenderbuffers ? glGenRenderbuffers : glGenRenderbuffersEXT;
    f.BindRenderbuffer = glBindRenderbuffer ? glBindRenderbuffer : glBindRenderbufferEXT;
    f.DeleteRenderbuffers =
        glDeleteRenderbuffers ? glDeleteRenderbuffers : glDeleteRenderbuffersEXT;
    f.FramebufferRenderbuffer =
        glFramebufferRenderbuffer ? glFramebufferRenderbuffer : glFramebufferRenderbufferEXT;
    f.RenderbufferStorage =
        glRenderbufferStorage ? glRenderbufferStorage : glRenderbufferStorageEXT;
    f.CheckFramebufferStatus =
        glCheckFramebufferStatus ? glCheckFramebufferStatus : glCheckFramebufferStatusEXT;
}

}  // namespace Details

namespace {

const Details::FramebufferFunctions& Fbo() { return Details::GetFramebufferFunctions(); }

std::atomic<std::uint64_t> contextCount{0};

// Using a name of a dead context would reach whatever texture now has it.
void RequireCurrentContext(const Texture& texture, const char* where) {
    if (texture.GetTexId() != 0 && !texture.IsOfCurrentContext()) {
        KAVRIN_THROW_FROM(where, std::logic_error("The texture belongs to an OpenGL context "
                                                  "that no longer exists"));
    }
}

std::uint64_t Area(const Texture::Params& params) {
    // Pixels, each product in unsigned 32-bit arithmetic.
    return static_cast<std::uint32_t>(params.width) * static_cast<std::uint32_t>(params.height);
}

}  // namespace

Texture::Texture(const Params& newParams, int wrap, int filter, const void* data) {
    Allocate(newParams, data);
    Tweak(wrap, filter);
}

Texture::~Texture() {
    if (!IsOfCurrentContext()) {
        Abandon();
    }
    if (name != 0) {
        glDeleteTextures(1, &name);
        Details::GlObjectCounter::Deleted(Details::GlObjectCounter::Texture);
    }
}

void Texture::Abandon() {
    if (name != 0) {
        Details::GlObjectCounter::Deleted(Details::GlObjectCounter::Texture);
        name = 0;
    }
}

bool Texture::IsOfCurrentContext() const {
    return context == contextCount.load(std::memory_order_relaxed);
}

void Texture::BeginContext() { contextCount.fetch_add(1, std::memory_order_relaxed); }

void Texture::Allocate(const Params& newParams, const void* data) {
    if (!IsOfCurrentContext()) {
        Abandon();
    }
    if (name == 0) {
        glGenTextures(1, &name);
        context = contextCount.load(std::memory_order_relaxed);
        Details::GlObjectCounter::Created(Details::GlObjectCounter::Texture);
    }
    glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glBindTexture(GL_TEXTURE_2D, name);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_BASE_LEVEL, 0);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAX_LEVEL, 0);
    glTexImage2D(GL_TEXTURE_2D, 0, newParams.internalFormat, newParams.width, newParams.height, 0,
                 newParams.format, newParams.type, data);
    params = newParams;
}

void Texture::Update(unsigned int rowLength, const void* const data) {
    Update(rowLength, data, params.format, params.type);
}

void Texture::Update(unsigned int rowLength, const void* const data, GLenum format, GLenum type) {
    RequireCurrentContext(*this, "Update");
    glPixelStorei(GL_UNPACK_ROW_LENGTH, static_cast<GLint>(rowLength));
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glBindTexture(GL_TEXTURE_2D, name);
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, params.width, params.height, format, type, data);
}

void Texture::Download(unsigned int rowLength, void* const data, Surface& surface) {
    Download(rowLength, data, surface, params.format, params.type);
}

void Texture::Download(unsigned int rowLength, void* const data, Surface&, GLenum format,
                       GLenum type) {
    RequireCurrentContext(*this, "Download");
    glPixelStorei(GL_PACK_ROW_LENGTH, static_cast<GLint>(rowLength));
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glBindTexture(GL_TEXTURE_2D, name);
    glGetTexImage(GL_TEXTURE_2D, 0, format, type, data);
}

void Texture::Use(int unit) const {
    RequireCurrentContext(*this, "Use");
    if (unit >= 0) {
        glActiveTexture(GL_TEXTURE0 + static_cast<GLenum>(unit));
    }
    glBindTexture(GL_TEXTURE_2D, name);
}

void Texture::Tweak(int wrap, int filter) const {
    RequireCurrentContext(*this, "Tweak");
    glBindTexture(GL_TEXTURE_2D, name);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, wrap);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, wrap);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, filter);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, filter);
}

unsigned char Texture::BytesPerComponent() const {
    switch (params.type) {
        case GL_UNSIGNED_BYTE:
            return 1;
        case GL_UNSIGNED_SHORT:
            return 2;
        default:
            KAVRIN_THROW_HOST("BytesPerComponent", Exception,
                              "Unsupported data format in texture: " + std::to_string(params.type));
    }
}

unsigned char Texture::ComponentsPerPixel() const {
    switch (params.format) {
        case GL_RED:
        case GL_RED_INTEGER:
            return 1;
        case GL_RG:
        case GL_RG_INTEGER:
            return 2;
        case GL_RGB:
        case GL_RGB_INTEGER:
            return 3;
        case GL_RGBA:
        case GL_RGBA_INTEGER:
            return 4;
        default:
            KAVRIN_THROW_HOST(
                "ComponentsPerPixel", Exception,
                "Unsupported channels type in texture: " + std::to_string(params.format));
    }
}

bool Texture::IsIntegerTexture() const {
    return params.format == GL_RED_INTEGER || params.format == GL_RG_INTEGER ||
           params.format == GL_RGB_INTEGER || params.format == GL_RGBA_INTEGER;
}

Surface::Surface() {
    Fbo().GenFramebuffers(1, &framebuffer);
    if (framebuffer != 0) {
        Details::GlObjectCounter::Created(Details::GlObjectCounter::Framebuffer);
    }
    Fbo().GenRenderbuffers(1, &renderbuffer);
    if (renderbuffer != 0) {
        Details::GlObjectCounter::Created(Details::GlObjectCounter::Renderbuffer);
    }
    if (framebuffer == 0 || renderbuffer == 0) {
        // The destructor does not run for a throwing constructor.
        Release();
        KAVRIN_THROW_FROM("Surface", std::logic_error("Can not allocate frame buffer"));
    }
}

Surface::~Surface() { Release(); }

void Surface::Release() {
    if (framebuffer != 0) {
        Fbo().DeleteFramebuffers(1, &framebuffer);
        Details::GlObjectCounter::Deleted(Details::GlObjectCounter::Framebuffer);
        framebuffer = 0;
    }
    if (renderbuffer != 0) {
        Fbo().DeleteRenderbuffers(1, &renderbuffer);
        Details::GlObjectCounter::Deleted(Details::GlObjectCounter::Renderbuffer);
        renderbuffer = 0;
    }
}

void Surface::Attach(Texture& texture) {
    RequireCurrentContext(texture, "Attach");
    // Refused before anything changes: the depth buffer keeps the size of the
    // texture it was made for.
    if (depthAttached) {
        KAVRIN_THROW_FROM("Attach", std::logic_error("You forgot to detach renderbuffer"));
    }
    attached = &texture;
    Fbo().BindFramebuffer(GL_FRAMEBUFFER, framebuffer);
    glViewport(0, 0, texture.GetTexParams().width, texture.GetTexParams().height);
    Fbo().FramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D,
                               texture.GetTexId(), 0);
}

void Surface::AttachDepth() {
    assert(attached != nullptr && "attach a texture first");
    Bind();
    const auto& params = attached->GetTexParams();
    Fbo().BindRenderbuffer(GL_RENDERBUFFER, renderbuffer);
    Fbo().RenderbufferStorage(GL_RENDERBUFFER, GL_DEPTH_COMPONENT24, params.width, params.height);
    Fbo().FramebufferRenderbuffer(GL_FRAMEBUFFER, GL_DEPTH_ATTACHMENT, GL_RENDERBUFFER,
                                  renderbuffer);
    glEnable(GL_DEPTH_TEST);
    glDepthMask(GL_TRUE);
    glClear(GL_DEPTH_BUFFER_BIT);
    depthAttached = true;
}

void Surface::DetachDepth() {
    assert(attached != nullptr && "attach a texture first");
    Bind();
    Fbo().FramebufferRenderbuffer(GL_FRAMEBUFFER, GL_DEPTH_ATTACHMENT, GL_RENDERBUFFER, 0);
    glDepthMask(GL_FALSE);
    glDisable(GL_DEPTH_TEST);
    depthAttached = false;
}

void Surface::Bind() const {
    assert(attached != nullptr && "attach a texture first");
    Fbo().BindFramebuffer(GL_FRAMEBUFFER, framebuffer);
    glViewport(0, 0, attached->GetTexParams().width, attached->GetTexParams().height);
}

TexturePool& TexturePool::GetInstance() {
    static TexturePool pool;
    return pool;
}

TexturePool::~TexturePool() {
    // At process exit no context may be current any more: the GL names are
    // abandoned with it rather than deleted through a dead context.
    for (auto& texture : textures) {
        if (texture) {
            texture->name = 0;
        }
    }
}

void TexturePool::DecreaseArea(const std::unique_ptr<Texture>& texture) {
    totalArea -= Area(texture->params);
}

void TexturePool::EvictOldest() {
    DecreaseArea(textures.back());
    textures.pop_back();
    --count;
}

std::unique_ptr<Texture> TexturePool::GetTex(const Texture::Params& params) {
    for (auto it = textures.begin(); it != textures.end(); ++it) {
        if ((*it)->params == params) {
            DecreaseArea(*it);
            std::unique_ptr<Texture> texture = std::move(*it);
            texture->Tweak(GL_CLAMP_TO_EDGE, GL_LINEAR);
            textures.erase(it);
            --count;
            return texture;
        }
    }
    const std::uint64_t area = Area(params);
    while (area + totalArea > AreaLimit && !textures.empty()) {
        EvictOldest();
    }
    return std::make_unique<Texture>(params, GL_CLAMP_TO_EDGE, GL_LINEAR, nullptr);
}

void TexturePool::PutTex(std::unique_ptr<Texture>&& texture) {
    if (!texture) {
        return;
    }
    if (!texture->IsOfCurrentContext()) {
        texture->Abandon();
        return;
    }
    totalArea += Area(texture->params);
    texture->lastUsed = Core::SteadyNowNs();
    textures.push_front(std::move(texture));
    ++count;
}

void TexturePool::Purge() {
    ++purgeCount;
    const std::int64_t now = Core::SteadyNowNs();
    while (!textures.empty() && now - textures.back()->lastUsed >= IdleLimitNs) {
        EvictOldest();
    }
}

void TexturePool::Clear() {
    ++clearCount;
    textures.clear();
    count = 0;
    totalArea = 0;
}

PooledTextures::~PooledTextures() {
    for (auto& texture : textures) {
        TexturePool::GetInstance().PutTex(std::move(texture));
    }
}

Texture& PooledTextures::Take(const Texture::Params& params) {
    textures.push_back(TexturePool::GetInstance().GetTex(params));
    return *textures.back();
}

}  // namespace Kavrin::Ogl
