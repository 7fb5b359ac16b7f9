#pragma once

#include <GL/glew.h>

#include <future>
#include <mutex>
#include <string>

#include <boost/intrusive_ptr.hpp>

#include "Kavrin/Conf/ColorSpace.h"
#include "Kavrin/Conf/FrameInfo.h"
#include "Kavrin/PixFmt.h"
#include "Kavrin/Proc/GpuTask.h"

#include "OglInformation.h"

namespace Kavrin::Ogl {

class Frame;
class ShaderStorage;

// One unit of OpenGL work: its body runs once on the GL thread with the context
// current. Reference-counted (any thread). AttachFrame and Cancel may be called
// from any thread and never wait for a running body; Execute is GL thread only.
class IOglTask : public Proc::GpuTask {
public:
    KAVRIN_IMPLEMENT_REFCOUNT(refCount)

    // Out of line: releasing the frame needs the whole Frame.
    ~IOglTask() override;

    // Hands the task a frame that is allocated just before the body runs.
    // Throws std::logic_error while the task is executing.
    void AttachFrame(boost::intrusive_ptr<Frame> frame, const Conf::ColorSpace& colorSpace,
                     PixFmt pixFmt, const Conf::FrameInfo& frameInfo);

    // Runs the body unless the capability is too low or the task was cancelled.
    void Execute(OglCapability capability, const ShaderStorage& storage);

    // False when the body is running now (it then runs to its end).
    bool Cancel();

    OglCapability GetRequiredCapability() const { return requiredCapability; }

protected:
    IOglTask(OglCapability requiredCapability, std::string&& name);

    virtual void DoExecute(OglCapability capability, const ShaderStorage& storage) = 0;

    const boost::intrusive_ptr<Frame>& GetFrame() const { return frame; }

private:
    RefCountImpl refCount;
    boost::intrusive_ptr<Frame> frame;
    OglCapability requiredCapability;
    PixFmt pixFmt = PixFmt::None;
    Conf::ColorSpace colorSpace;
    Conf::FrameInfo frameInfo;
    // Held for the whole of Execute; AttachFrame and Cancel only try it. Taken
    // after the worker's mutex only in CancelAll; the status record's mutex may
    // be taken while it is held.
    std::mutex executeMutex;
};

// A task whose caller waits for a result through a future. The body fulfils the
// promise; a body that throws first leaves the caller with a broken promise.
template <class T>
class IOglPromiseTask : public IOglTask {
public:
    // Once only, as std::promise allows; a second call throws std::future_error.
    std::future<T> GetFuture() { return promise.get_future(); }

protected:
    using IOglTask::IOglTask;
    std::promise<T> promise;
};

extern template class IOglPromiseTask<bool>;

}  // namespace Kavrin::Ogl
