#include <GL/glew.h>

#include "QtOgl/QtOglContext.h"

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "QtOgl/CollectInformation.h"
#include "QtOgl/QtOpenGL.h"
#include "RenderHub.h"
#include "TestTasks.h"

namespace {

using Kavrin::Ogl::GetCollectedInformation;
using Kavrin::Ogl::OglCapability;
using Kavrin::Ogl::QtOglContext;
using Kavrin::Ogl::Details::CollectInformation;
using Kavrin::Ogl::Details::DetectionProbes;
using Kavrin::Test::LogCapture;

bool IsLlvmpipe() {
    return GetCollectedInformation()->renderer.find("llvmpipe") != std::string::npos;
}

TEST(QtOglContextGLTest, DetectionFindsAUsableLevelAndItsFigures) {
    const auto& information = *GetCollectedInformation();
    EXPECT_GE(information.capability, OglCapability::Compatibility30);
    EXPECT_FALSE(information.version.empty());
    EXPECT_FALSE(information.renderer.empty());
    EXPECT_FALSE(information.vendor.empty());
    EXPECT_GE(information.maxTextureSize, 4096u);
    // The worker reports what detection found.
    EXPECT_EQ(Kavrin::Ogl::RenderHub::GetInstance().GetOglVersion(), information.capability);
    EXPECT_EQ(Kavrin::Ogl::RenderHub::GetInstance().GetRenderer(), information.renderer);
    EXPECT_EQ(Kavrin::Ogl::RenderHub::GetInstance().GetMaximumTextureSize(),
              information.maxTextureSize);
}

TEST(QtOglContextGLTest, MesaLlvmpipeIsA45CompatibilityContextAtLevel3) {
    if (!IsLlvmpipe() || std::getenv("MESA_GL_VERSION_OVERRIDE") != nullptr) {
        GTEST_SKIP() << "expectations for Mesa llvmpipe as it comes; renderer is "
                     << GetCollectedInformation()->renderer;
    }
    const auto& information = *GetCollectedInformation();
    EXPECT_EQ(information.capability, OglCapability::Compatibility32);
    EXPECT_EQ(information.CapabilityName(), "3.2 Compatibility Profile");
    EXPECT_EQ(information.VersionText(), "4.5");
    EXPECT_EQ(information.version.rfind("4.5 (Compatibility Profile) Mesa", 0), 0u)
        << information.version;
    EXPECT_EQ(information.vendor, "Mesa/X.org");
}

TEST(QtOglContextGLTest, DetectionLogsDriverCapabilityAndTextureSize) {
    LogCapture log;
    CollectInformation probe;
    EXPECT_EQ(probe.capability, GetCollectedInformation()->capability);
    EXPECT_TRUE(log.Has(google::GLOG_INFO, "OpenGL driver info: version = \"" + probe.version +
                                               "\" renderer = \"" + probe.renderer +
                                               "\" vendor = \"" + probe.vendor + "\""))
        << log.Dump();
    EXPECT_TRUE(log.Has(google::GLOG_INFO, "OpenGL capability = " +
                                               std::to_string(static_cast<int>(probe.capability))));
    const std::string size = std::to_string(probe.maxTextureSize);
    EXPECT_TRUE(log.Has(google::GLOG_INFO,
                        "Videocard supports max texture rectangle size: " + size + " x " + size))
        << log.Dump();
}

TEST(QtOglContextGLTest, FailingTextureFormatCheckForcesUnknownAfterTheCapabilityLine) {
    LogCapture log;
    DetectionProbes probes;
    probes.checkTextureFormats = [] { return false; };
    CollectInformation probe(probes);
    EXPECT_EQ(probe.capability, OglCapability::Unknown);
    EXPECT_EQ(log.CountPrefix("OpenGL capability = "), 1) << log.Dump();
    EXPECT_EQ(log.CountPrefix("Videocard supports"), 0);
    EXPECT_EQ(probe.maxTextureSize, 0u);
    // The process-wide result is never rebuilt.
    EXPECT_NE(GetCollectedInformation()->capability, OglCapability::Unknown);
}

TEST(QtOglContextGLTest, GetCurrentFindsTheWorkerContextOnlyOnTheGLThread) {
    EXPECT_EQ(QtOglContext::GetCurrent(), nullptr);
    QtOglContext* current = nullptr;
    QOpenGLContext* qtCurrent = nullptr;
    Kavrin::Test::RunOnGL([&] {
        current = QtOglContext::GetCurrent();
        qtCurrent = QOpenGLContext::currentContext();
    });
    ASSERT_NE(current, nullptr);
    EXPECT_EQ(current->GetContext(), qtCurrent);
    EXPECT_TRUE(current->IsValid());
    EXPECT_FALSE(current->IsCrashed());
}

TEST(QtOglContextGLTest, ContextsEnterAndLeaveTheRegistry) {
    auto& registry = Kavrin::Ogl::Details::GetContextRegistry();
    auto count = [&] {
        std::lock_guard lock(registry.mutex);
        return registry.contexts.size();
    };
    const std::size_t before = count();
    {
        QtOglContext context(nullptr, false);
        ASSERT_TRUE(context.IsValid());
        EXPECT_EQ(count(), before + 1);
        ASSERT_TRUE(context.MakeCurrent());
        EXPECT_EQ(QtOglContext::GetCurrent(), &context);
        // A compatibility context needs no vertex array of its own; a core one
        // cannot draw without one.
        EXPECT_TRUE(context.Activate());
        GLint boundArray = -1;
        glGetIntegerv(GL_VERTEX_ARRAY_BINDING, &boundArray);
        if (QOpenGLContext::currentContext()->format().profile() == QSurfaceFormat::CoreProfile) {
            EXPECT_NE(boundArray, 0);
        } else {
            EXPECT_EQ(boundArray, 0);
        }
        context.Deactivate();
    }
    EXPECT_EQ(count(), before);
    EXPECT_EQ(QOpenGLContext::currentContext(), nullptr);
}

}  // namespace
