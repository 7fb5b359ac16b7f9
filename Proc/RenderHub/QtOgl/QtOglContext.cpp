#include <GL/glew.h>

#include "QtOglContext.h"

#include <optional>

#include <QLoggingCategory>
#include <QSurface>
#include <glog/logging.h>

#include "Kavrin/Core/UnhandledExceptionFilterGuard.h"

#include "GlObjectCounter.h"
#include "Private/TransferBuffers.h"
#include "QtOgl/CollectInformation.h"
#include "QtOgl/QtOglLogger.h"
#include "QtOgl/QtOpenGL.h"
#include "Texture.h"

namespace Kavrin::Ogl {
namespace {

// Driver entry points that may fault inside the driver. Without structured
// exceptions on this platform the guard contains C++ exceptions only.
template <class Call>
std::optional<bool> GuardedDriverCall(Call&& call) {
    try {
        return static_cast<bool>(call());
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace

namespace Details {

VertexArray::~VertexArray() {
    if (name != 0 && glIsVertexArray(name)) {
        glBindVertexArray(0);
    }
    if (name != 0) {
        glDeleteVertexArrays(1, &name);
        GlObjectCounter::Deleted(GlObjectCounter::VertexArray);
    }
}

void VertexArray::Create() {
    if (name == 0) {
        glGenVertexArrays(1, &name);
        GlObjectCounter::Created(GlObjectCounter::VertexArray);
    }
}

void VertexArray::Bind() const { glBindVertexArray(name); }

ContextRegistry& GetContextRegistry() {
    static ContextRegistry registry;
    return registry;
}

}  // namespace Details

QtOglContext::QtOglContext(QSurface* requestedSurface, bool debugLogging) {
    Core::UnhandledExceptionFilterGuard crashGuard;
    auto* newContext = new QOpenGLContext();
    QSurfaceFormat format = requestedSurface ? requestedSurface->format() : newContext->format();
    if (debugLogging) {
        format.setOption(QSurfaceFormat::DebugContext);
    }
    format.setMajorVersion(4);
    format.setMinorVersion(6);
    format.setProfile(QSurfaceFormat::CompatibilityProfile);
    // Without it Qt quietly hands out a core context.
    format.setOption(QSurfaceFormat::DeprecatedFunctions);
    newContext->setFormat(format);

    const std::optional<bool> created = GuardedDriverCall([&] { return newContext->create(); });
    if (!created) {
        crashed = true;
        LOG(ERROR) << "Crash occurred while creating QT OpenGL context";
        delete newContext;
        return;
    }
    if (!*created) {
        LOG(ERROR) << "Failed to create QT OpenGL context";
        delete newContext;
        return;
    }

    auto* newSurface = new QOffscreenSurface();
    newSurface->setFormat(newContext->format());
    newSurface->create();
    if (!newSurface->isValid()) {
        LOG(ERROR) << "Failed to create QT OpenGL offscreen surface";
        delete newSurface;
        delete newContext;
        return;
    }

    surface = newSurface;
    context = newContext;
    if (debugLogging) {
        // Qt answers extension queries only for the current context.
        const bool current =
            GuardedDriverCall([&] { return context->makeCurrent(surface); }).value_or(false);
        logger = new Details::QtOglLogger(context);
        if (current) {
            context->doneCurrent();
        }
    }
    auto& registry = Details::GetContextRegistry();
    std::lock_guard lock(registry.mutex);
    registry.contexts[context] = this;
}

QtOglContext::~QtOglContext() {
    Core::UnhandledExceptionFilterGuard crashGuard;
    if (context != nullptr) {
        auto& registry = Details::GetContextRegistry();
        std::lock_guard lock(registry.mutex);
        registry.contexts.erase(context);
    }
    vertexArray.reset();
    if (crashed) {
        return;
    }
    if (context != nullptr && QOpenGLContext::currentContext() == context) {
        context->doneCurrent();
    }
    delete logger;
    delete surface;
    delete context;
}

bool QtOglContext::MakeCurrent() {
    Core::UnhandledExceptionFilterGuard crashGuard;
    if (!IsValid()) {
        LOG(ERROR) << "Failed to make QT OpenGL context as current";
        return false;
    }
    const std::optional<bool> current =
        GuardedDriverCall([&] { return context->makeCurrent(surface); });
    if (!current) {
        crashed = true;
        LOG(ERROR) << "Crash occurred while setting QT OpenGL context as current";
        return false;
    }
    if (!*current) {
        LOG(ERROR) << "Failed to make QT OpenGL context as current";
        return false;
    }
    // The switch may leave an error flag behind that is not ours.
    glGetError();
    return true;
}

bool QtOglContext::Activate() {
    if (!MakeCurrent()) {
        return false;
    }
    if (logger != nullptr) {
        logger->Start();
    }
    if (context->format().profile() == QSurfaceFormat::CoreProfile) {
        vertexArray = std::make_unique<Details::VertexArray>();
        vertexArray->Create();
        vertexArray->Bind();
    }
    return true;
}

void QtOglContext::Deactivate() {
    MakeCurrent();
    vertexArray.reset();
    if (logger != nullptr) {
        logger->Stop();
    }
}

QtOglContext* QtOglContext::GetCurrent() {
    Core::UnhandledExceptionFilterGuard crashGuard;
    QOpenGLContext* current = QOpenGLContext::currentContext();
    if (current == nullptr) {
        return nullptr;
    }
    auto& registry = Details::GetContextRegistry();
    std::lock_guard lock(registry.mutex);
    auto found = registry.contexts.find(current);
    return found == registry.contexts.end() ? nullptr : found->second;
}

namespace Details {

DetectionProbes DetectionProbes::Default() {
    return DetectionProbes{&InitFramebufferFunctions, &CheckTextureFormatSupporting};
}

OglCapability ChooseCapability(bool gl33, bool gl32, bool gl30, bool coreProfile) {
    if (gl33 && coreProfile) {
        return OglCapability::Core33;
    }
    if (gl32) {
        return coreProfile ? OglCapability::Core32 : OglCapability::Compatibility32;
    }
    if (gl30) {
        return OglCapability::Compatibility30;
    }
    return OglCapability::Unknown;
}

std::string DriverString(const unsigned char* text, const char* fallback) {
    return text != nullptr ? std::string(reinterpret_cast<const char*>(text))
                           : std::string(fallback);
}

CollectInformation::CollectInformation(const DetectionProbes& probes) {
    Core::UnhandledExceptionFilterGuard crashGuard;
    QLoggingCategory::setFilterRules(QStringLiteral("qt.qpa.gl=true"));

    QtOglContext probeContext(nullptr, false);
    if (!probeContext.IsValid() || !probeContext.MakeCurrent()) {
        return;
    }
    const QSurfaceFormat format = probeContext.GetContext()->format();
    majorVersion = static_cast<std::uint64_t>(format.majorVersion());
    minorVersion = static_cast<std::uint64_t>(format.minorVersion());
    const bool coreProfile = format.profile() == QSurfaceFormat::CoreProfile;

    version = DriverString(glGetString(GL_VERSION), "null");
    renderer = DriverString(glGetString(GL_RENDERER), "null");
    vendor = DriverString(glGetString(GL_VENDOR), "null ");
    LOG(INFO) << "OpenGL driver info: version = \"" << version << "\" renderer = \"" << renderer
              << "\" vendor = \"" << vendor << "\"";

    const GLenum glewResult = glewInit();
    if (glewResult != GLEW_OK) {
        LOG(ERROR) << "GLEW initialization error: "
                   << reinterpret_cast<const char*>(glewGetErrorString(glewResult));
        return;
    }
    glGetError();
    if (probes.initFramebufferFunctions) {
        probes.initFramebufferFunctions();
    }

    const OglCapability level =
        ChooseCapability(glewIsSupported("GL_VERSION_3_3"), glewIsSupported("GL_VERSION_3_2"),
                         glewIsSupported("GL_VERSION_3_0"), coreProfile);
    if (level == OglCapability::Unknown) {
        return;
    }
    capability = level;
    LOG(INFO) << "OpenGL capability = " << static_cast<int>(capability);

    if (probes.checkTextureFormats && !probes.checkTextureFormats()) {
        capability = OglCapability::Unknown;
        return;
    }

    GLint maxSize = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxSize);
    maxTextureSize = static_cast<std::uint64_t>(static_cast<std::int64_t>(maxSize));
    LOG_IF(ERROR, maxSize < 4096) << "Videocard supports max texture rectangle size: " << maxSize
                                  << " x " << maxSize;
    LOG_IF(INFO, maxSize >= 4096) << "Videocard supports max texture rectangle size: " << maxSize
                                  << " x " << maxSize;
}

}  // namespace Details

const std::shared_ptr<OglInformation>& GetCollectedInformation() {
    static const std::shared_ptr<OglInformation> information =
        std::make_shared<Details::CollectInformation>();
    return information;
}

}  // namespace Kavrin::Ogl
