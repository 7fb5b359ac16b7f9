#include <GL/glew.h>

#include "QtOglWorker.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <stdexcept>

#include <QThread>
#include <QTimer>
#include <boost/exception/diagnostic_information.hpp>
#include <glog/logging.h>

#include "Kavrin/Core/Exception.h"
#include "Kavrin/Core/UnhandledExceptionFilterGuard.h"
#include "Kavrin/Ogl/OglThread.h"

#include "QtOgl/QtOglContext.h"
#include "QtOgl/QtOpenGL.h"
#include "QtWin/WinOglContext.h"

namespace Kavrin::Ogl {
namespace {

std::uint32_t CurrentThreadId() { return static_cast<std::uint32_t>(gettid()); }

// The worker's context carries the interop context of the GL thread.
std::shared_ptr<QtOglContext> MakeWinContext(QSurface* surface, bool debugLogging) {
    return WinOpenGLContext::Create(surface, debugLogging);
}

// Guards `contextFactory`; a leaf lock.
std::mutex factoryMutex;
QtOglWorker::ContextFactory contextFactory;

std::atomic<std::int64_t> purgePeriodMs{QtOglWorker::DefaultPurgePeriod.count()};

QtOglWorker::ContextFactory GetContextFactory() {
    std::lock_guard lock(factoryMutex);
    return contextFactory ? contextFactory : QtOglWorker::ContextFactory(&MakeWinContext);
}

}  // namespace

void QtOglWorker::SetPurgePeriod(std::chrono::milliseconds period) {
    purgePeriodMs = period.count();
}

void QtOglWorker::SetContextFactory(ContextFactory factory) {
    std::lock_guard lock(factoryMutex);
    contextFactory = std::move(factory);
}

QtOglWorker::QtOglWorker()
    : QObject(nullptr), IOglWorker(GetCollectedInformation()), timer(new QTimer()) {
    connect(this, &QtOglWorker::signalInitialize, this, &QtOglWorker::slotInitialize,
            Qt::BlockingQueuedConnection);
    connect(this, &QtOglWorker::signalDeinitialize, this, &QtOglWorker::slotDeinitialize,
            Qt::BlockingQueuedConnection);
    connect(this, &QtOglWorker::signalDoTask, this, &QtOglWorker::slotDoTask, Qt::QueuedConnection);
    connect(timer, &QTimer::timeout, this, &QtOglWorker::slotPurgeResources, Qt::QueuedConnection);
}

boost::intrusive_ptr<IOglWorker> QtOglWorker::Create(QSurface* surface) {
    if (GetCollectedInformation()->capability < OglCapability::Minimal) {
        return nullptr;
    }
    boost::intrusive_ptr<QtOglWorker> worker(new QtOglWorker());
    if (!worker->Initialize(surface)) {
        return nullptr;
    }
    return worker;
}

bool QtOglWorker::Initialize(QSurface* surface) {
    Core::UnhandledExceptionFilterGuard crashGuard;
    LOG(INFO) << "Creating QT OpenGL context";
    const bool debugLogging = std::getenv("QT_OPENGL_LOGGER_ENABLED") != nullptr;
    std::shared_ptr<QtOglContext> newContext = GetContextFactory()(surface, debugLogging);
    if (!newContext) {
        return false;
    }
    {
        std::lock_guard lock(mutex);
        context = std::move(newContext);
        thread = new QThread();
        creatorThread = CurrentThreadId();
        moveToThread(thread);
        LOG(INFO) << "Moving QT OpenGL context to working thread";
        // The offscreen surface stays on this thread; only the context moves.
        context->GetContext()->moveToThread(thread);
        thread->setObjectName(QStringLiteral("$Worker::Thread$"));
        thread->start(QThread::InheritPriority);
    }
    emit signalInitialize();
    timer->start(static_cast<int>(purgePeriodMs.load()));
    std::lock_guard lock(mutex);
    return initialized;
}

void QtOglWorker::slotInitialize() {
    std::lock_guard lock(mutex);
    LOG(INFO) << "Starting QT OpenGL worker thread";
    RegisterOglThread();
    initialized = context->Activate();
    if (!initialized) {
        return;
    }
    try {
        MakeResources();
    } catch (const std::exception&) {
        // An exception must not unwind through Qt's event dispatch: report a
        // failed start instead.
        LOG(ERROR) << "Failed to create OpenGL worker resources: "
                   << boost::current_exception_diagnostic_information(true);
        context->Deactivate();
        context->GetContext()->doneCurrent();
        initialized = false;
        return;
    }
    LOG(INFO) << "QT OpenGL worker thread started";
}

void QtOglWorker::Deinitialize(bool cancelPending) {
    std::unique_lock lock(mutex);
    if (CurrentThreadId() != creatorThread) {
        KAVRIN_THROW_FROM(
            "Deinitialize",
            std::logic_error("Deinitialization is possible only in the creation thread"));
    }
    // A QTimer can only be stopped from its own thread, the creating one.
    timer->stop();
    deinitialized = true;
    std::deque<boost::intrusive_ptr<IOglTask>> cancelled;
    if (cancelPending) {
        cancelled = CancelAll();
    }
    lock.unlock();
    cancelled.clear();
    lock.lock();
    if (!context || thread == nullptr) {
        return;
    }
    lock.unlock();
    emit signalDeinitialize();
    lock.lock();
    thread->quit();
    thread->wait();
    context.reset();
    delete thread;
    thread = nullptr;
}

void QtOglWorker::slotDeinitialize() {
    LOG(INFO) << "Stopping QT OpenGL worker thread";
    std::lock_guard lock(mutex);
    if (initialized) {
        context->Deactivate();
        ReleaseResources();
        context->GetContext()->doneCurrent();
    }
    UnregisterOglThread();
    LOG(INFO) << "QT OpenGL worker thread stopped";
}

void QtOglWorker::slotDoTask() {
    std::unique_lock lock(mutex);
    boost::intrusive_ptr<IOglTask> task = PopTask();
    if (task && initialized) {
        lock.unlock();
        ExecuteTask(std::move(task));
    }
}

void QtOglWorker::slotPurgeResources() {
    std::lock_guard lock(mutex);
    PurgeResources();
}

void QtOglWorker::NotifyNewTask() { emit signalDoTask(); }

QtOglWorker::~QtOglWorker() {
    bool stopped = false;
    std::deque<boost::intrusive_ptr<IOglTask>> cancelled;
    {
        std::lock_guard lock(mutex);
        // A worker that never started its thread, or already stopped it, may lose
        // its last reference on any thread.
        if (thread == nullptr) {
            deinitialized = true;
            cancelled = CancelAll();
            stopped = true;
        }
    }
    cancelled.clear();
    if (!stopped) {
        try {
            Deinitialize(true);
        } catch (...) {
            LOG(ERROR) << "Failed to deinitialize OpenGL worker: "
                       << boost::current_exception_diagnostic_information(true);
            std::terminate();
        }
    }
    delete timer;
    delete thread;
    context.reset();
}

}  // namespace Kavrin::Ogl
