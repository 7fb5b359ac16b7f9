#include <GL/glew.h>

#include "QtWin/D11Surface.h"

#include <exception>
#include <stdexcept>
#include <string>

#include <boost/exception/diagnostic_information.hpp>
#include <glog/logging.h>

#include "Kavrin/Core/Exception.h"
#include "Kavrin/DX/D11Device.h"
#include "Kavrin/DX/D11SharedTexture2D.h"
#include "Kavrin/Win/GLInterop.h"
#include "Kavrin/Win/WinBase.h"

#include "GlObjectCounter.h"
#include "QtOgl/QtOglContext.h"

namespace Kavrin::Ogl {
namespace {

using Details::CheckSurfaceContext;
using Details::DeleteSurfaceTexture;
using Details::DestroyInDestructor;
using Details::ForgetSurfaceTexture;
using Details::GenSurfaceTexture;
using Details::ImportSharedTexture;

constexpr DWORD kSharedAccess = DXGI_SHARED_RESOURCE_READ | DXGI_SHARED_RESOURCE_WRITE;

struct InteropLayout {
    GLenum internalFormat;
    GLenum format;
    GLenum type;
};

InteropLayout InteropLayoutOf(DXGI_FORMAT format) {
    switch (format) {
        case DXGI_FORMAT_R32G32B32A32_FLOAT:
            return {GL_RGBA32F, GL_RGBA, GL_FLOAT};
        case DXGI_FORMAT_R16G16B16A16_FLOAT:
            return {GL_RGBA16F, GL_RGBA, GL_HALF_FLOAT};
        case DXGI_FORMAT_R10G10B10A2_UNORM:
            return {GL_RGB10_A2, GL_RGBA, GL_UNSIGNED_INT_10_10_10_2};
        case DXGI_FORMAT_R8G8B8A8_UNORM:
            return {GL_RGBA8, GL_RGBA, GL_UNSIGNED_BYTE};
        case DXGI_FORMAT_B8G8R8A8_UNORM:
            return {GL_RGBA8, GL_BGRA, GL_UNSIGNED_BYTE};
        default:
            KAVRIN_THROW_INTEROP("Create", E_NOTIMPL, "Unsupported DXGI format for interop");
    }
}

GLenum SharingFormatOf(DXGI_FORMAT format) {
    switch (format) {
        case DXGI_FORMAT_R32G32B32A32_FLOAT:
            return GL_RGBA32F;
        case DXGI_FORMAT_R16G16B16A16_FLOAT:
            return GL_RGBA16F;
        case DXGI_FORMAT_R8G8B8A8_UNORM:
            return GL_RGBA8;
        default:
            KAVRIN_THROW_INTEROP("D11SharingSurface", E_NOTIMPL,
                                 "Unsupported DXGI format for interop");
    }
}

D3D11_TEXTURE2D_DESC SurfaceDesc(unsigned width, unsigned height, DXGI_FORMAT format,
                                 unsigned bindFlags, unsigned miscFlags) {
    D3D11_TEXTURE2D_DESC desc{};
    desc.Width = width;
    desc.Height = height;
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = format;
    desc.SampleDesc = {1, 0};
    desc.Usage = D3D11_USAGE_DEFAULT;
    desc.BindFlags = bindFlags;
    desc.CPUAccessFlags = 0;
    desc.MiscFlags = miscFlags;
    return desc;
}

constexpr unsigned kSurfaceBindFlags = D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET;

// WGL_NV_DX_interop: a shareable Direct3D 11 texture registered with a GL
// texture, locked around every GL use; the GL work runs inside the device's
// Encode so that GL and Direct3D 11 never use the device at once.
class D11InteropSurface final : public D11Surface {
public:
    D11InteropSurface(unsigned width, unsigned height, DXGI_FORMAT format,
                      const boost::intrusive_ptr<InteropContext>& context)
        : D11Surface(width, height, format, context) {
        const InteropLayout layout = InteropLayoutOf(format);
        context->GetD11Device()->Encode([&](const boost::intrusive_ptr<DX::D11DeviceContext>&) {
            try {
                d3dTexture = this->context->GetD11Device()->CreateTexture2D(
                    SurfaceDesc(width, height, format, kSurfaceBindFlags,
                                D3D11_RESOURCE_MISC_SHARED),
                    nullptr);
                texture = GenSurfaceTexture("Create");
                glBindTexture(s_target, texture);
                glTexImage2D(s_target, 0, static_cast<GLint>(layout.internalFormat),
                             static_cast<GLsizei>(width), static_cast<GLsizei>(height), 0,
                             layout.format, layout.type, nullptr);
                glBindTexture(s_target, 0);
                interopObject =
                    wglDXRegisterObjectNV(this->context->GetOglDevice(), d3dTexture.p, texture,
                                          s_target, WGL_ACCESS_WRITE_DISCARD_NV);
                if (interopObject == nullptr) {
                    KAVRIN_THROW_INTEROP("Create", HRESULT_FROM_WIN32(GetLastError()),
                                         "Failed to bind OpenGL texture with DirectX texture");
                }
                accessMode = WGL_ACCESS_WRITE_DISCARD_NV;
            } catch (...) {
                DeleteSurfaceTexture(texture);
                d3dTexture.Release();
                throw;
            }
        });
        context->RegisterSurface(this);
    }

    ~D11InteropSurface() override {
        DestroyInDestructor([this] { Destroy(); },
                            [this] {
                                // Registrations die with the interop device.
                                interopObject = nullptr;
                                ForgetSurfaceTexture(texture);
                                d3dTexture.Release();
                            });
        context->UnregisterSurface(this);
    }

    void BindFrameBuffer(const std::function<void()>& draw,
                         const std::optional<GLViewport>& viewport) const override {
        CheckSurfaceContext(*context, "BindFrameBuffer");
        context->GetD11Device()->Encode([&](const boost::intrusive_ptr<DX::D11DeviceContext>&) {
            Lock(WGL_ACCESS_WRITE_DISCARD_NV);
            const Unlocker unlock(*this);
            InteropTexture::BindFrameBuffer(draw, viewport);
        });
    }

    void Draw(const Mesh& mesh, const ShaderStorage& storage) const override {
        CheckSurfaceContext(*context, "Draw");
        context->GetD11Device()->Encode([&](const boost::intrusive_ptr<DX::D11DeviceContext>&) {
            Lock(WGL_ACCESS_READ_ONLY_NV);
            const Unlocker unlock(*this);
            InteropTexture::Draw(mesh, storage);
        });
    }

    void Encode(const EncodeFunction& fn) const override {
        context->GetD11Device()->Encode(
            [&](const boost::intrusive_ptr<DX::D11DeviceContext>& deviceContext) {
                fn(deviceContext, d3dTexture);
            });
    }

    void Destroy() override {
        CheckSurfaceContext(*context, "Destroy");
        if (interopObject != nullptr) {
            context->GetD11Device()->Encode([&](const boost::intrusive_ptr<DX::D11DeviceContext>&) {
                wglDXUnregisterObjectNV(context->GetOglDevice(), interopObject);
                interopObject = nullptr;
            });
        }
        DeleteSurfaceTexture(texture);
        d3dTexture.Release();
    }

private:
    // Unlocks on every way out of a locked GL use; the driver's answer does not
    // matter then.
    class Unlocker {
    public:
        explicit Unlocker(const D11InteropSurface& surface) : surface(surface) {}
        ~Unlocker() {
            HANDLE object = surface.interopObject;
            wglDXUnlockObjectsNV(surface.context->GetOglDevice(), 1, &object);
        }
        Unlocker(const Unlocker&) = delete;
        Unlocker& operator=(const Unlocker&) = delete;

    private:
        const D11InteropSurface& surface;
    };

    void Lock(GLenum access) const {
        if (accessMode != access) {
            if (!wglDXObjectAccessNV(interopObject, access)) {
                KAVRIN_THROW_INTEROP("Lock", HRESULT_FROM_WIN32(GetLastError()),
                                     "Failed to change access mode to surface");
            }
            accessMode = access;
        }
        HANDLE object = interopObject;
        if (wglDXLockObjectsNV(context->GetOglDevice(), 1, &object)) {
            return;
        }
        const DWORD error = GetLastError();
        std::string description;
        switch (error) {
            case ERROR_INVALID_DATA:
                description = "Surface does not belong to the interop device";
                break;
            case ERROR_LOCK_FAILED:
                description = "Failed to lock surface";
                break;
            case ERROR_BUSY:
                description = "Surface is already locked";
                break;
            default:
                description = "Failed to lock surface, error code = " + std::to_string(error);
                break;
        }
        KAVRIN_THROW_INTEROP("Lock", HRESULT_FROM_WIN32(error), description);
    }

    HANDLE interopObject = nullptr;
    mutable GLenum accessMode = WGL_ACCESS_READ_ONLY_NV;
};

// GL_EXT_memory_object_win32 + GL_EXT_win32_keyed_mutex: a Direct3D 11 texture
// shared through an NT handle and imported into GL as memory; each API holds the
// keyed mutex (key 0) around its use.
class D11SharingSurface final : public D11Surface {
public:
    D11SharingSurface(unsigned width, unsigned height, DXGI_FORMAT format,
                      const boost::intrusive_ptr<InteropContext>& context)
        : D11Surface(width, height, format, context) {
        const GLenum internalFormat = SharingFormatOf(format);
        try {
            sharedTexture = DX::D11SharedTexture2D::Create(
                context->GetD11Device(), SurfaceDesc(width, height, format, kSurfaceBindFlags, 0));
            sharedHandle = sharedTexture->CreateSharedHandle(kSharedAccess);
            // A failure falls back to the interop surface (Create).
            ImportSharedTexture(texture, memoryObject, GL_HANDLE_TYPE_D3D11_IMAGE_EXT, sharedHandle,
                                internalFormat, width, height, "D11SharingSurface", nullptr,
                                "Failed to create OpenGL texture on DirectX 11 memory");
            d3dTexture = sharedTexture->GetTexture();
        } catch (...) {
            ReleaseObjects();
            throw;
        }
        context->RegisterSurface(this);
    }

    ~D11SharingSurface() override {
        DestroyInDestructor([this] { Destroy(); }, [this] { ReleaseObjects(false); });
        context->UnregisterSurface(this);
    }

    void BindFrameBuffer(const std::function<void()>& draw,
                         const std::optional<GLViewport>& viewport) const override {
        CheckSurfaceContext(*context, "BindFrameBuffer");
        Lock();
        const Unlocker unlock(memoryObject);
        InteropTexture::BindFrameBuffer(draw, viewport);
    }

    void Draw(const Mesh& mesh, const ShaderStorage& storage) const override {
        CheckSurfaceContext(*context, "Draw");
        Lock();
        const Unlocker unlock(memoryObject);
        InteropTexture::Draw(mesh, storage);
    }

    void Encode(const EncodeFunction& fn) const override {
        context->GetD11Device()->Encode(
            [&](const boost::intrusive_ptr<DX::D11DeviceContext>& deviceContext) {
                sharedTexture->AcquireSync(0, INFINITE);
                try {
                    fn(deviceContext, d3dTexture);
                } catch (...) {
                    sharedTexture->ReleaseSync(0);
                    throw;
                }
                sharedTexture->ReleaseSync(0);
            });
    }

    void Destroy() override {
        CheckSurfaceContext(*context, "Destroy");
        ReleaseObjects();
    }

private:
    class Unlocker {
    public:
        explicit Unlocker(GLuint memoryObject) : memoryObject(memoryObject) {}
        ~Unlocker() { glReleaseKeyedMutexWin32EXT(memoryObject, 0); }
        Unlocker(const Unlocker&) = delete;
        Unlocker& operator=(const Unlocker&) = delete;

    private:
        GLuint memoryObject;
    };

    void Lock() const {
        if (glAcquireKeyedMutexWin32EXT(memoryObject, 0, INFINITE) != GL_TRUE) {
            KAVRIN_THROW_INTEROP("Lock", E_FAIL, "Failed to acquire keyed mutex");
        }
    }

    // Whatever exists, in the reverse order of creation; safe on a half-built
    // surface and a second time. Without `withGL` the GL names are forgotten.
    void ReleaseObjects(bool withGL = true) {
        if (memoryObject != 0 && withGL) {
            glDeleteMemoryObjectsEXT(1, &memoryObject);
        }
        memoryObject = 0;
        if (sharedHandle != nullptr) {
            CloseHandle(sharedHandle);
            sharedHandle = nullptr;
        }
        sharedTexture.reset();
        withGL ? DeleteSurfaceTexture(texture) : ForgetSurfaceTexture(texture);
        d3dTexture.Release();
    }

    boost::intrusive_ptr<DX::D11SharedTexture2D> sharedTexture;
    HANDLE sharedHandle = nullptr;
    GLuint memoryObject = 0;
};

}  // namespace

namespace Details {

void CheckSurfaceContext(const InteropContext& context, const char* function) {
    if (context.GetOglContext() != QtOglContext::GetCurrent()) {
        KAVRIN_THROW_INTEROP(function, E_FAIL,
                             "The surface creation context and the current OpenGL context are "
                             "different");
    }
}

GLuint GenSurfaceTexture(const char* function) {
    GLuint name = 0;
    glGenTextures(1, &name);
    if (name == 0) {
        KAVRIN_THROW_INTEROP(function, E_FAIL, "Failed to create OpenGL texture");
    }
    GlObjectCounter::Created(GlObjectCounter::Texture);
    return name;
}

void DeleteSurfaceTexture(GLuint& name) {
    if (name == 0) {
        return;
    }
    glDeleteTextures(1, &name);
    GlObjectCounter::Deleted(GlObjectCounter::Texture);
    name = 0;
}

void ImportSharedTexture(GLuint& texture, GLuint& memoryObject, GLenum handleType, HANDLE handle,
                         GLenum internalFormat, unsigned width, unsigned height,
                         const char* function, const char* importFailure,
                         const char* storageFailure) {
    texture = GenSurfaceTexture(function);
    glBindTexture(InteropTexture::s_target, texture);
    glTexParameteri(InteropTexture::s_target, GL_TEXTURE_TILING_EXT, GL_OPTIMAL_TILING_EXT);
    glBindTexture(InteropTexture::s_target, 0);
    glCreateMemoryObjectsEXT(1, &memoryObject);
    if (memoryObject == 0) {
        KAVRIN_THROW_INTEROP(function, E_FAIL, "Failed to create OpenGL memory object");
    }
    while (glGetError() != GL_NO_ERROR) {
        // An error left by earlier work must not be read as the import's.
    }
    glImportMemoryWin32HandleEXT(memoryObject, 0, handleType, handle);
    if (importFailure != nullptr && glGetError() != GL_NO_ERROR) {
        KAVRIN_THROW_INTEROP(function, E_FAIL, importFailure);
    }
    glTextureStorageMem2DEXT(texture, 1, internalFormat, static_cast<GLsizei>(width),
                             static_cast<GLsizei>(height), memoryObject, 0);
    if (glGetError() != GL_NO_ERROR) {
        KAVRIN_THROW_INTEROP(function, E_FAIL, storageFailure);
    }
}

void ForgetSurfaceTexture(GLuint& name) {
    if (name != 0) {
        GlObjectCounter::Deleted(GlObjectCounter::Texture);
        name = 0;
    }
}

void DestroyInDestructor(const std::function<void()>& destroy,
                         const std::function<void()>& abandon) {
    try {
        destroy();
        return;
    } catch (...) {
        LOG(ERROR) << boost::current_exception_diagnostic_information(true);
    }
    abandon();
}

}  // namespace Details

D11Surface::D11Surface(unsigned width, unsigned height, DXGI_FORMAT format,
                       const boost::intrusive_ptr<InteropContext>& context)
    : InteropSurface(width, height, format, context) {}

boost::intrusive_ptr<D11Surface> D11Surface::Create(
    unsigned width, unsigned height, DXGI_FORMAT format,
    const boost::intrusive_ptr<InteropContext>& context) {
    if (!context) {
        KAVRIN_THROW_FROM("Create", std::invalid_argument("Interop context is null"));
    }
    if (context->IsD11SharingSupported()) {
        try {
            return new D11SharingSurface(width, height, format, context);
        } catch (...) {
            LOG(ERROR) << boost::current_exception_diagnostic_information(true);
        }
    }
    return new D11InteropSurface(width, height, format, context);
}

CComPtr<ID3D11Texture2D> D11Surface::CreateTexture2D(const D3D11_TEXTURE2D_DESC& desc) const {
    return context->GetD11Device()->CreateTexture2D(desc, nullptr);
}

CComPtr<ID3D11Texture2D> D11Surface::CreateTexture2D(unsigned bindFlags) const {
    return CreateTexture2D(SurfaceDesc(static_cast<unsigned>(GetWidth()),
                                       static_cast<unsigned>(GetHeight()), format, bindFlags, 0));
}

void D11Surface::Destroy() {
    Details::DeleteSurfaceTexture(texture);
    d3dTexture.Release();
}

}  // namespace Kavrin::Ogl
