#include "TestMain.h"

#include <cstdlib>
#include <memory>

#include <QGuiApplication>
#include <glog/logging.h>

namespace Kavrin::Test {

void InitTestLogging(const char* program) {
    FLAGS_logtostderr = false;
    FLAGS_alsologtostderr = false;
    // Tests provoke errors on purpose; RENDERHUB_TEST_LOG=1 shows everything.
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

namespace {
int argc = 1;
char name[] = "renderhub-tests";
char* argv[] = {name, nullptr};
std::unique_ptr<QGuiApplication> application;
}  // namespace

void EnsureGuiApplication() {
    if (!application) {
        application = std::make_unique<QGuiApplication>(argc, argv);
    }
}

void DestroyGuiApplication() { application.reset(); }

}  // namespace Kavrin::Test
