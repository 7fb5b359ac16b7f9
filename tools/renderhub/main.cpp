// renderhub: the command-line face of the RenderHub library.
#include <GL/glew.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <iostream>
#include <string>
#include <vector>

#include <QGuiApplication>
#include <glog/logging.h>

#include "IOglTask.h"
#include "RenderHub.h"
#include "ShaderStorage.h"

namespace {

using Kavrin::Ogl::IOglPromiseTask;
using Kavrin::Ogl::OglCapability;
using Kavrin::Ogl::RenderHub;
using Kavrin::Ogl::ShaderStorage;

constexpr const char* kUsage =
    "usage: renderhub [--verbose] [COMMAND]\n"
    "\n"
    "commands:\n"
    "  info    initialise the library and print what the OpenGL implementation offers\n"
    "          (the default)\n"
    "\n"
    "options:\n"
    "  --verbose   write the library's log (detection, worker lifecycle) to stderr\n";

[[noreturn]] void Fail(const std::string& why) {
    std::fprintf(stderr, "renderhub: OpenGL cannot be used: %s\n", why.c_str());
    std::fflush(stderr);
    std::_Exit(1);
}

// Qt aborts when it cannot reach the display; turn that into a clear failure.
void HandleQtMessage(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtFatalMsg) {
        Fail(message.toStdString());
    }
    // Qt's own chatter (runtime dir, plugin lookups) only with --verbose.
    LOG_IF(INFO, type >= QtWarningMsg) << "Qt: " << message.toStdString();
}

// Reads the driver strings on the GL thread: proves the worker runs tasks.
class ProbeTask : public IOglPromiseTask<bool> {
public:
    ProbeTask() : IOglPromiseTask(OglCapability::Minimal, "RendererProbe") {}
    std::string version;

private:
    void DoExecute(OglCapability, const ShaderStorage& storage) override {
        const auto* text = reinterpret_cast<const char*>(glGetString(GL_VERSION));
        version = text ? text : "";
        promise.set_value(storage.IsValid() && !version.empty());
    }
};

int RunInfo() {
    RenderHub& hub = RenderHub::GetInstance();
    hub.Initialize(nullptr, true);
    const auto information = hub.GetInformation();
    if (!information || information->capability == OglCapability::Unknown) {
        Fail(
            "no OpenGL 3.0 or later context could be created and probed "
            "(run with --verbose to see the driver's answers)");
    }

    bool workerRuns = false;
    if (hub.IsInitialized()) {
        boost::intrusive_ptr<ProbeTask> probe(new ProbeTask());
        std::future<bool> done = probe->GetFuture();
        hub.DispatchTask(probe);
        workerRuns =
            done.wait_for(std::chrono::seconds(30)) == std::future_status::ready && done.get();
    }

    std::cout << "RenderHub OpenGL report\n"
              << "  capability level : " << static_cast<int>(information->capability) << " ("
              << information->CapabilityName() << ")\n"
              << "  context version  : " << information->VersionText() << "\n"
              << "  GL_VERSION       : " << information->version << "\n"
              << "  GL_RENDERER      : " << information->renderer << "\n"
              << "  GL_VENDOR        : " << information->vendor << "\n"
              << "  max texture size : " << information->maxTextureSize << "\n"
              << "  worker started   : "
              << (workerRuns ? "yes (\"$Worker::Thread$\" ran a task)" : "no") << "\n";
    hub.Deinitialize();
    return workerRuns ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    bool verbose = false;
    std::vector<std::string> commands;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--verbose" || argument == "-v") {
            verbose = true;
        } else if (argument == "--help" || argument == "-h") {
            std::cout << kUsage;
            return 0;
        } else {
            commands.push_back(argument);
        }
    }
    const std::string command = commands.empty() ? "info" : commands.front();
    if (command != "info" || commands.size() > 1) {
        std::cerr << "renderhub: unknown command '" << command << "'\n" << kUsage;
        return 2;
    }

    FLAGS_logtostderr = true;
    FLAGS_minloglevel = verbose ? google::GLOG_INFO : google::GLOG_WARNING;
    google::InitGoogleLogging(argv[0]);

    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (std::getenv("DISPLAY") == nullptr &&
        (platform == nullptr || std::strncmp(platform, "xcb", 3) == 0)) {
        Fail("no X display (DISPLAY is not set); run under 'xvfb-run -a' or set DISPLAY");
    }
    qInstallMessageHandler(&HandleQtMessage);
    QGuiApplication application(argc, argv);
    return RunInfo();
}
