#pragma once

#include <GL/glew.h>

#include <exception>

#include <boost/intrusive_ptr.hpp>
#include <glog/logging.h>

#include "Kavrin/Ogl/OglThread.h"

#include "IOglTask.h"
#include "RenderHub.h"

namespace Kavrin::Ogl::Details {

// The deferred delete of a reference-counted object that owns GL names, which
// only the GL thread may delete: a last reference dropped elsewhere queues a
// task that deletes the object there.
//
// Derived is a thin final subclass naming the task (`static constexpr const
// char* kName`, the name in the task statistics) and, where the object needs
// one, `static void Abandon(const T&)`: called on an object whose task never ran
// (the worker stopping, or none to queue it on) before it is deleted off the GL
// thread, to give up GL names that died with the context without GL calls.
template <class T, class Derived>
class GLThreadDeleter : public IOglTask {
public:
    // Deletes `object`, whose last reference has just gone: at once when it holds
    // no GL names or this is the GL thread, else by a queued Derived task.
    static void Delete(const T* object, bool holdsGLNames) {
        if (!holdsGLNames || IsOpenGLThread()) {
            delete object;
            return;
        }
        boost::intrusive_ptr<Derived> deleter(new Derived(object));
        try {
            RenderHub::GetInstance().DoBackgroundTask(deleter);
        } catch (const std::exception& error) {
            // No worker to run it: dropping the deleter below abandons the object.
            LOG(WARNING) << Derived::kName << " not queued: " << error.what();
        }
    }

    // Nothing to give up before an unrun deleter deletes the object.
    static void Abandon(const T&) {}

protected:
    explicit GLThreadDeleter(const T* object)
        : IOglTask(OglCapability::Minimal, Derived::kName), object(object) {}

    ~GLThreadDeleter() override {
        if (object != nullptr) {
            Derived::Abandon(*object);
            delete object;
        }
    }

private:
    void DoExecute(OglCapability, const ShaderStorage&) override {
        const T* doomed = object;
        object = nullptr;
        delete doomed;
    }

    const T* object;
};

}  // namespace Kavrin::Ogl::Details
