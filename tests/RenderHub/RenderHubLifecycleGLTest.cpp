// Starting and stopping the library, the deferred GL-thread delete, and many
// callers while it restarts. Each test owns the lifecycle: no shared fixture.
#include <GL/glew.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <random>
#include <sstream>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <gtest/gtest.h>

#include "Kavrin/Core/RefCount.h"
#include "Kavrin/DX/Emulation.h"
#include "Kavrin/DX/ReportDirectXLeaks.h"
#include "Kavrin/Ogl/OglThread.h"
#include "Kavrin/Proc/DataVideoCPU.h"
#include "Kavrin/Proc/DataVideoGPU.h"
#include "Kavrin/Proc/ProcException.h"
#include "Kavrin/Win/GLInterop.h"

#include "../Host/DXTestSupport.h"
#include "DataVideoOGL.h"
#include "Frame.h"
#include "GLThreadDeleter.h"
#include "GlObjectCounter.h"
#include "LogCapture.h"
#include "QtOgl/QtOglWorker.h"
#include "QtWin/D11Surface.h"
#include "QtWin/D12Surface.h"
#include "QtWin/InteropContext.h"
#include "RenderHub.h"
#include "TestMain.h"
#include "TestTasks.h"
#include "Texture.h"

namespace {

using namespace Kavrin::Ogl;
using namespace std::chrono_literals;
using Kavrin::Ogl::Details::GlObjectCounter;
using Kavrin::Test::ErrorText;
using Kavrin::Test::Gate;
using Kavrin::Test::LogCapture;
using Kavrin::Test::MakeTask;
using Kavrin::Test::Noop;
using Kavrin::Test::RunOnGL;
namespace Proc = Kavrin::Proc;

constexpr const char* kDeinitialized = "OpenGL Worker is deinitialized";

class LifecycleGLTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { Kavrin::Test::EnsureGuiApplication(); }
    void TearDown() override {
        RenderHub::GetInstance().Deinitialize();
        EXPECT_FALSE(RenderHub::GetInstance().IsInitialized());
    }
};

// What became of a probe, written on whichever thread deletes it.
struct Fate {
    std::atomic<int> abandoned{0};
    std::atomic<int> deleted{0};
    std::atomic<bool> abandonedBeforeDelete{false};
    std::atomic<bool> deletedOnGlThread{false};
    std::thread::id deletedOn;
    auto State() const {
        return std::tuple(deleted.load(), abandoned.load(), abandonedBeforeDelete.load(),
                          deletedOnGlThread.load());
    }
};

struct Probe;

class ProbeDeleter final : public Details::GLThreadDeleter<Probe, ProbeDeleter> {
public:
    static constexpr const char* kName = "GLThreadDeleterProbe";
    using GLThreadDeleter::GLThreadDeleter;
    static void Abandon(const Probe& probe);
};

// Goes through the deleter frames and interop objects share on their last release.
struct Probe {
    ~Probe() {
        fate.deletedOnGlThread = IsOpenGLThread();
        fate.deletedOn = std::this_thread::get_id();
        ++fate.deleted;
    }
    Fate& fate;
};

void ProbeDeleter::Abandon(const Probe& probe) {
    probe.fate.abandonedBeforeDelete = probe.fate.deleted == 0;
    ++probe.fate.abandoned;
}

void Drop(Fate& fate, bool holdsGLNames) { ProbeDeleter::Delete(new Probe{fate}, holdsGLNames); }

// Before Initialize the queries answer (detection done), entry points refuse
// naming where, and a GL-thread delete abandons its object here; a stopped
// worker queues nothing.
TEST_F(LifecycleGLTest, RefusedBeforeInitializeAndAfterAStopAndEachRestartANewThread) {
    RenderHub& hub = RenderHub::GetInstance();
    EXPECT_FALSE(hub.IsInitialized());
    hub.Deinitialize();  // nothing to do
    {
        LogCapture log;
        Fate fate;
        Drop(fate, true);
        EXPECT_EQ(fate.State(), std::tuple(1, 1, true, false));
        EXPECT_EQ(fate.deletedOn, std::this_thread::get_id());
        EXPECT_EQ(log.CountPrefix("GLThreadDeleterProbe not queued: "), 1) << log.Dump();
    }
    EXPECT_GE(hub.GetOglVersion(), OglCapability::Compatibility30);
    EXPECT_FALSE(hub.GetRenderer().empty());
    auto task = Noop();
    try {
        hub.DispatchTask(task);
        FAIL() << "dispatched without a worker";
    } catch (const Proc::ProcException& error) {
        EXPECT_EQ(error.GetDescription(), "RenderHub has not yet been initialized");
        const char* const* function = boost::get_error_info<boost::throw_function>(error);
        ASSERT_NE(function, nullptr);
        EXPECT_STREQ(*function, "GetWorker");
    }
    const std::function<void()> refused[] = {[&] { hub.DoBackgroundTask(task); },
                                             [&] { hub.CancelTask(task); },
                                             [&] { hub.GetMaximumTextureSize(); }};
    for (const auto& call : refused) {
        EXPECT_EQ(ErrorText(call), "RenderHub has not yet been initialized");
    }
    EXPECT_EQ(task->GetStatus(), Proc::TaskPending);

    boost::intrusive_ptr<IOglWorker> worker = QtOglWorker::Create(nullptr);
    ASSERT_TRUE(worker);
    auto* qtWorker = dynamic_cast<QtOglWorker*>(worker.get());
    ASSERT_NE(qtWorker, nullptr);
    EXPECT_EQ(qobject_cast<IOglWorker*>(qtWorker), worker.get());
    worker->Deinitialize(false);
    EXPECT_EQ(ErrorText([&] { worker->PushTask(task); }), kDeinitialized);
    EXPECT_EQ(worker->GetQueueSize(), 0u);
    EXPECT_EQ(task->GetRefCount(), 1u);
    worker->Deinitialize(true);  // again: harmless
    // A stopped worker may lose its last reference on any thread.
    std::thread::id destroyedOn, releasedOn;
    QObject::connect(qtWorker, &QObject::destroyed,
                     [&destroyedOn] { destroyedOn = std::this_thread::get_id(); });
    std::thread([&releasedOn, moved = std::move(worker)]() mutable {
        releasedOn = std::this_thread::get_id(), moved.reset();
    }).join();
    EXPECT_EQ(destroyedOn, releasedOn);

    // Each start is a new GL thread without a second detection, with the GL frame
    // creator; only the creating thread stops; a data object outliving the library
    // leaves its tasks; a failed context creation yields no worker.
    LogCapture log;
    long tids[2] = {};
    for (long& tid : tids) {
        hub.Initialize(nullptr, true);
        ASSERT_TRUE(hub.IsInitialized());
        EXPECT_TRUE(static_cast<bool>(Proc::DataVideoGPU::CreatorOGL));
        std::string message;
        std::thread([&] { message = ErrorText([&] { hub.Deinitialize(); }); }).join();
        EXPECT_EQ(message, "Deinitialization is possible only in the creation thread");
        ASSERT_TRUE(hub.IsInitialized());
        RunOnGL([&] { tid = syscall(SYS_gettid); });  // still usable
        auto object = DataVideoOGL::Create({1, 1, 1}, Kavrin::PixFmt::RGBA, {8, 8, 0, 0});
        const auto attached = {Noop(), Noop()};
        for (const auto& task : attached) {
            object->AttachTask(task);
        }
        hub.Deinitialize();
        EXPECT_FALSE(hub.IsInitialized());
        EXPECT_FALSE(static_cast<bool>(Proc::DataVideoGPU::CreatorOGL));
        const int verbosity = FLAGS_v;
        FLAGS_v = 20;
        object.reset();
        FLAGS_v = verbosity;
        for (const auto& task : attached) {
            EXPECT_EQ(task->GetStatus(), Proc::TaskPending);
        }
    }
    EXPECT_NE(tids[0], tids[1]);
    EXPECT_NE(tids[0], static_cast<long>(syscall(SYS_gettid)));
    EXPECT_EQ(log.CountPrefix("OpenGL driver info"), 0) << log.Dump();
    for (const char* line :
         {"Creating QT OpenGL context", "Moving QT OpenGL context to working thread",
          "Starting QT OpenGL worker thread", "QT OpenGL worker thread started",
          "Stopping QT OpenGL worker thread", "QT OpenGL worker thread stopped",
          "Cannot cancel tasks of DataVideoOGL because RenderHub isn't initiliazed"}) {
        EXPECT_EQ(log.Count(google::GLOG_INFO, line), 2) << line << "\n" << log.Dump();
    }

    // The driver logger and purge timer act through the creating thread's loop.
    const auto processEventsUntil = [](auto done) {  // this thread's loop, 10 s at most
        QElapsedTimer waited;
        waited.start();
        while (!done() && waited.elapsed() < 10000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        }
        return done();
    };
    setenv("QT_OPENGL_LOGGER_ENABLED", "0", 1);  // any value enables it
    QtOglWorker::SetPurgePeriod(std::chrono::milliseconds(10));
    worker = QtOglWorker::Create(nullptr);
    unsetenv("QT_OPENGL_LOGGER_ENABLED");
    QtOglWorker::SetPurgePeriod(QtOglWorker::DefaultPurgePeriod);
    ASSERT_TRUE(worker);
    const auto run = [&](auto body) {
        auto task = MakeTask([&](auto, const auto&) { body(); });
        worker->PushTask(task);
        task->WaitUntilExecuted();
    };
    run([] {
        glDebugMessageInsert(GL_DEBUG_SOURCE_APPLICATION, GL_DEBUG_TYPE_MARKER, 1,
                             GL_DEBUG_SEVERITY_HIGH, -1, "renderhub driver log probe");
    });
    EXPECT_TRUE(processEventsUntil([&] {
        return log.Has(google::GLOG_INFO, "renderhub driver log probe");
    })) << log.Dump();
    const auto purges = [&] {
        unsigned count = 0;
        run([&] { count = TexturePool::GetInstance().GetPurgeCount(); });
        return count;
    };
    const unsigned before = purges();
    EXPECT_TRUE(processEventsUntil([&] { return purges() >= before + 2; }));
    const unsigned clears = TexturePool::GetInstance().GetClearCount();
    worker->Deinitialize(true);
    // Stopping the worker clears the pool before the context goes.
    EXPECT_EQ(TexturePool::GetInstance().GetClearCount(), clears + 1);

    QtOglWorker::SetContextFactory([](QSurface*, bool) { return nullptr; });
    EXPECT_FALSE(QtOglWorker::Create(nullptr));
    QtOglWorker::SetContextFactory(nullptr);
    hub.Initialize(nullptr, true);
    EXPECT_TRUE(hub.IsInitialized());
}

// A last release on the GL thread, or without GL names, deletes at once; else
// it queues a deleter. Tasks queued when the library stops run (using the
// facade, their own pushes refused) or, with cancel, none runs, a queued deleter
// abandons its object and a task holding a frame's last reference does not
// re-enter the stopping worker. A second Initialize keeps the first flag.
TEST_F(LifecycleGLTest, DeinitializeRunsOrCancelsWhatIsQueued) {
    constexpr int kQueued = 20;
    Kavrin::Test::LimitCurrentTest(std::chrono::seconds(60));  // a deadlock aborts
    for (const bool cancel : {false, true}) {
        SCOPED_TRACE(cancel ? "cancel" : "run");
        RenderHub& hub = RenderHub::GetInstance();
        hub.Initialize(nullptr, cancel);
        hub.Initialize(nullptr, !cancel);  // ignored: already running
        ASSERT_TRUE(hub.IsInitialized());
        boost::intrusive_ptr<Frame> frame;
        RunOnGL([&] {
            frame = Frame::CreateIntermediate({1, 1, 1}, Kavrin::PixFmt::RGBA, {8, 4, 1, 1});
        });
        const auto deletersBefore = Kavrin::Test::GlTaskCount(ProbeDeleter::kName);
        Fate onGl, plain;
        int deletedAtOnce = 0;
        RunOnGL([&] { Drop(onGl, true), deletedAtOnce = onGl.deleted; });
        Drop(plain, false);
        EXPECT_EQ(std::tuple(deletedAtOnce, onGl.State(), plain.State()),
                  std::tuple(1, std::tuple(1, 0, false, true), std::tuple(1, 0, false, false)));
        EXPECT_EQ(plain.deletedOn, std::this_thread::get_id());
        Gate gate;
        std::atomic<int> ran = 0, sawInitialized = 0, nestedRan = 0;
        std::vector<std::string> refusals(kQueued);
        std::vector<boost::intrusive_ptr<Kavrin::Test::FunctionTask>> queued;
        for (int i = 0; i < kQueued; ++i) {
            queued.push_back(MakeTask([&, i](auto, const auto&) {
                ++ran;
                sawInitialized += hub.IsInitialized();
                hub.DispatchTask(MakeTask([&](auto, const auto&) { ++nestedRan; }));
                refusals[static_cast<std::size_t>(i)] =
                    ErrorText([&] { hub.DoBackgroundTask(Noop()); });
            }));
            hub.DoBackgroundTask(queued.back());
        }
        std::atomic<int> holderRuns = 0;
        {
            auto holder = MakeTask([&](auto, const auto&) { ++holderRuns; });
            holder->AttachFrame(std::move(frame), {1, 1, 1}, Kavrin::PixFmt::RGBA, {8, 4, 1, 1});
            hub.DoBackgroundTask(holder);
        }  // the queue holds the only reference to the holder, and through it the frame
        Fate fate;
        Drop(fate, true);  // queues the deleter behind the gate
        auto last = Noop();
        hub.DoBackgroundTask(last);
        EXPECT_EQ(fate.deleted, 0);
        std::thread opener = cancel ? std::thread([&] { last->WaitUntilExecuted(), gate.Open(); })
                                    : gate.OpenWhenRefused();
        hub.Deinitialize();
        opener.join();
        EXPECT_FALSE(hub.IsInitialized());
        EXPECT_EQ(gate.task->GetStatus(), Proc::TaskExecuted);
        EXPECT_EQ(std::tuple(ran.load(), holderRuns.load()),
                  cancel ? std::tuple(0, 0) : std::tuple(kQueued, 1));
        queued.push_back(std::move(last));
        for (const auto& task : queued) {
            EXPECT_EQ(task->GetStatus(), cancel ? Proc::TaskCancelled : Proc::TaskExecuted);
            EXPECT_EQ(task->GetRefCount(), 1u);
        }
        if (!cancel) {
            EXPECT_EQ(
                std::tuple(sawInitialized.load(), nestedRan.load(), refusals),
                std::tuple(kQueued, kQueued, std::vector<std::string>(kQueued, kDeinitialized)));
        }
        EXPECT_EQ(fate.State(), std::tuple(1, cancel ? 1 : 0, cancel, !cancel));
        EXPECT_EQ(Kavrin::Test::GlTaskCount(ProbeDeleter::kName),
                  deletersBefore + (cancel ? 0 : 1));
    }
}

// Many callers against a library that restarts meanwhile.

const Kavrin::Conf::ColorSpace kBt709{1, 1, 1};
const Kavrin::Conf::FrameInfo kTiny{8, 4, 1, 1};

// What happened to one task, as seen by its caller and by its body.
struct Record {
    boost::intrusive_ptr<IOglTask> task;
    std::atomic<int> runs = 0;
    bool accepted = false;  // the push returned normally
    bool cancelRequested = false;
    bool dataObject = false;  // handed over through a DataVideoOGL
    int workerFlag = -1;      // the accepting worker's cancel flag, -1 when unknown
    bool inner = false;       // handed over by another task's body, on the GL thread
    std::string refusal;
};

// Odd generations are the running ones; their cancel flags are known.
struct Lifecycle {
    std::atomic<int> generation = 0;
    std::array<std::atomic<int>, 64> cancelFlag{};
};

bool IsRefusal(const std::string& text) {
    return text == kDeinitialized || text == "RenderHub has not yet been initialized";
}

// Frames and surfaces made on the GL thread, released off it by any caller.
struct Shelf {
    void Put(boost::intrusive_ptr<const Kavrin::IRefCountable> object) {
        std::lock_guard lock(mutex);
        objects.push_back(std::move(object));
    }
    void Take() {
        boost::intrusive_ptr<const Kavrin::IRefCountable> object;  // released after the lock
        std::lock_guard lock(mutex);
        if (!objects.empty()) {
            object = std::move(objects.back());
            objects.pop_back();
        }
    }
    std::mutex mutex;  // guards `objects`; a leaf lock
    std::vector<boost::intrusive_ptr<const Kavrin::IRefCountable>> objects;
};

class Caller {
public:
    Caller(unsigned seed, Lifecycle& life, Shelf& shelf, std::atomic<int>& operations)
        : random(seed), life(life), shelf(shelf), operations(operations) {}

    std::vector<std::unique_ptr<Record>> records;
    std::vector<std::string> failures;

    // One operation per row, drawn uniformly, until `stop` or `count` of them.
    void Run(int count, const std::atomic<bool>& stop) {
        const std::function<void()> rows[] = {
            [&] { Push(New("Counted"), Coin()); },
            [&] { CancelAfterPush(); },
            [&] { DataObject(); },
            [&] { Push(New("FrameMaker", [this] { MakeFrame(); }), Coin()); },
            [&] { shelf.Take(); },
            [&] { Nester(); },
            [&] { Push(New("SurfaceMaker", [this] { MakeSurface(); }), Coin()); },
        };
        for (int i = 0; i < count && !stop.load(); ++i, ++operations) {
            rows[std::uniform_int_distribution<std::size_t>(0, std::size(rows) - 1)(random)]();
        }
    }

private:
    bool Coin() { return std::bernoulli_distribution(0.5)(random); }

    // A record whose task counts its runs, then runs `body`.
    Record& New(
        const char* name, std::function<void()> body = [] {}) {
        Record* raw = records.emplace_back(std::make_unique<Record>()).get();
        raw->task =
            MakeTask([raw, body = std::move(body)](auto, const auto&) { ++raw->runs, body(); },
                     OglCapability::Minimal, name);
        return *raw;
    }

    void MakeFrame() { shelf.Put(Frame::CreateIntermediate(kBt709, Kavrin::PixFmt::RGBA, kTiny)); }

    // A Direct3D 11 surface on the worker's interop context, rendered into once.
    void MakeSurface() {
        auto surface = D11Surface::Create(kTiny.width, kTiny.height, DXGI_FORMAT_R8G8B8A8_UNORM,
                                          InteropContext::GetShared());
        surface->BindFrameBuffer([] { glClear(GL_COLOR_BUFFER_BIT); }, std::nullopt);
        shelf.Put(std::move(surface));
    }

    // On the GL thread a dispatch runs at once; a background push may meet a stop.
    void Nester() {
        Record& nested = New("Nested");
        Record& late = New("Late");
        nested.inner = late.inner = true;
        Push(New("Nester",
                 [&nested, &late] {
                     RenderHub& hub = RenderHub::GetInstance();
                     hub.DispatchTask(nested.task);
                     nested.accepted = nested.runs == 1;
                     late.refusal = ErrorText([&] { hub.DoBackgroundTask(late.task); });
                     late.accepted = late.refusal.empty();
                 }),
             true);
    }

    bool Push(Record& record, bool background) {
        RenderHub& hub = RenderHub::GetInstance();
        const int before = life.generation.load();
        record.refusal = ErrorText([&] {
            background ? hub.DoBackgroundTask(record.task) : hub.DispatchTask(record.task);
        });
        if (!record.refusal.empty()) {
            return false;
        }
        record.accepted = true;
        // Known only when the push certainly happened inside one running generation.
        if (before == life.generation.load() && before % 2 == 1) {
            record.workerFlag = life.cancelFlag[static_cast<std::size_t>(before)].load();
        }
        return true;
    }

    // Whether `call` returned; anything but a stop's refusal is a failure.
    bool Try(const char* what, const std::function<void()>& call) {
        const std::string refusal = ErrorText(call);
        if (!refusal.empty() && !IsRefusal(refusal)) {
            failures.push_back(std::string(what) + " threw: " + refusal);
        }
        return refusal.empty();
    }

    void CancelAfterPush() {
        Record& record = New("Counted");
        if (!Push(record, true)) {
            return;
        }
        // Refused when stopped meanwhile: the stop ends the task.
        record.cancelRequested =
            Try("CancelTask", [&] { RenderHub::GetInstance().CancelTask(record.task); });
    }

    void DataObject() {
        boost::intrusive_ptr<DataVideoOGL> object;
        if (!Try("DataVideoOGL::Create",
                 [&] { object = DataVideoOGL::Create(kBt709, Kavrin::PixFmt::RGBA, kTiny); })) {
            return;
        }
        for (int i = std::uniform_int_distribution<int>(1, 3)(random); i > 0; --i) {
            Record& record = New("Counted");
            record.dataObject = true;
            object->AttachTask(record.task);
        }
        const int action = std::uniform_int_distribution<int>(0, 2)(random);
        if (action == 2) {
            return;  // dropped unexecuted: the destructor cancels what it can
        }
        Try("DataVideoOGL::Execute", [&] { object->Execute(action == 0); });
    }

    std::mt19937 random;
    Lifecycle& life;
    Shelf& shelf;
    std::atomic<int>& operations;
};

// The end state of one record once the library has stopped for good.
std::string CheckRecord(const Record& record) {
    const std::int32_t status = record.task->GetStatus();
    const int runs = record.runs.load();
    std::ostringstream problem;
    problem << record.task->GetName() << " (runs " << runs << ", status " << status << ") ";
    if (runs > 1) {
        return problem.str() + "ran more than once";
    }
    if (!record.accepted && !record.dataObject) {
        if (runs != 0 || status != Proc::TaskPending) {
            return problem.str() + "was refused yet ran";
        }
        if (!IsRefusal(record.refusal) && !(record.inner && record.refusal.empty())) {
            return problem.str() + "was refused with '" + record.refusal + "'";
        }
        return {};
    }
    if (record.dataObject && status == Proc::TaskPending) {
        return runs != 0 ? problem.str() + "ran but stayed pending" : "";  // never handed over
    }
    if (status < Proc::TaskExecuted) {
        return problem.str() + "was accepted but never ended";
    }
    if ((status == Proc::TaskExecuted && runs != 1) || status == Proc::TaskSkipped ||
        status == Proc::TaskFailed) {
        return problem.str() + "ended wrongly";  // every body here succeeds
    }
    if (status == Proc::TaskCancelled && runs == 0 && record.workerFlag == 0 &&
        !record.cancelRequested && !record.dataObject && !record.inner) {
        return problem.str() + "was cancelled by a worker that runs its queue before stopping";
    }
    return {};
}

// Emulated Direct3D objects, handles and GL interop objects.
struct DirectXCounts {
    std::size_t objects = Kavrin::DX::GetLiveObjectCount();
    std::size_t handles = Kavrin::DX::Emulation::GetOpenHandleCount();
    std::size_t glInterop = Kavrin::DX::GetLiveGLInteropObjectCount();
};

// After surfaces died away from their context only what the dead context's GL
// interop objects hold may remain (the emulation, unlike a driver, keeps them).
void ExpectOnlyGLHeldDirectXObjectsLeft(const DirectXCounts& before) {
    Kavrin::DX::D12CommandAllocator::WaitAllComplete();
    const DirectXCounts after;
    EXPECT_EQ(InteropContext::GetCount(), 0u);
    EXPECT_EQ(after.handles, before.handles);
    for (const std::string& object : Kavrin::DX::GetLiveObjects()) {
        EXPECT_TRUE(object.rfind("TextureMemory", 0) == 0 || object.rfind("Fence", 0) == 0)
            << object << " outlived its surface";
    }
    EXPECT_EQ(after.objects - before.objects, after.glInterop - before.glInterop);
}

using StressGLTest = LifecycleGLTest;

// Eight callers mix every entry point while this thread restarts the library
// with a random cancel flag.
TEST_F(StressGLTest, CallersMixingEveryEntryPointWhileTheLibraryRestarts) {
    constexpr int kCallers = 8, kCycles = 8;
    constexpr unsigned kSeed = 20240612;
    SCOPED_TRACE("seed " + std::to_string(kSeed));
    Kavrin::Test::LimitCurrentTest(150s);
    RenderHub& hub = RenderHub::GetInstance();
    const DirectXCounts directXBefore;
    Lifecycle life;
    Shelf shelf;
    std::atomic<int> operations = 0, finished = 0;
    std::atomic<bool> stop = false;
    std::vector<std::unique_ptr<Caller>> callers;
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < kCallers; ++i) {
        auto& caller =
            *callers.emplace_back(std::make_unique<Caller>(kSeed + i, life, shelf, operations));
        threads.emplace_back([&caller, &finished, &stop] { caller.Run(20000, stop), ++finished; });
    }
    // Restart whenever the callers made some progress (no timer needed).
    std::mt19937 random(kSeed);
    const auto progress = [&](int amount) {
        const int target = operations.load() + amount;
        while (operations.load() < target && finished.load() < kCallers) {
            std::this_thread::yield();
        }
    };
    int cycles = 0;
    for (; finished.load() < kCallers && cycles < kCycles; ++cycles) {
        const bool cancel = std::bernoulli_distribution(0.5)(random);
        const int generation = life.generation.load() + 1;
        life.cancelFlag[static_cast<std::size_t>(generation)] = cancel ? 1 : 0;
        life.generation = generation;
        hub.Initialize(nullptr, cancel);
        ASSERT_TRUE(hub.IsInitialized());
        progress(std::uniform_int_distribution<int>(60, 240)(random));
        hub.Deinitialize();
        life.generation = generation + 1;
        progress(10);
    }
    stop = true;
    std::for_each(threads.begin(), threads.end(), [](auto& thread) { thread.join(); });
    EXPECT_EQ(cycles, kCycles) << "the callers ran out of operations before the restarts ended";
    // Leftovers go while no worker runs; their Direct3D objects must still go.
    shelf.objects.clear();
    ExpectOnlyGLHeldDirectXObjectsLeft(directXBefore);
    std::vector<std::string> problems;
    int accepted = 0, ran = 0, refused = 0, surfaces = 0;
    for (const auto& caller : callers) {
        problems.insert(problems.end(), caller->failures.begin(), caller->failures.end());
        for (const auto& record : caller->records) {
            problems.push_back(CheckRecord(*record));
            accepted += record->accepted;
            ran += record->runs.load() > 0;
            refused += !record->accepted && !record->refusal.empty();
            surfaces += record->task->GetName() == "SurfaceMaker" && record->runs > 0;
        }
    }
    problems.erase(std::remove(problems.begin(), problems.end(), ""), problems.end());
    EXPECT_EQ(problems, std::vector<std::string>{});
    // The mix really exercised both sides of the lifecycle.
    EXPECT_TRUE(accepted > 100 && ran > 100 && refused > 0 && surfaces > 10)
        << accepted << " accepted, " << ran << " ran, " << refused << " refused, " << surfaces;
}

// Objects kept across a restart hold the dead context's GL names: a kept frame's
// name neither enters the new pool nor is deleted there, an upload never writes
// through it into a live frame, reading one never refilled is refused; surfaces
// dropped before or after still release their Direct3D objects.
TEST_F(StressGLTest, ObjectsKeptAcrossARestartNeverTouchTheNewContext) {
    Kavrin::Test::LimitCurrentTest(60s);
    using Proc::DataVideoCPU;
    RenderHub& hub = RenderHub::GetInstance();
    const DirectXCounts directXBefore;
    const long texturesBefore = GlObjectCounter::Live(GlObjectCounter::Texture);
    constexpr DXGI_FORMAT kFormat = DXGI_FORMAT_R8G8B8A8_UNORM;
    const Kavrin::Conf::FrameInfo info{8, 8, 0, 0};
    const auto solid = [&](std::uint8_t red, std::uint8_t blue) {
        auto cpu = DataVideoCPU::Create(Kavrin::PixFmt::RGBA, info);
        cpu->Fill({red, 0, blue, 255});
        return cpu;
    };
    const auto firstPixel = [&](Frame& frame, const ShaderStorage& storage) {
        auto cpu = DataVideoCPU::Create(Kavrin::PixFmt::RGBA, info);
        frame.Download(cpu, storage);
        const std::uint8_t* pixel = cpu->GetPlaneConst(0).data;
        return std::array<int, 4>{pixel[0], pixel[1], pixel[2], pixel[3]};
    };
    hub.Initialize(nullptr, true);
    ASSERT_TRUE(hub.IsInitialized());
    boost::intrusive_ptr<Frame> stale, kept = Frame::Create(), unfilled = Frame::Create();
    boost::intrusive_ptr<D11Surface> droppedWhileStopped, droppedAfterRestart;
    boost::intrusive_ptr<D12SurfacePool> pool(new D12SurfacePool(8, 4, kFormat));
    boost::intrusive_ptr<D12Surface> pooled;
    Kavrin::Test::WithStorage([&](const auto& storage) {
        stale = Frame::CreateIntermediate(kBt709, Kavrin::PixFmt::RGBA, info);
        kept->Upload(solid(255, 0), storage);
        unfilled->Upload(solid(255, 0), storage);
        const auto context = InteropContext::GetShared();
        droppedWhileStopped = D11Surface::Create(8, 4, kFormat, context);
        droppedAfterRestart = D11Surface::Create(8, 4, kFormat, context);
        pooled = pool->CreateSurface(context);
    });
    const GLuint staleName = stale->GetFirstTexture()->GetTexId();
    hub.Deinitialize();
    droppedWhileStopped.reset();  // no worker: destroyed on this thread
    hub.Initialize(nullptr, true);
    ASSERT_TRUE(hub.IsInitialized());

    // Live frames of the new context, enough to take the stale name again.
    std::vector<boost::intrusive_ptr<Frame>> live;
    std::vector<GLuint> liveNames;
    std::size_t pooledTextures = 0;
    long textures = 0;
    Kavrin::Test::WithStorage([&](const auto& storage) {
        for (int i = 0; i < 16; ++i) {
            live.push_back(Frame::Create());
            live.back()->Upload(solid(0, 255), storage);
            liveNames.push_back(live.back()->GetFirstTexture()->GetTexId());
        }
        pooledTextures = TexturePool::GetInstance().GetCount();
        textures = GlObjectCounter::Live(GlObjectCounter::Texture);
    });
    ASSERT_EQ(std::count(liveNames.begin(), liveNames.end(), staleName), 1)
        << "the new context never reused name " << staleName << ": the test proves less";

    stale.reset();  // last reference off the GL thread: deleted by a task on the new worker
    std::vector<GLuint> freshNames;
    Kavrin::Test::WithStorage([&](const auto& storage) {
        EXPECT_EQ(TexturePool::GetInstance().GetCount(), pooledTextures);
        EXPECT_EQ(GlObjectCounter::Live(GlObjectCounter::Texture), textures - 1);
        for (int i = 0; i < 4; ++i) {
            freshNames.push_back(Frame::CreateIntermediate(kBt709, Kavrin::PixFmt::RGBA, info)
                                     ->GetFirstTexture()
                                     ->GetTexId());
        }
        kept->Upload(solid(255, 0), storage);
        EXPECT_EQ(firstPixel(*kept, storage), (std::array<int, 4>{255, 0, 0, 255}));
        for (const auto& frame : live) {
            EXPECT_NE(frame->GetFirstTexture()->GetTexId(), kept->GetFirstTexture()->GetTexId());
            EXPECT_EQ(firstPixel(*frame, storage), (std::array<int, 4>{0, 0, 255, 255}));
        }
        EXPECT_THROW(firstPixel(*unfilled, storage), std::logic_error);
        EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    });
    for (GLuint name : freshNames) {
        EXPECT_EQ(std::count(liveNames.begin(), liveNames.end(), name), 0)
            << "texture " << name << " handed out while a live frame owns it";
    }
    droppedAfterRestart.reset();  // destroyed by a task on the new worker
    pooled.reset();
    pool.reset();
    Kavrin::Test::RunOnGL([&] {
        for (GLuint name : liveNames) {
            EXPECT_TRUE(glIsTexture(name)) << name;
        }
        live.clear();
        kept.reset();
        unfilled.reset();
    });
    hub.Deinitialize();
    ExpectOnlyGLHeldDirectXObjectsLeft(directXBefore);
    EXPECT_EQ(GlObjectCounter::Live(GlObjectCounter::Texture), texturesBefore);
}

}  // namespace
