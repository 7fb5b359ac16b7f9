#pragma once

#include <GL/glew.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include <QObject>

#include "IOglWorker.h"

class QSurface;
class QThread;
class QTimer;

Q_DECLARE_INTERFACE(Kavrin::Ogl::IOglWorker, "IOglWorker")

namespace Kavrin::Ogl {

class QtOglContext;

// The GL worker on Qt: owns the GL thread "$Worker::Thread$" with its event loop,
// the worker's context and the purge timer. Create, Deinitialize and destruction
// run on the creating thread; the slots run on the GL thread; the IOglWorker
// operations are thread-safe as documented there.
class QtOglWorker : public QObject, public IOglWorker {
    Q_OBJECT
    Q_INTERFACES(Kavrin::Ogl::IOglWorker)
public:
    // Builds the worker's context from a surface (may be null) and a debug-logging
    // flag; an empty result when the context could not be made.
    using ContextFactory =
        std::function<std::shared_ptr<QtOglContext>(QSurface* surface, bool debugLogging)>;

    // A running worker, or null when none could be started.
    static boost::intrusive_ptr<IOglWorker> Create(QSurface* surface);
    // Replaces the factory of the worker's context; an empty one restores the
    // default. Used by the interop context and by tests.
    static void SetContextFactory(ContextFactory factory);

    ~QtOglWorker() override;

    bool Initialize(QSurface* surface);
    // Creating thread only; stops the GL thread. Throws std::logic_error elsewhere.
    void Deinitialize(bool cancelPending) override;

    // Period of the texture-pool purge for workers created afterwards (10 s by
    // default). Thread-safe.
    static void SetPurgePeriod(std::chrono::milliseconds period);
    static constexpr std::chrono::milliseconds DefaultPurgePeriod{10000};

signals:
    void signalInitialize();
    void signalDeinitialize();
    void signalDoTask();

public slots:
    void slotInitialize();
    void slotDeinitialize();
    void slotDoTask();
    void slotPurgeResources();

protected:
    void NotifyNewTask() override;

private:
    QtOglWorker();

    std::uint32_t creatorThread = 0;
    bool initialized = false;
    std::shared_ptr<QtOglContext> context;
    QThread* thread = nullptr;
    QTimer* timer = nullptr;
};

}  // namespace Kavrin::Ogl
