// Many callers against the library while it starts and stops: every accepted
// task must end, every waiter must wake, refusals must carry the library's words.
#include <GL/glew.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Kavrin/DX/Emulation.h"
#include "Kavrin/DX/ReportDirectXLeaks.h"
#include "Kavrin/Proc/DataVideoCPU.h"
#include "Kavrin/Proc/ProcException.h"
#include "Kavrin/Win/GLInterop.h"

#include "DataVideoOGL.h"
#include "Frame.h"
#include "GlObjectCounter.h"
#include "QtWin/D11Surface.h"
#include "QtWin/D12Surface.h"
#include "QtWin/InteropContext.h"
#include "RenderHub.h"
#include "TestMain.h"
#include "TestTasks.h"
#include "Texture.h"

namespace {

using Kavrin::Ogl::D11Surface;
using Kavrin::Ogl::D12Surface;
using Kavrin::Ogl::D12SurfacePool;
using Kavrin::Ogl::DataVideoOGL;
using Kavrin::Ogl::Frame;
using Kavrin::Ogl::InteropContext;
using Kavrin::Ogl::IOglTask;
using Kavrin::Ogl::OglCapability;
using Kavrin::Ogl::RenderHub;
using Kavrin::Ogl::Details::GlObjectCounter;
using Kavrin::Test::FunctionPromiseTask;
using Kavrin::Test::FunctionTask;
using Kavrin::Test::MakeTask;
using namespace std::chrono_literals;

constexpr const char* kDeinitialized = "OpenGL Worker is deinitialized";
constexpr const char* kNotInitialized = "RenderHub has not yet been initialized";
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
    bool lateOnGL = false;    // pushed from the GL thread
    bool inner = false;       // handed over by another task's body
    std::string refusal;      // what the refused push said
};

// The library's lifecycle as the callers see it: odd generations are the
// running ones, and their cancel flag is known.
struct Lifecycle {
    std::atomic<int> generation = 0;
    std::array<std::atomic<int>, 64> cancelFlag{};

    // The flag of the worker that took a push, when the push certainly happened
    // inside one running generation.
    int FlagBetween(int before, int after) const {
        if (before != after || before % 2 == 0) {
            return -1;
        }
        return cancelFlag[static_cast<std::size_t>(before)].load();
    }
};

// The refusal of a push made while the library stops or is stopped.
std::string Refusal(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const Kavrin::Proc::ProcException& procError) {
        return procError.GetDescription();
    } catch (const std::logic_error& logicError) {
        return logicError.what();
    } catch (const std::exception& other) {
        return std::string("unexpected: ") + other.what();
    }
}

bool IsRefusal(const std::string& text) {
    return text == kDeinitialized || text == kNotInitialized;
}

// Frames and surfaces made on the GL thread and released by whichever caller
// takes them.
struct Shelf {
    template <class T>
    void Put(std::vector<boost::intrusive_ptr<T>>& objects, boost::intrusive_ptr<T> object) {
        std::lock_guard lock(mutex);
        objects.push_back(std::move(object));
    }
    // Released by the caller, off the GL thread (outside the lock).
    template <class T>
    boost::intrusive_ptr<T> Take(std::vector<boost::intrusive_ptr<T>>& objects) {
        std::lock_guard lock(mutex);
        boost::intrusive_ptr<T> object;
        if (!objects.empty()) {
            object = std::move(objects.back());
            objects.pop_back();
        }
        return object;
    }

    std::mutex mutex;  // guards the vectors; a leaf lock
    std::vector<boost::intrusive_ptr<Frame>> frames;
    std::vector<boost::intrusive_ptr<D11Surface>> surfaces;
    std::atomic<int> surfaceFailures = 0;
};

class Caller {
public:
    Caller(unsigned seed, Lifecycle& life, Shelf& shelf, std::atomic<int>& operations)
        : random(seed), life(life), shelf(shelf), operations(operations) {}

    std::vector<std::unique_ptr<Record>> records;
    std::vector<std::string> failures;

    // Until `stop`, or `count` operations at most.
    void Run(int count, const std::atomic<bool>& stop) {
        for (int i = 0; i < count && !stop.load(); ++i) {
            switch (std::uniform_int_distribution<int>(0, 11)(random)) {
                case 0:
                case 1:
                    Push(New("Counted"), Bernoulli(0.5));
                    break;
                case 2:
                    CancelAfterPush();
                    break;
                case 3:
                    Promise();
                    break;
                case 4:
                case 5:
                    DataObject();
                    break;
                case 6:
                    Push(New("FrameMaker",
                             [this] {
                                 shelf.Put(shelf.frames, Frame::CreateIntermediate(
                                                             kBt709, Kavrin::PixFmt::RGBA, kTiny));
                             }),
                         Bernoulli(0.5));
                    break;
                case 7:
                    shelf.Take(shelf.frames);
                    break;
                case 8:
                    Nester();
                    break;
                case 10:
                    Push(New("SurfaceMaker", [this] { MakeSurface(); }), Bernoulli(0.5));
                    break;
                case 11:
                    shelf.Take(shelf.surfaces);
                    break;
                default: {
                    const OglCapability level = RenderHub::GetInstance().GetOglVersion();
                    Push(New("Counted", {},
                             OglCapability::Core33 > level ? OglCapability::Core33
                                                           : OglCapability::Minimal),
                         false);
                    break;
                }
            }
            ++operations;
        }
    }

private:
    bool Bernoulli(double p) { return std::bernoulli_distribution(p)(random); }

    // A record whose task counts its runs, then runs `body`.
    Record& New(const char* name, std::function<void()> body = {},
                OglCapability required = OglCapability::Minimal) {
        records.push_back(std::make_unique<Record>());
        Record* raw = records.back().get();
        raw->task = MakeTask(
            [raw, body = std::move(body)](auto, const auto&) {
                ++raw->runs;
                if (body) {
                    body();
                }
            },
            required, name);
        return *raw;
    }

    // A Direct3D 11 surface on the worker's interop context, rendered into once.
    void MakeSurface() {
        try {
            auto surface = D11Surface::Create(kTiny.width, kTiny.height, DXGI_FORMAT_R8G8B8A8_UNORM,
                                              InteropContext::GetShared());
            surface->BindFrameBuffer([] { glClear(GL_COLOR_BUFFER_BIT); }, std::nullopt);
            shelf.Put(shelf.surfaces, std::move(surface));
        } catch (...) {
            ++shelf.surfaceFailures;
            throw;
        }
    }

    // Runs a nested task inline and pushes a late one from the GL thread.
    void Nester() {
        Record& nested = New("Nested");
        Record& late = New("Late");
        late.lateOnGL = true;
        nested.inner = true;
        late.inner = true;
        Push(New("Nester",
                 [&nested, &late] {
                     RenderHub& hub = RenderHub::GetInstance();
                     // On the GL thread a dispatch runs at once; the worker cannot
                     // be gone while one of its tasks runs.
                     hub.DispatchTask(nested.task);
                     nested.accepted = nested.runs == 1;
                     try {
                         hub.DoBackgroundTask(late.task);
                         late.accepted = true;
                     } catch (...) {
                         late.refusal = Refusal(std::current_exception());
                     }
                 }),
             true);
    }

    bool Push(Record& record, bool background) {
        RenderHub& hub = RenderHub::GetInstance();
        const int before = life.generation.load();
        try {
            if (background) {
                hub.DoBackgroundTask(record.task);
            } else {
                hub.DispatchTask(record.task);
            }
        } catch (...) {
            record.refusal = Refusal(std::current_exception());
            return false;
        }
        record.accepted = true;
        record.workerFlag = life.FlagBetween(before, life.generation.load());
        return true;
    }

    // A refusal of the library's stop is expected; anything else is a failure.
    void ExpectRefusal(const char* what) {
        const std::string refusal = Refusal(std::current_exception());
        if (!IsRefusal(refusal)) {
            failures.push_back(std::string(what) + " threw: " + refusal);
        }
    }

    void CancelAfterPush() {
        Record& record = New("Counted");
        if (!Push(record, true)) {
            return;
        }
        try {
            RenderHub::GetInstance().CancelTask(record.task);
            record.cancelRequested = true;
        } catch (...) {
            ExpectRefusal("CancelTask");  // stopped meanwhile: the stop ends the task
        }
    }

    void Promise() {
        records.push_back(std::make_unique<Record>());
        Record* raw = records.back().get();
        boost::intrusive_ptr<FunctionPromiseTask> task(new FunctionPromiseTask([raw] {
            ++raw->runs;
            return true;
        }));
        std::future<bool> future = task->GetFuture();
        raw->task = task;
        if (!Push(*raw, Bernoulli(0.5))) {
            return;
        }
        task->WaitUntilExecuted();
        const std::int32_t status = task->GetStatus();
        // The record keeps the task; a copy of the promise's state decides here.
        task.reset();
        const bool ready = future.wait_for(0s) == std::future_status::ready;
        if (raw->runs == 1 && (!ready || !future.get())) {
            failures.push_back("a promise task ran but its future holds no true");
        } else if (raw->runs != 1 && status != Kavrin::Proc::TaskCancelled) {
            failures.push_back("a promise task ended unrun with status " + std::to_string(status));
        } else if (raw->runs != 1 && ready) {
            failures.push_back("an unrun promise task fulfilled its future");
        }
    }

    void DataObject() {
        boost::intrusive_ptr<DataVideoOGL> object;
        try {
            object = DataVideoOGL::Create(kBt709, Kavrin::PixFmt::RGBA, kTiny);
        } catch (...) {
            ExpectRefusal("DataVideoOGL::Create");
            return;
        }
        const int taskCount = std::uniform_int_distribution<int>(1, 3)(random);
        for (int i = 0; i < taskCount; ++i) {
            Record& record = New("Counted");
            record.dataObject = true;
            object->AttachTask(record.task);
        }
        const int action = std::uniform_int_distribution<int>(0, 2)(random);
        if (action == 2) {
            return;  // dropped unexecuted: the destructor cancels what it can
        }
        try {
            object->Execute(action == 0);
        } catch (...) {
            ExpectRefusal("DataVideoOGL::Execute");
        }
    }

    std::mt19937 random;
    Lifecycle& life;
    Shelf& shelf;
    std::atomic<int>& operations;
};

// Checks the end state of one record once the library has stopped for good.
void CheckRecord(const Record& record, OglCapability capability, std::vector<std::string>& out) {
    const std::int32_t status = record.task->GetStatus();
    const int runs = record.runs.load();
    std::ostringstream problem;
    const std::string& name = record.task->GetName();
    if (runs > 1) {
        problem << name << " ran " << runs << " times";
    } else if (!record.accepted && !record.dataObject) {
        if (runs != 0 || status != Kavrin::Proc::TaskPending) {
            problem << name << " was refused yet ran " << runs << " times, status " << status;
        } else if (!IsRefusal(record.refusal) && !(record.inner && record.refusal.empty())) {
            problem << name << " was refused with '" << record.refusal << "'";
        }
    } else if (record.dataObject && status == Kavrin::Proc::TaskPending) {
        // A data object's task never handed to the worker stays pending.
        if (runs != 0) {
            problem << name << " ran but stayed pending";
        }
    } else if (status < Kavrin::Proc::TaskExecuted) {
        problem << name << " was accepted but never ended (status " << status << ")";
    } else if (status == Kavrin::Proc::TaskExecuted && runs != 1) {
        problem << name << " counts as executed without running";
    } else if (status == Kavrin::Proc::TaskSkipped &&
               (runs != 0 || record.task->GetRequiredCapability() <= capability)) {
        problem << name << " was skipped wrongly (runs " << runs << ")";
    } else if (status == Kavrin::Proc::TaskCancelled && runs == 0 && record.workerFlag == 0 &&
               !record.cancelRequested && !record.dataObject && !record.lateOnGL) {
        problem << name << " was cancelled by a worker that runs its queue before stopping";
    } else if (record.task->GetRequiredCapability() > capability &&
               status != Kavrin::Proc::TaskSkipped && status != Kavrin::Proc::TaskCancelled) {
        problem << name << " needs more than the driver has but ended with status " << status;
    }
    if (!problem.str().empty()) {
        out.push_back(problem.str());
    }
}

// Emulated Direct3D objects and handles, and GL interop objects (memory
// objects, semaphores, registrations), taken while the library is stopped.
struct DirectXCounts {
    std::size_t objects = Kavrin::DX::GetLiveObjectCount();
    std::size_t handles = Kavrin::DX::Emulation::GetOpenHandleCount();
    std::size_t glInterop = Kavrin::DX::GetLiveGLInteropObjectCount();
};

// After surfaces died away from their context, only what the dead context's GL
// interop objects hold may remain: a driver frees those with the context, the
// process-wide emulation keeps them. Everything the surfaces own must be gone.
void ExpectOnlyGLHeldDirectXObjectsLeft(const DirectXCounts& before) {
    Kavrin::DX::D12CommandAllocator::WaitAllComplete();
    const DirectXCounts after;
    EXPECT_EQ(InteropContext::GetCount(), 0u);
    EXPECT_EQ(after.handles, before.handles);
    std::string live;
    for (const std::string& object : Kavrin::DX::GetLiveObjects()) {
        live += object + "\n";
        EXPECT_TRUE(object.rfind("TextureMemory", 0) == 0 || object.rfind("Fence", 0) == 0)
            << object << " outlived its surface";
    }
    EXPECT_EQ(after.objects - before.objects, after.glInterop - before.glInterop) << live;
}

class StressGLTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { Kavrin::Test::EnsureGuiApplication(); }
    void TearDown() override { RenderHub::GetInstance().Deinitialize(); }
};

// Eight callers mix every entry point while this (creating) thread starts and
// stops the library; the cancel flag alternates between the generations.
TEST_F(StressGLTest, CallersMixingEveryEntryPointWhileTheLibraryRestarts) {
    constexpr int kCallers = 8;
    constexpr int kOperations = 20000;  // a bound only: the restarts decide the length
    constexpr int kCycles = 8;
    constexpr unsigned kSeed = 20240612;
    SCOPED_TRACE("seed " + std::to_string(kSeed));
    Kavrin::Test::LimitCurrentTest(150s);

    RenderHub& hub = RenderHub::GetInstance();
    const OglCapability capability = hub.GetOglVersion();
    const DirectXCounts directXBefore;
    Lifecycle life;
    Shelf shelf;
    std::atomic<int> operations = 0;
    std::atomic<int> finished = 0;
    std::atomic<bool> stop = false;
    std::vector<std::unique_ptr<Caller>> callers;
    for (int i = 0; i < kCallers; ++i) {
        callers.push_back(
            std::make_unique<Caller>(kSeed + static_cast<unsigned>(i), life, shelf, operations));
    }
    std::vector<std::thread> threads;
    for (auto& caller : callers) {
        threads.emplace_back([&caller, &finished, &stop] {
            caller->Run(kOperations, stop);
            ++finished;
        });
    }

    // Restart whenever the callers made some progress; the callers never wait on
    // each other, so progress needs no timer.
    std::mt19937 random(kSeed);
    int cycles = 0;
    while (finished.load() < kCallers && cycles < kCycles) {
        const bool cancel = std::bernoulli_distribution(0.5)(random);
        const int generation = life.generation.load() + 1;
        life.cancelFlag[static_cast<std::size_t>(generation)] = cancel ? 1 : 0;
        life.generation = generation;
        hub.Initialize(nullptr, cancel);
        ASSERT_TRUE(hub.IsInitialized());
        const int target = operations.load() + std::uniform_int_distribution<int>(60, 240)(random);
        while (operations.load() < target && finished.load() < kCallers) {
            std::this_thread::yield();
        }
        hub.Deinitialize();
        life.generation = generation + 1;
        const int idle = operations.load() + 10;
        while (operations.load() < idle && finished.load() < kCallers) {
            std::this_thread::yield();
        }
        ++cycles;
    }
    stop = true;
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(cycles, kCycles) << "the callers ran out of operations before the restarts ended";
    // Leftovers go while no worker runs: their GL names died with the context,
    // their Direct3D objects and interop contexts must still go.
    shelf.frames.clear();
    shelf.surfaces.clear();
    EXPECT_EQ(shelf.surfaceFailures.load(), 0);
    ExpectOnlyGLHeldDirectXObjectsLeft(directXBefore);

    std::vector<std::string> problems;
    int accepted = 0;
    int ran = 0;
    int refused = 0;
    int surfaces = 0;
    for (const auto& caller : callers) {
        problems.insert(problems.end(), caller->failures.begin(), caller->failures.end());
        for (const auto& record : caller->records) {
            CheckRecord(*record, capability, problems);
            accepted += record->accepted ? 1 : 0;
            ran += record->runs.load() > 0 ? 1 : 0;
            refused += !record->accepted && !record->refusal.empty() ? 1 : 0;
            surfaces += record->task->GetName() == "SurfaceMaker" && record->runs > 0 ? 1 : 0;
        }
    }
    for (std::size_t i = 0; i < problems.size() && i < 20; ++i) {
        ADD_FAILURE() << problems[i];
    }
    EXPECT_TRUE(problems.empty()) << problems.size() << " problems";
    // The mix really exercised both sides of the lifecycle.
    EXPECT_GT(accepted, 100);
    EXPECT_GT(ran, 100);
    EXPECT_GT(refused, 0);
    EXPECT_GT(surfaces, 10);
}

// Objects a caller keeps across a restart. Their GL names belong to the dead
// context: a kept frame's name must neither enter the new pool (where it would
// alias a live texture) nor be deleted there, an upload into it must not write
// through it into a live frame, and reading a kept frame never refilled is
// refused. Surfaces dropped before or after the restart still release their
// Direct3D textures, handles and interop context.
TEST_F(StressGLTest, ObjectsKeptAcrossARestartNeverTouchTheNewContext) {
    Kavrin::Test::LimitCurrentTest(60s);
    using Kavrin::Ogl::TexturePool;
    using Kavrin::Proc::DataVideoCPU;
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
    const auto firstPixel = [&](Frame& frame, const Kavrin::Ogl::ShaderStorage& storage) {
        auto cpu = DataVideoCPU::Create(Kavrin::PixFmt::RGBA, info);
        frame.Download(cpu, storage);
        const std::uint8_t* pixel = cpu->GetPlaneConst(0).data;
        return std::array<int, 4>{pixel[0], pixel[1], pixel[2], pixel[3]};
    };
    hub.Initialize(nullptr, true);
    ASSERT_TRUE(hub.IsInitialized());
    boost::intrusive_ptr<Frame> stale;
    boost::intrusive_ptr<Frame> kept = Frame::Create();
    boost::intrusive_ptr<Frame> unfilled = Frame::Create();
    boost::intrusive_ptr<D11Surface> droppedWhileStopped;
    boost::intrusive_ptr<D11Surface> droppedAfterRestart;
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
