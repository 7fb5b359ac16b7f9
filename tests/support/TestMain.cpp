#include <GL/glew.h>

#include "TestMain.h"

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

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

// What the hang handler prints; filled before the alarm can fire, since the
// handler may only make async-signal-safe calls.
char runningTest[512];
char pidText[16];

void Say(const char* text) {
    [[maybe_unused]] auto written = write(STDERR_FILENO, text, std::strlen(text));
}

// Every thread's stack through gdb, when there is one, then abort.
void OnHang(int) {
    Say("HANG: ");
    Say(runningTest);
    Say(" did not finish in time\n---- thread dump ----\n");
    // Lets the debugger attach where Yama restricts ptrace to descendants.
    prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
    const pid_t child = fork();
    if (child == 0) {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        execlp("gdb", "gdb", "-p", pidText, "-batch", "-nx", "-ex", "thread apply all bt",
               static_cast<char*>(nullptr));
        _exit(127);
    }
    if (child > 0) {
        waitpid(child, nullptr, 0);
    }
    std::abort();
}

class HangListener : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo& info) override {
        std::snprintf(runningTest, sizeof(runningTest), "%s.%s", info.test_suite_name(),
                      info.name());
        alarm(120);
    }
    void OnTestEnd(const ::testing::TestInfo&) override { alarm(0); }
};

// The library, started once for the whole binary.
class GLEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        EnsureGuiApplication();
        auto& hub = Ogl::RenderHub::GetInstance();
        hub.Initialize(nullptr, true);
        ASSERT_TRUE(hub.IsInitialized())
            << "RenderHub could not start its GL worker; is there an X "
               "display (run the suite through scripts/test.sh)?";
    }
    void TearDown() override { Ogl::RenderHub::GetInstance().Deinitialize(); }
};
}  // namespace

void EnsureGuiApplication() {
    if (!application) {
        application = std::make_unique<QGuiApplication>(argc, argv);
    }
}

void LimitCurrentTest(std::chrono::seconds limit) { alarm(static_cast<unsigned>(limit.count())); }

int RunTests(int argc, char** argv, bool sharedLibrary) {
    InitTestLogging(argv[0]);
    ::testing::InitGoogleTest(&argc, argv);
    std::snprintf(pidText, sizeof(pidText), "%d", static_cast<int>(getpid()));
    std::signal(SIGALRM, OnHang);
    ::testing::UnitTest::GetInstance()->listeners().Append(new HangListener);
    if (sharedLibrary) {
        ::testing::AddGlobalTestEnvironment(new GLEnvironment());
    }
    const int result = RUN_ALL_TESTS();
    application.reset();
    return result;
}

}  // namespace Kavrin::Test
