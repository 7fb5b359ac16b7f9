#include <GL/glew.h>

#include "TestMain.h"

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <QGuiApplication>
#include <glog/logging.h>
#include <gtest/gtest.h>

#include "RenderHub.h"

namespace Kavrin::Test {
namespace {

// Everything reaches log sinks; tests provoke errors on purpose, so nothing goes
// to files or stderr unless RENDERHUB_TEST_LOG is set.
void InitTestLogging(const char* program) {
    FLAGS_logtostderr = false;
    FLAGS_alsologtostderr = false;
    FLAGS_stderrthreshold =
        std::getenv("RENDERHUB_TEST_LOG") ? google::GLOG_INFO : google::GLOG_FATAL;
    FLAGS_minloglevel = google::GLOG_INFO;
    FLAGS_v = 0;
    google::InitGoogleLogging(program);
    for (google::LogSeverity severity = google::GLOG_INFO; severity < google::NUM_SEVERITIES;
         ++severity) {
        google::SetLogDestination(severity, "");
    }
}

int argc = 1;
char name[] = "renderhub-tests";
char* argv[] = {name, nullptr};
std::unique_ptr<QGuiApplication> application;

// Every thread's stack through gdb, when there is one.
void DumpThreads() {
    std::fprintf(stderr, "---- thread dump of pid %d ----\n", static_cast<int>(getpid()));
    std::fflush(stderr);
    // Lets the debugger attach where Yama restricts ptrace to descendants.
    prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
    const std::string pid = std::to_string(getpid());
    const pid_t child = fork();
    if (child == 0) {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        execlp("gdb", "gdb", "-p", pid.c_str(), "-batch", "-nx", "-ex", "thread apply all bt",
               static_cast<char*>(nullptr));
        _exit(127);
    }
    if (child > 0) {
        waitpid(child, nullptr, 0);
    }
}

// Watches the running test from a thread of its own; never destroyed, so the
// thread outlives static destruction safely.
class HangGuard {
public:
    HangGuard() {
        std::thread([this] { Watch(); }).detach();
    }

    // A deadline `limit` from now for `name` (the running test when empty); none
    // without a limit.
    void Set(std::optional<std::chrono::seconds> limit, std::string name = {}) {
        std::lock_guard lock(mutex);
        if (!name.empty()) {
            test = std::move(name);
        }
        armed = limit.has_value();
        deadline = std::chrono::steady_clock::now() + limit.value_or(std::chrono::seconds(0));
        changed.notify_all();
    }

private:
    void Watch() {
        std::unique_lock lock(mutex);
        for (;;) {
            if (!armed) {
                changed.wait(lock);
            } else if (changed.wait_until(lock, deadline) == std::cv_status::timeout && armed &&
                       std::chrono::steady_clock::now() >= deadline) {
                std::fprintf(stderr, "HANG: %s did not finish in time\n", test.c_str());
                DumpThreads();
                std::abort();
            }
        }
    }

    std::mutex mutex;  // guards the fields below; a leaf lock
    std::condition_variable changed;
    std::string test;
    std::chrono::steady_clock::time_point deadline;
    bool armed = false;
};

HangGuard* hangGuard = nullptr;  // created by RunTests

class HangListener : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo& info) override {
        hangGuard->Set(std::chrono::seconds(120),
                       std::string(info.test_suite_name()) + "." + info.name());
    }
    void OnTestEnd(const ::testing::TestInfo&) override { hangGuard->Set(std::nullopt); }
};

// The library, started once for the whole binary.
class GLEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        EnsureGuiApplication();
        auto& hub = Ogl::RenderHub::GetInstance();
        hub.Initialize(nullptr, true);
        ASSERT_TRUE(hub.IsInitialized())
            << "no GL worker: is there an X display (scripts/test.sh)?";
    }
    void TearDown() override { Ogl::RenderHub::GetInstance().Deinitialize(); }
};
}  // namespace

void EnsureGuiApplication() {
    if (!application) {
        application = std::make_unique<QGuiApplication>(argc, argv);
    }
}

void LimitCurrentTest(std::chrono::seconds limit) {
    if (hangGuard != nullptr) {
        hangGuard->Set(limit);
    }
}

int RunTests(int argc, char** argv, bool sharedLibrary) {
    InitTestLogging(argv[0]);
    ::testing::InitGoogleTest(&argc, argv);
    hangGuard = new HangGuard;
    ::testing::UnitTest::GetInstance()->listeners().Append(new HangListener);
    if (sharedLibrary) {
        ::testing::AddGlobalTestEnvironment(new GLEnvironment());
    }
    const int result = RUN_ALL_TESTS();
    application.reset();
    return result;
}

}  // namespace Kavrin::Test
