#pragma once

#include <GL/glew.h>

#include <memory>
#include <mutex>

#include <boost/intrusive_ptr.hpp>

#include "Kavrin/DX/D3Device.h"

#include "QtOgl/QtOglContext.h"
#include "QtWin/InteropContext.h"

namespace Kavrin::Ogl {

// The GL thread's context with its shared interop context: created when the
// context is activated, dropped when it is deactivated. GetInteropContext,
// GetInteropDevice and FindContext may be called on any thread.
class WinOpenGLContext : public QtOglContext {
public:
    // Empty when the context could not be made (see QtOglContext::IsValid).
    static std::shared_ptr<WinOpenGLContext> Create(QSurface* surface, bool debugLogging);

    WinOpenGLContext(QSurface* surface, bool debugLogging);
    ~WinOpenGLContext() override;

    bool Activate() override;
    void Deactivate() override;

    boost::intrusive_ptr<InteropContext> GetInteropContext();
    // The interop device of that type; a removed device drops the interop
    // context, and `create` makes a new one (waiting for the GL thread when
    // called elsewhere).
    boost::intrusive_ptr<DX::D3Device> GetInteropDevice(InteropContext::DXDeviceType type,
                                                        bool create);

    // The one registered context of the process; null when there is none or it
    // is not of this kind (the temporary detection context). Throws
    // InteropException when several are registered.
    static WinOpenGLContext* FindContext();

private:
    // Guards `interopContext`. May be held while waiting for the GL thread, which
    // never takes it to run a task.
    std::mutex interopMutex;
    boost::intrusive_ptr<InteropContext> interopContext;
};

}  // namespace Kavrin::Ogl
