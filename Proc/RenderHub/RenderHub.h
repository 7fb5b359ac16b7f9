#pragma once

#include <GL/glew.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include <boost/intrusive_ptr.hpp>

#include "IOglTask.h"
#include "IOglWorker.h"
#include "OglInformation.h"

class QSurface;

namespace Kavrin::Ogl {

// The process-wide entry point: starts and stops the GL worker, routes tasks to
// it and answers questions about the OpenGL implementation. Every operation is
// thread-safe; Initialize and Deinitialize belong on the same (creating) thread,
// which needs a Qt event loop for the purge timer and the driver log.
class RenderHub {
public:
    static RenderHub& GetInstance();

    // Starts the worker; repeated calls while running do nothing. A failed start
    // is silent: IsInitialized() stays false.
    void Initialize(QSurface* surface, bool cancelTasksOnDeinitialize);
    void Initialize();
    bool IsInitialized() const;
    // Stops the worker; creating thread only.
    void Deinitialize();

    // Runs the task at once on the GL thread, queues it elsewhere. Either way what
    // the task throws is logged, not passed on; the task then ends failed.
    void DispatchTask(const boost::intrusive_ptr<IOglTask>& task);
    // Always queues the task.
    void DoBackgroundTask(const boost::intrusive_ptr<IOglTask>& task);
    void CancelTask(const boost::intrusive_ptr<IOglTask>& task);

    OglCapability GetOglVersion();
    std::string GetRenderer();
    std::uint64_t GetMaximumTextureSize();
    bool IsOpenGLThread() const;

    // Everything detection found (version, vendor, ...); probes OpenGL on first use.
    std::shared_ptr<OglInformation> GetInformation();

private:
    RenderHub();
    ~RenderHub();
    RenderHub(const RenderHub&) = delete;
    RenderHub& operator=(const RenderHub&) = delete;

    boost::intrusive_ptr<IOglWorker> GetWorker() const;
    // Creates the worker and installs the pipeline factory; caller holds lifecycleMutex.
    void Start(QSurface* surface);

    // Serialises Initialize and Deinitialize; taken before `mutex`. Not held by the
    // queries, so that tasks draining during a deinitialisation can still use the
    // facade.
    std::mutex lifecycleMutex;
    // Guards the two fields below; taken before the worker's mutex, never held
    // while the worker starts or stops.
    mutable std::mutex mutex;
    bool cancelTasksOnDeinitialize = true;
    boost::intrusive_ptr<IOglWorker> worker;
};

namespace Details {

// Points Qt at desktop OpenGL and drops a forced OpenGL library before any Qt
// OpenGL object exists. Called once by the facade.
void PrepareQtEnvironment();

}  // namespace Details

}  // namespace Kavrin::Ogl
