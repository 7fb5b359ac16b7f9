// renderhub: the command-line face of the RenderHub library.
#include <GL/glew.h>

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
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
#include "XDisplayConnection.h"

namespace {

using Kavrin::Ogl::IOglPromiseTask;
using Kavrin::Ogl::OglCapability;
using Kavrin::Ogl::RenderHub;
using Kavrin::Ogl::ShaderStorage;

// The usage text in parts, one per command, so that COMMAND --help shows its own.
constexpr std::string_view kDemoHelp =
    "  demo    send a generated clip through every supported pixel format and a PQ to SDR\n"
    "          conversion on the GPU, print the results and write a contact sheet PNG\n"
    "          (the default)\n"
    "          --size WxH (640x360)  --frames N (6)  --output FILE (renderhub-demo.png)\n";
constexpr std::string_view kBenchHelp =
    "  bench   task dispatch rate and latency, and frame upload/download rates of the main\n"
    "          formats\n"
    "          --size WxH (repeatable; 1920x1080 and 3840x2160)  --seconds S (0.5)  --json\n";
constexpr std::string_view kConvertHelp =
    "  convert IN OUT  convert Y4M (.y4m), PNG sequences (name%04d.png; 8/16-bit RGB(A)) or raw\n"
    "          planar video between pixel formats on the GPU; IN or OUT - is standard input\n"
    "          or output (Y4M, or raw when asked for)\n"
    "          --pix-fmt NAME (output; default: the input's)\n"
    "          --in-matrix/--matrix NAME (YUV matrix: bt709, bt470bg, smpte170m, bt2020nc,\n"
    "          smpte240m, fcc; default: bt2020nc for bt2020 primaries, else bt709)\n"
    "          --in-range/--range tv|pc (YUV sample range; input: the Y4M header's or tv,\n"
    "          output: the input's)  --in-flight N (4 frames between reading and writing)\n"
    "          raw input: --size WxH --in-pix-fmt NAME\n"
    "          containers: --in-format y4m|raw|png (input), -f y4m|raw|png (output);\n"
    "          default: by the file's extension\n"
    "          --chroma-filter nearest|bilinear|bicubic (where the chroma grid changes;\n"
    "          default bilinear)  --in-chroma-loc/--chroma-loc left|center|topleft|top|\n"
    "          bottomleft|bottom (input: the Y4M tag's or left; output: the input's)\n"
    "          --dither none|ordered (when the output has fewer bits than the data: an\n"
    "          ordered 16x16 pattern, the same every frame; default none)\n"
    "          --scale WxH (output size; default: the input's)  --scale-filter bilinear|\n"
    "          bicubic|mitchell|lanczos3 (default bicubic: Catmull-Rom)  --scale-light\n"
    "          gamma|linear (weigh the samples as they are, or in linear light)\n"
    "          --start-number N (first frame of a PNG input sequence; default: the lowest\n"
    "          of 0 to 4)  --quiet (no progress line and no summary)\n"
    "          colour: --in-primaries/--primaries NAME (bt709, bt470bg, smpte170m, bt2020, "
    "smpte432)\n"
    "                  --in-transfer/--transfer NAME (bt709, gamma22, gamma28, linear,\n"
    "                  iec61966-2-1, smpte2084, arib-std-b67), input defaults bt709\n"
    "                  --source-peak --target-peak --reference-white --hlg-peak (cd/m2)\n"
    "                  --tonemap bt2390|reinhard|clip (HDR to a lower peak; default bt2390)\n"
    "                  --gamut clip|compress (colours outside a narrower gamut; default\n"
    "                  clip)\n";
constexpr std::string_view kInfoHelp =
    "  info    initialise the library and print what the OpenGL implementation offers\n";
constexpr std::string_view kOptionsHelp =
    "options:\n"
    "  --verbose   write the library's log (detection, worker lifecycle) to stderr\n"
    "  --help      this text; after a command, that command's part of it\n"
    "  --version   print the version\n"
    "\n"
    "exit status: 0 done, 1 failed while running, 2 bad command line, 3 convert's input\n"
    "ended inside a frame (the whole frames before it were written)\n";

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

// A bad command line; main reports it with status 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The whole text as a number: "4abc", "1e3" for an integer or " 5" are not numbers.
template <typename Number>
bool ParseNumber(std::string_view text, Number& value) {
    const char* const end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    return error == std::errc() && stop == end;
}

int IntValue(const std::string& option, const std::string& text, int lowest, int highest,
             const std::string& wanted) {
    int value = 0;
    if (!ParseNumber(text, value) || value < lowest || value > highest) {
        throw UsageError(option + " takes " + wanted + ", not '" + text + "'");
    }
    return value;
}

// A number above 0 and up to `highest`.
double PositiveValue(const std::string& option, const std::string& text, double highest,
                     const std::string& wanted) {
    double value = 0;
    if (!ParseNumber(text, value) || !(value > 0 && value <= highest)) {
        throw UsageError(option + " takes " + wanted + ", not '" + text + "'");
    }
    return value;
}

// "WxH" into width and height.
void SizeValue(const std::string& option, const std::string& text, const std::string& example,
               int& width, int& height) {
    const auto x = text.find('x');
    const bool valid = x != std::string::npos &&
                       ParseNumber(std::string_view(text).substr(0, x), width) &&
                       ParseNumber(std::string_view(text).substr(x + 1), height) && width > 0 &&
                       height > 0 && width <= 16384 && height <= 16384;
    if (!valid) {
        throw UsageError(option + " takes WxH, for example " + example + ", not '" + text + "'");
    }
}

// One option of a command: its name, whether a value follows, and what it sets.
struct Option {
    std::string name;
    bool takesValue;
    std::function<void(const std::string& value)> set;
};

// Reads a command's arguments after its name. Positional arguments ("-" among
// them) go to `positional`, at most `maxPositional` of them.
void ReadArguments(const std::string& command, const std::vector<std::string>& arguments,
                   const std::vector<Option>& options, std::vector<std::string>& positional,
                   std::size_t maxPositional) {
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument.size() < 2 || argument[0] != '-') {
            if (positional.size() == maxPositional) {
                throw UsageError("unexpected argument '" + argument + "'");
            }
            positional.push_back(argument);
            continue;
        }
        const auto option = std::find_if(options.begin(), options.end(),
                                         [&](const Option& o) { return o.name == argument; });
        if (option == options.end()) {
            std::string valid;
            for (const Option& o : options) {
                valid += (valid.empty() ? "" : ", ") + o.name;
            }
            throw UsageError("unknown " + command + " option '" + argument + "' (" +
                             (valid.empty() ? command + " takes no options" : "valid: " + valid) +
                             ")");
        }
        if (!option->takesValue) {
            option->set({});
            continue;
        }
        // "--pix-fmt --range pc" lacks the format; no value begins with "--".
        if (i + 1 == arguments.size() || arguments[i + 1].rfind("--", 0) == 0) {
            throw UsageError(argument + " needs a value");
        }
        option->set(arguments[++i]);
    }
}

struct CommandLine {
    RenderHubTool::DemoOptions demo;
    RenderHubTool::BenchOptions bench;
    RenderHubTool::ConvertOptions convert;
};

// Each command reads its own options from `arguments` (its name first).
void ParseDemo(const std::vector<std::string>& arguments, CommandLine& line) {
    const std::string name = "demo";
    std::vector<std::string> positional;
    auto& demo = line.demo;
    ReadArguments(name, arguments,
                  {{"--size", true,
                    [&](const std::string& v) {
                        SizeValue("--size", v, "640x360", demo.width, demo.height);
                    }},
                   {"--frames", true,
                    [&](const std::string& v) {
                        demo.frames = IntValue("--frames", v, 1, 1000, "a number from 1 to 1000");
                    }},
                   {"--output", true, [&](const std::string& v) { demo.output = v; }}},
                  positional, 0);
}

void ParseBench(const std::vector<std::string>& arguments, CommandLine& line) {
    const std::string name = "bench";
    std::vector<std::string> positional;
    auto& bench = line.bench;
    bool sizesGiven = false;
    ReadArguments(name, arguments,
                  {{"--size", true,
                    [&](const std::string& v) {
                        int width = 0;
                        int height = 0;
                        SizeValue("--size", v, "1920x1080", width, height);
                        if (!sizesGiven) {
                            bench.sizes.clear();
                            sizesGiven = true;
                        }
                        bench.sizes.emplace_back(width, height);
                    }},
                   {"--seconds", true,
                    [&](const std::string& v) {
                        bench.secondsPerCase =
                            PositiveValue("--seconds", v, 60, "a number above 0 and up to 60");
                    }},
                   {"--json", false, [&](const std::string&) { bench.json = true; }}},
                  positional, 0);
}

void ParseConvert(const std::vector<std::string>& arguments, CommandLine& line) {
    const std::string name = "convert";
    std::vector<std::string> positional;
    auto& convert = line.convert;
    const auto text = [](std::string& field) {
        return [&field](const std::string& v) { field = v; };
    };
    const auto peak = [](const std::string& option, float& field) {
        return [option, &field](const std::string& v) {
            field = static_cast<float>(
                PositiveValue(option, v, 10000, "cd/m2 above 0 and up to 10000"));
        };
    };
    ReadArguments(
        name, arguments,
        {{"--pix-fmt", true, text(convert.outputPixFmt)},
         {"--in-pix-fmt", true, text(convert.inputPixFmt)},
         {"--size", true,
          [&](const std::string& v) {
              SizeValue("--size", v, "1920x1080", convert.width, convert.height);
          }},
         {"--in-format", true, text(convert.inputContainer)},
         {"-f", true, text(convert.outputContainer)},
         {"--start-number", true,
          [&](const std::string& v) {
              convert.startNumber =
                  IntValue("--start-number", v, 0, 999999999, "a number 0 or above");
          }},
         {"--in-matrix", true, text(convert.inputMatrix)},
         {"--matrix", true, text(convert.outputMatrix)},
         {"--in-range", true, text(convert.inputRange)},
         {"--range", true, text(convert.outputRange)},
         {"--in-primaries", true, text(convert.inputPrimaries)},
         {"--primaries", true, text(convert.outputPrimaries)},
         {"--in-transfer", true, text(convert.inputTransfer)},
         {"--transfer", true, text(convert.outputTransfer)},
         {"--source-peak", true, peak("--source-peak", convert.sourcePeak)},
         {"--target-peak", true, peak("--target-peak", convert.targetPeak)},
         {"--reference-white", true, peak("--reference-white", convert.referenceWhite)},
         {"--hlg-peak", true, peak("--hlg-peak", convert.hlgPeak)},
         {"--in-flight", true,
          [&](const std::string& v) {
              convert.inFlight = IntValue("--in-flight", v, 1, 64, "a number from 1 to 64");
          }},
         {"--dither", true, text(convert.dither)},
         {"--chroma-filter", true, text(convert.chromaFilter)},
         {"--in-chroma-loc", true, text(convert.inputChromaLocation)},
         {"--chroma-loc", true, text(convert.outputChromaLocation)},
         {"--scale", true,
          [&](const std::string& v) {
              SizeValue("--scale", v, "1280x720", convert.scaleWidth, convert.scaleHeight);
          }},
         {"--scale-filter", true, text(convert.scaleFilter)},
         {"--scale-light", true, text(convert.scaleLight)},
         {"--tonemap", true, text(convert.toneCurve)},
         {"--gamut", true, text(convert.gamut)},
         {"--quiet", false, [&](const std::string&) { convert.quiet = true; }}},
        positional, 2);
    if (positional.size() != 2) {
        throw UsageError(
            "convert takes an input and an output file (- for standard input or output)");
    }
    convert.input = positional[0];
    convert.output = positional[1];
}

void ParseInfo(const std::vector<std::string>& arguments, CommandLine&) {
    std::vector<std::string> positional;
    ReadArguments("info", arguments, {}, positional, 0);
}

int RunDemoCommand(const CommandLine& line) { return RenderHubTool::RunDemo(line.demo); }
int RunBenchCommand(const CommandLine& line) { return RenderHubTool::RunBench(line.bench); }
int RunConvertCommand(const CommandLine& line) { return RenderHubTool::RunConvert(line.convert); }
int RunInfoCommand(const CommandLine&) { return RunInfo(); }

// The commands: name, usage, options and entry; the first is the default.
struct Command {
    std::string_view name;
    std::string_view synopsis;
    std::string_view help;
    void (*parse)(const std::vector<std::string>& arguments, CommandLine& line);
    int (*run)(const CommandLine& line);
    bool startsLibrary;  // info starts and probes it itself
};

constexpr Command kCommands[] = {
    {"demo", "demo [OPTIONS]", kDemoHelp, ParseDemo, RunDemoCommand, true},
    {"bench", "bench [OPTIONS]", kBenchHelp, ParseBench, RunBenchCommand, true},
    {"convert", "convert IN OUT [OPTIONS]", kConvertHelp, ParseConvert, RunConvertCommand, true},
    {"info", "info", kInfoHelp, ParseInfo, RunInfoCommand, false},
};

std::string FullUsage() {
    std::string text =
        "usage: renderhub [--verbose] [COMMAND [OPTIONS]]\n"
        "       renderhub [COMMAND] --help\n"
        "       renderhub --version\n"
        "\n"
        "commands:\n";
    for (const Command& command : kCommands) {
        text += command.help;
    }
    return text + "\n" + std::string(kOptionsHelp);
}

std::string CommandUsage(const Command& command) {
    return "usage: renderhub [--verbose] " + std::string(command.synopsis) + "\n\n" +
           std::string(command.help);
}

const Command* FindCommand(const std::string& name) {
    for (const Command& command : kCommands) {
        if (command.name == name) {
            return &command;
        }
    }
    return nullptr;
}

// The command named first in `arguments` (demo when none), its options read.
const Command& ParseCommandLine(const std::vector<std::string>& arguments, CommandLine& line) {
    const Command* command = arguments.empty() ? &kCommands[0] : FindCommand(arguments.front());
    if (command == nullptr) {
        if (arguments.front().rfind('-', 0) == 0) {
            throw UsageError("unknown option '" + arguments.front() +
                             "' (valid before a command: --verbose, --help, --version)");
        }
        std::string valid;
        for (const Command& known : kCommands) {
            valid += (valid.empty() ? "" : ", ") + std::string(known.name);
        }
        throw UsageError("unknown command '" + arguments.front() + "' (valid: " + valid + ")");
    }
    command->parse(arguments.empty() ? std::vector<std::string>{"demo"} : arguments, line);
    return *command;
}

int Usage(const std::string& problem, const Command* command) {
    std::cerr << "renderhub: " << problem << "\n(see 'renderhub "
              << (command != nullptr ? std::string(command->name) + " " : "") << "--help')\n";
    return 2;
}

// What comes before or among a command's options and belongs to none.
struct GlobalFlags {
    bool verbose = false;
    bool help = false;
    bool version = false;
    std::vector<std::string> arguments;  // everything else, in order
};

GlobalFlags ReadGlobalFlags(int argc, char** argv) {
    GlobalFlags flags;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--verbose" || argument == "-v") {
            flags.verbose = true;
        } else if (argument == "--help" || argument == "-h") {
            flags.help = true;
        } else if (argument == "--version") {
            flags.version = true;
        } else {
            flags.arguments.push_back(argument);
        }
    }
    return flags;
}

// Qt reads DISPLAY on the xcb platform, its default, and aborts when it cannot
// reach it: check first and say so. False when the display does not answer.
bool CheckDisplay(std::optional<RenderHubTool::XDisplayConnection>& display) {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform != nullptr && *platform != '\0' && std::strncmp(platform, "xcb", 3) != 0) {
        return true;
    }
    const char* name = std::getenv("DISPLAY");
    if (name == nullptr || *name == '\0') {
        Fail(
            "no X display (DISPLAY is not set); run under 'xvfb-run -a -s -noreset' or set "
            "DISPLAY");
    }
    display.emplace();
    if (!display->IsOpen()) {
        std::cerr << "renderhub: cannot connect to display " << name << "\n";
        return false;
    }
    return true;
}

// Runs the command with the library started (info starts it itself).
int RunCommand(const Command& command, const CommandLine& line) {
    if (!command.startsLibrary) {
        return command.run(line);
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
        status = command.run(line);
    } catch (const std::exception& error) {
        std::cerr << "renderhub: " << command.name << " failed: " << error.what() << "\n";
        status = 1;
    }
    hub.Deinitialize();
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    const GlobalFlags flags = ReadGlobalFlags(argc, argv);
    if (flags.version) {
        std::cout << "renderhub " << RENDERHUB_VERSION << "\n";
        return 0;
    }
    const Command* named = flags.arguments.empty() ? nullptr : FindCommand(flags.arguments.front());
    if (flags.help && (flags.arguments.empty() || named != nullptr)) {
        std::cout << (named != nullptr ? CommandUsage(*named) : FullUsage());
        return 0;
    }
    CommandLine line;
    const Command* command = nullptr;
    try {
        command = &ParseCommandLine(flags.arguments, line);
    } catch (const UsageError& error) {
        return Usage(error.what(), named);
    }

    FLAGS_logtostderr = true;
    FLAGS_minloglevel = flags.verbose ? google::GLOG_INFO : google::GLOG_WARNING;
    google::InitGoogleLogging(argv[0]);

    std::optional<RenderHubTool::XDisplayConnection> display;
    if (!CheckDisplay(display)) {
        return 1;
    }
    qInstallMessageHandler(&HandleQtMessage);
    // Qt would take its own options (-display, -platform) out of the command line,
    // which is ours alone.
    int qtArgc = 1;
    QGuiApplication application(qtArgc, argv);
    display.reset();
    return RunCommand(*command, line);
}
