#pragma once

#include <GL/glew.h>

#include <functional>
#include <optional>

#include <boost/intrusive_ptr.hpp>

#include "Kavrin/DX/D11DeviceContext.h"
#include "Kavrin/Win/CComPtr.h"
#include "Kavrin/Win/D3D11.h"
#include "Kavrin/Win/DXGI.h"

#include "QtWin/InteropContext.h"

namespace Kavrin::Ogl {

// One image that is both a Direct3D 11 texture on the interop context's device
// and a GL texture of the library's context: rendered into and drawn with GL,
// used by Direct3D 11 through Encode. Create picks the keyed-mutex sharing
// implementation when the context supports it and WGL_NV_DX_interop otherwise.
// Construction, BindFrameBuffer, Draw and Destroy run on the GL thread with the
// creating context current; Encode and the reference counts on any thread.
class D11Surface : public InteropSurface {
public:
    using EncodeFunction = std::function<void(const boost::intrusive_ptr<DX::D11DeviceContext>&,
                                              const CComPtr<ID3D11Texture2D>&)>;

    // GL thread. Throws InteropException (E_NOTIMPL for formats no implementation
    // takes); a failed sharing surface is logged and replaced by an interop one.
    static boost::intrusive_ptr<D11Surface> Create(
        unsigned width, unsigned height, DXGI_FORMAT format,
        const boost::intrusive_ptr<InteropContext>& context);

    // A new texture on the context's Direct3D 11 device, for the caller's own use.
    // Any thread.
    CComPtr<ID3D11Texture2D> CreateTexture2D(const D3D11_TEXTURE2D_DESC& desc) const;
    // A new texture of the surface's size and format with these bind flags.
    CComPtr<ID3D11Texture2D> CreateTexture2D(unsigned bindFlags) const;

    // GL thread, creating context current.
    void Destroy() override;
    // Runs `fn` with the device context and the Direct3D texture while GL leaves
    // the texture alone. Any thread.
    virtual void Encode(const EncodeFunction& fn) const = 0;

protected:
    D11Surface(unsigned width, unsigned height, DXGI_FORMAT format,
               const boost::intrusive_ptr<InteropContext>& context);

    CComPtr<ID3D11Texture2D> d3dTexture;
};

namespace Details {

// Helpers of the Direct3D surfaces (not for use elsewhere).
// Throws InteropException E_FAIL, naming `function`, unless the surface's
// context is the current GL context.
void CheckSurfaceContext(const InteropContext& context, const char* function);
// A new GL texture name, counted as a live texture; throws InteropException
// "Failed to create OpenGL texture" naming `function` when the driver gives 0.
GLuint GenSurfaceTexture(const char* function);
// Deletes a name made by GenSurfaceTexture and sets it to 0; 0 is left alone.
void DeleteSurfaceTexture(GLuint& name);
// A new tiled texture (`texture`, from GenSurfaceTexture) whose one-level storage
// is the shared Direct3D memory behind `handle`, imported through a new
// `memoryObject`. GL errors are read after the import when `importFailure` is
// set, and after the storage: a texture without the memory would render into
// nothing. Throws InteropException E_FAIL naming `function`; the caller
// releases whatever was made.
void ImportSharedTexture(GLuint& texture, GLuint& memoryObject, GLenum handleType, HANDLE handle,
                         GLenum internalFormat, unsigned width, unsigned height,
                         const char* function, const char* importFailure,
                         const char* storageFailure);
// Gives up a name made by GenSurfaceTexture without GL calls, for a context
// that is gone or not current; sets it to 0.
void ForgetSurfaceTexture(GLuint& name);
// For destructors: runs `destroy`; when that fails (the creating context is not
// current, e.g. the worker stopped or restarted meanwhile), logs why and runs
// `abandon`, which forgets the GL names and still releases the Direct3D side.
void DestroyInDestructor(const std::function<void()>& destroy,
                         const std::function<void()>& abandon);

}  // namespace Details

}  // namespace Kavrin::Ogl
