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

#include "Kavrin/PixFmtDescription.h"
#include "Kavrin/Proc/ICoreTracker.h"

#include "Bench.h"
#include "Convert.h"
#include "Demo.h"
#include "IOglTask.h"
#include "Private/UploadDownloadBuffers.h"
#include "RenderHub.h"
#include "ShaderStorage.h"

namespace {

using Kavrin::Ogl::IOglPromiseTask;
using Kavrin::Ogl::OglCapability;
using Kavrin::Ogl::RenderHub;
using Kavrin::Ogl::ShaderStorage;

constexpr const char* kUsage =
    "usage: renderhub [--verbose] [COMMAND [OPTIONS]]\n"
    "\n"
    "commands:\n"
    "  demo    send a generated clip through every supported pixel format and a PQ to SDR\n"
    "          conversion on the GPU, print the results and write a contact sheet PNG\n"
    "          (the default)\n"
    "          --size WxH (640x360)  --frames N (6)  --output FILE (renderhub-demo.png)\n"
    "  bench   task dispatch rate and latency, and frame upload/download rates of the main\n"
    "          formats\n"
    "          --size WxH (repeatable; 1920x1080 and 3840x2160)  --seconds S (0.5)  --json\n"
    "  convert IN OUT  convert Y4M (.y4m), PNG sequences (name%04d.png; 8/16-bit RGB(A)) or raw\n"
    "          planar video between pixel formats on the GPU\n"
    "          --pix-fmt NAME (output; default: the input's)\n"
    "          --in-matrix/--matrix NAME (YUV matrix: bt709, bt470bg, smpte170m, bt2020nc,\n"
    "          smpte240m, fcc; default: bt2020nc for bt2020 primaries, else bt709)\n"
    "          --in-range/--range tv|pc (YUV sample range; input: the Y4M header's or tv,\n"
    "          output: the input's)  --in-flight N (4 frames between reading and writing)\n"
    "          raw input: --size WxH --in-pix-fmt NAME\n"
    "          colour: --in-primaries/--primaries NAME (bt709, bt470bg, smpte170m, bt2020, "
    "smpte432)\n"
    "                  --in-transfer/--transfer NAME (bt709, gamma22, gamma28, linear,\n"
    "                  iec61966-2-1, smpte2084, arib-std-b67), input defaults bt709\n"
    "                  --source-peak --target-peak --reference-white --hlg-peak (cd/m2)\n"
    "  info    initialise the library and print what the OpenGL implementation offers\n"
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

// What the GL thread's interop context found, as it reported it to the host.
void PrintInterop() {
    using Kavrin::Proc::ICoreTracker;
    ICoreTracker::Values report;
    for (const auto& event : ICoreTracker::GetTracker()->GetEvents()) {
        if (event.name == ICoreTracker::CORE_EVENT_OGL_INFO) {
            report = event.values;
        }
    }
    const auto value = [&](const std::string& key) {
        const auto found = report.find(key);
        return found != report.end() ? found->second : std::string("-");
    };
    std::cout << "  Direct3D interop : " << value(ICoreTracker::CORE_OGL_DX_STATUS)
              << " (Direct3D is emulated in system memory on this platform)\n";
    const std::string sharing = value(ICoreTracker::CORE_OGL_DX_SHARING_STATUS);
    if (sharing == "-") {
        return;
    }
    const int bits = std::stoi(sharing);
    std::string paths = "WGL_NV_DX_interop";
    paths += (bits & 1) != 0 ? ", D3D11 memory objects + keyed mutex" : "";
    paths += (bits & 2) != 0 ? ", D3D12 memory objects + fences" : "";
    std::cout << "  sharing status   : " << sharing << " (" << paths << ")\n"
              << "  adapter          : " << value(ICoreTracker::CORE_GPU_BRAND_STR) << ", DirectX "
              << value(ICoreTracker::CORE_DIRECTX_LEVEL) << ", driver "
              << value(ICoreTracker::CORE_GPU_DRIVER_VERSION) << "\n";
}

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
              << (workerRuns ? "yes (\"$Worker::Thread$\" ran a task)" : "no") << "\n"
              << "  CPU pixel formats: ";
    const auto& formats = Kavrin::Ogl::GetSupportedPixFmt();
    for (std::size_t i = 0; i < formats.size(); ++i) {
        std::cout << (i == 0       ? ""
                      : i % 8 == 0 ? ",\n                     "
                                   : ", ")
                  << Kavrin::PixFmtDescription::Find(formats[i])->GetName();
    }
    std::cout << " (" << formats.size() << ")\n";
    PrintInterop();
    hub.Deinitialize();
    return workerRuns ? 0 : 1;
}

// "WxH" into width and height; false when malformed.
bool ParseSize(const std::string& text, int& width, int& height) {
    const auto x = text.find('x');
    if (x == std::string::npos) {
        return false;
    }
    try {
        width = std::stoi(text.substr(0, x));
        height = std::stoi(text.substr(x + 1));
    } catch (const std::exception&) {
        return false;
    }
    return width > 0 && height > 0 && width <= 16384 && height <= 16384;
}

int Usage(const std::string& problem) {
    std::cerr << "renderhub: " << problem << "\n" << kUsage;
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    bool verbose = false;
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--verbose" || argument == "-v") {
            verbose = true;
        } else if (argument == "--help" || argument == "-h") {
            std::cout << kUsage;
            return 0;
        } else {
            arguments.push_back(argument);
        }
    }
    const std::string command = arguments.empty() ? "demo" : arguments.front();
    RenderHubTool::DemoOptions demo;
    RenderHubTool::BenchOptions bench;
    RenderHubTool::ConvertOptions convert;
    if (command == "demo") {
        for (std::size_t i = 1; i < arguments.size(); ++i) {
            const bool hasValue = i + 1 < arguments.size();
            if (arguments[i] == "--size" && hasValue) {
                if (!ParseSize(arguments[++i], demo.width, demo.height)) {
                    return Usage("--size takes WxH, for example 640x360");
                }
            } else if (arguments[i] == "--frames" && hasValue) {
                try {
                    demo.frames = std::stoi(arguments[++i]);
                } catch (const std::exception&) {
                    demo.frames = 0;
                }
                if (demo.frames <= 0 || demo.frames > 1000) {
                    return Usage("--frames takes a number from 1 to 1000");
                }
            } else if (arguments[i] == "--output" && hasValue) {
                demo.output = arguments[++i];
            } else {
                return Usage("unknown demo option '" + arguments[i] + "'");
            }
        }
    } else if (command == "bench") {
        bool sizesGiven = false;
        for (std::size_t i = 1; i < arguments.size(); ++i) {
            const bool hasValue = i + 1 < arguments.size();
            if (arguments[i] == "--json") {
                bench.json = true;
            } else if (arguments[i] == "--size" && hasValue) {
                int width = 0;
                int height = 0;
                if (!ParseSize(arguments[++i], width, height)) {
                    return Usage("--size takes WxH, for example 1920x1080");
                }
                if (!sizesGiven) {
                    bench.sizes.clear();
                    sizesGiven = true;
                }
                bench.sizes.emplace_back(width, height);
            } else if (arguments[i] == "--seconds" && hasValue) {
                try {
                    bench.secondsPerCase = std::stod(arguments[++i]);
                } catch (const std::exception&) {
                    bench.secondsPerCase = -1;
                }
                if (!(bench.secondsPerCase > 0 && bench.secondsPerCase <= 60)) {
                    return Usage("--seconds takes a number above 0 and up to 60");
                }
            } else {
                return Usage("unknown bench option '" + arguments[i] + "'");
            }
        }
    } else if (command == "convert") {
        std::vector<std::string> files;
        for (std::size_t i = 1; i < arguments.size(); ++i) {
            const bool hasValue = i + 1 < arguments.size();
            if (arguments[i] == "--pix-fmt" && hasValue) {
                convert.outputPixFmt = arguments[++i];
            } else if (arguments[i] == "--in-pix-fmt" && hasValue) {
                convert.inputPixFmt = arguments[++i];
            } else if (arguments[i] == "--in-matrix" && hasValue) {
                convert.inputMatrix = arguments[++i];
            } else if (arguments[i] == "--matrix" && hasValue) {
                convert.outputMatrix = arguments[++i];
            } else if (arguments[i] == "--in-range" && hasValue) {
                convert.inputRange = arguments[++i];
            } else if (arguments[i] == "--range" && hasValue) {
                convert.outputRange = arguments[++i];
            } else if (arguments[i] == "--in-flight" && hasValue) {
                try {
                    convert.inFlight = std::stoi(arguments[++i]);
                } catch (const std::exception&) {
                    convert.inFlight = 0;
                }
                if (convert.inFlight < 1 || convert.inFlight > 64) {
                    return Usage("--in-flight takes a number from 1 to 64");
                }
            } else if (arguments[i] == "--in-primaries" && hasValue) {
                convert.inputPrimaries = arguments[++i];
            } else if (arguments[i] == "--in-transfer" && hasValue) {
                convert.inputTransfer = arguments[++i];
            } else if (arguments[i] == "--primaries" && hasValue) {
                convert.outputPrimaries = arguments[++i];
            } else if (arguments[i] == "--transfer" && hasValue) {
                convert.outputTransfer = arguments[++i];
            } else if ((arguments[i] == "--source-peak" || arguments[i] == "--target-peak" ||
                        arguments[i] == "--reference-white" || arguments[i] == "--hlg-peak") &&
                       hasValue) {
                const std::string option = arguments[i];
                float value = 0;
                try {
                    value = std::stof(arguments[++i]);
                } catch (const std::exception&) {
                    value = 0;
                }
                if (!(value > 0 && value <= 10000)) {
                    return Usage(option + " takes cd/m2 above 0 and up to 10000");
                }
                (option == "--source-peak"       ? convert.sourcePeak
                 : option == "--target-peak"     ? convert.targetPeak
                 : option == "--reference-white" ? convert.referenceWhite
                                                 : convert.hlgPeak) = value;
            } else if (arguments[i] == "--size" && hasValue) {
                if (!ParseSize(arguments[++i], convert.width, convert.height)) {
                    return Usage("--size takes WxH, for example 1920x1080");
                }
            } else if (arguments[i].rfind("--", 0) == 0) {
                return Usage("unknown convert option '" + arguments[i] + "'");
            } else {
                files.push_back(arguments[i]);
            }
        }
        if (files.size() != 2) {
            return Usage("convert takes an input and an output file");
        }
        convert.input = files[0];
        convert.output = files[1];
    } else if (command != "info" || arguments.size() > 1) {
        return Usage("unknown command '" + command + "'");
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
    if (command == "info") {
        return RunInfo();
    }
    RenderHub& hub = RenderHub::GetInstance();
    hub.Initialize(nullptr, true);
    if (!hub.IsInitialized()) {
        Fail(
            "no OpenGL 3.0 or later context could be created and probed "
            "(run with --verbose to see the driver's answers)");
    }
    int status = 0;
    try {
        status = command == "bench"     ? RenderHubTool::RunBench(bench)
                 : command == "convert" ? RenderHubTool::RunConvert(convert)
                                        : RenderHubTool::RunDemo(demo);
    } catch (const std::exception& error) {
        std::cerr << "renderhub: " << command << " failed: " << error.what() << "\n";
        status = 1;
    }
    hub.Deinitialize();
    return status;
}
