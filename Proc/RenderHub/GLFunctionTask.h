#pragma once

#include <GL/glew.h>

#include <exception>
#include <functional>
#include <memory>
#include <string>

#include <boost/intrusive_ptr.hpp>

#include "IOglTask.h"

namespace Kavrin::Ogl {

class ShaderStorage;

// A task whose body is a function, for GL work that needs no class of its own.
// The body runs on the GL thread with the worker's capability and storage.
class FunctionTask : public IOglTask {
public:
    using Body = std::function<void(OglCapability capability, const ShaderStorage& storage)>;

    explicit FunctionTask(Body body, OglCapability required = OglCapability::Minimal,
                          std::string name = "FunctionTask");

protected:
    void DoExecute(OglCapability capability, const ShaderStorage& storage) override;

private:
    Body body;
};

// GL work dispatched to the library's worker now and waited for later; an
// exception of the body comes back from Wait, on the waiting thread. Move-only;
// the body may still run after a moved-from object is gone, so it must own or
// outlive what it uses until Wait returns.
class GLWork {
public:
    explicit GLWork(std::function<void(const ShaderStorage&)> body);
    GLWork(GLWork&&) noexcept = default;
    GLWork& operator=(GLWork&&) noexcept = default;

    // Blocks until the body has run (or the worker dropped it).
    void Wait();

private:
    // Written on the GL thread before the task reports executed, read after.
    std::shared_ptr<std::exception_ptr> failure;
    boost::intrusive_ptr<FunctionTask> task;
};

// Runs `body` on the GL thread of the initialised library and waits for it; an
// exception of the body is rethrown here. Not on the GL thread itself: the task
// would wait for itself.
void RunOnGL(std::function<void(const ShaderStorage&)> body);

}  // namespace Kavrin::Ogl
