// Many callers against the library while it starts and stops: every accepted
// task must end, every waiter must wake, refusals must carry the library's words.
#include <GL/glew.h>

#include <array>
#include <random>
#include <sstream>

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

using namespace Kavrin::Ogl;
using Kavrin::Ogl::Details::GlObjectCounter;
using Kavrin::Test::MakeTask;
using namespace std::chrono_literals;
namespace Proc = Kavrin::Proc;

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

std::string Refusal(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const Proc::ProcException& procError) {
        return procError.GetDescription();
    } catch (const std::logic_error& logicError) {
        return logicError.what();
    } catch (const std::exception& other) {
        return std::string("unexpected: ") + other.what();
    }
}

bool IsRefusal(const std::string& text) {
    return text == "OpenGL Worker is deinitialized" ||
           text == "RenderHub has not yet been initialized";
}

// Frames and surfaces made on the GL thread and released by whichever caller
// takes them, off the GL thread.
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
            [&] {
                Push(New("FrameMaker",
                         [this] {
                             shelf.Put(
                                 Frame::CreateIntermediate(kBt709, Kavrin::PixFmt::RGBA, kTiny));
                         }),
                     Coin());
            },
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
    Record& New(const char* name, std::function<void()> body = {}) {
        Record* raw = records.emplace_back(std::make_unique<Record>()).get();
        raw->task = MakeTask(
            [raw, body = std::move(body)](auto, const auto&) {
                ++raw->runs;
                if (body) {
                    body();
                }
            },
            OglCapability::Minimal, name);
        return *raw;
    }

    // A Direct3D 11 surface on the worker's interop context, rendered into once.
    void MakeSurface() {
        auto surface = D11Surface::Create(kTiny.width, kTiny.height, DXGI_FORMAT_R8G8B8A8_UNORM,
                                          InteropContext::GetShared());
        surface->BindFrameBuffer([] { glClear(GL_COLOR_BUFFER_BIT); }, std::nullopt);
        shelf.Put(std::move(surface));
    }

    // On the GL thread a dispatch runs at once (the worker cannot be gone while
    // one of its tasks runs); a background push from there may meet a stop.
    void Nester() {
        Record& nested = New("Nested");
        Record& late = New("Late");
        nested.inner = late.inner = true;
        Push(New("Nester",
                 [&nested, &late] {
                     RenderHub& hub = RenderHub::GetInstance();
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
            background ? hub.DoBackgroundTask(record.task) : hub.DispatchTask(record.task);
        } catch (...) {
            record.refusal = Refusal(std::current_exception());
            return false;
        }
        record.accepted = true;
        // Known only when the push certainly happened inside one running generation.
        if (before == life.generation.load() && before % 2 == 1) {
            record.workerFlag = life.cancelFlag[static_cast<std::size_t>(before)].load();
        }
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

    void DataObject() {
        boost::intrusive_ptr<DataVideoOGL> object;
        try {
            object = DataVideoOGL::Create(kBt709, Kavrin::PixFmt::RGBA, kTiny);
        } catch (...) {
            ExpectRefusal("DataVideoOGL::Create");
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

// Emulated Direct3D objects and handles, and GL interop objects, taken while
// the library is stopped.
struct DirectXCounts {
    std::size_t objects = Kavrin::DX::GetLiveObjectCount();
    std::size_t handles = Kavrin::DX::Emulation::GetOpenHandleCount();
    std::size_t glInterop = Kavrin::DX::GetLiveGLInteropObjectCount();
};

// After surfaces died away from their context, only what the dead context's GL
// interop objects hold may remain (a driver frees those with the context, the
// process-wide emulation keeps them); everything the surfaces own must be gone.
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
// stops the library; the cancel flag alternates at random between generations.
TEST_F(StressGLTest, CallersMixingEveryEntryPointWhileTheLibraryRestarts) {
    constexpr int kCallers = 8;
    constexpr int kCycles = 8;
    constexpr unsigned kSeed = 20240612;
    SCOPED_TRACE("seed " + std::to_string(kSeed));
    Kavrin::Test::LimitCurrentTest(150s);

    RenderHub& hub = RenderHub::GetInstance();
    const DirectXCounts directXBefore;
    Lifecycle life;
    Shelf shelf;
    std::atomic<int> operations = 0;
    std::atomic<int> finished = 0;
    std::atomic<bool> stop = false;
    std::vector<std::unique_ptr<Caller>> callers;
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < kCallers; ++i) {
        auto& caller =
            *callers.emplace_back(std::make_unique<Caller>(kSeed + i, life, shelf, operations));
        // 20000 operations bound a caller; the restarts decide the length.
        threads.emplace_back([&caller, &finished, &stop] {
            caller.Run(20000, stop);
            ++finished;
        });
    }
    // Restart whenever the callers made some progress; they never wait on each
    // other, so progress needs no timer.
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
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(cycles, kCycles) << "the callers ran out of operations before the restarts ended";
    // Leftovers go while no worker runs: their GL names died with the context,
    // their Direct3D objects and interop contexts must still go.
    shelf.objects.clear();
    ExpectOnlyGLHeldDirectXObjectsLeft(directXBefore);

    std::vector<std::string> problems;
    int accepted = 0, ran = 0, refused = 0, surfaces = 0;
    for (const auto& caller : callers) {
        problems.insert(problems.end(), caller->failures.begin(), caller->failures.end());
        for (const auto& record : caller->records) {
            if (std::string problem = CheckRecord(*record); !problem.empty()) {
                problems.push_back(problem);
            }
            accepted += record->accepted;
            ran += record->runs.load() > 0;
            refused += !record->accepted && !record->refusal.empty();
            surfaces += record->task->GetName() == "SurfaceMaker" && record->runs > 0;
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
