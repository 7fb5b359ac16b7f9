#pragma once

#include <memory>

#include "Kavrin/Ogl/OglThread.h"

namespace Kavrin::Ogl::Details {

// One object waiting to be deleted on the GL thread.
class DeferredDelete {
public:
    virtual ~DeferredDelete() = default;
    // The task's name in the task statistics.
    virtual const char* Name() const = 0;
    // Deletes the object; GL thread only.
    virtual void Run() = 0;
};

// Queues `work` as a task on the GL thread. When no worker takes it, it is
// dropped at once, and its destructor gives the object up. Defined by the
// facade that owns the worker, so that the objects deleted stay below it.
void QueueDeferredDelete(std::unique_ptr<DeferredDelete> work);

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
class GLThreadDeleter : public DeferredDelete {
public:
    // Deletes `object`, whose last reference has just gone: at once when it holds
    // no GL names or this is the GL thread, else by a queued Derived task.
    static void Delete(const T* object, bool holdsGLNames) {
        if (!holdsGLNames || IsOpenGLThread()) {
            delete object;
            return;
        }
        QueueDeferredDelete(std::unique_ptr<DeferredDelete>(new Derived(object)));
    }

    // Nothing to give up before an unrun deleter deletes the object.
    static void Abandon(const T&) {}

    const char* Name() const override { return Derived::kName; }

    void Run() override {
        const T* doomed = object;
        object = nullptr;
        delete doomed;
    }

protected:
    explicit GLThreadDeleter(const T* object) : object(object) {}

    ~GLThreadDeleter() override {
        if (object != nullptr) {
            Derived::Abandon(*object);
            delete object;
        }
    }

private:
    const T* object;
};

}  // namespace Kavrin::Ogl::Details
