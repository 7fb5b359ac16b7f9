#include <GL/glew.h>

#include "QtOgl/QtOglContext.h"

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "OglCheck.h"
#include "QtOgl/CollectInformation.h"
#include "QtOgl/QtOpenGL.h"
#include "RenderHub.h"
#include "TestTasks.h"

// Detection, the worker's context, and the GL state checks.
namespace {

using namespace Kavrin::Ogl;
using Kavrin::Ogl::Details::CollectInformation;
using Kavrin::Test::LogCapture;
using Kavrin::Test::RunOnGL;

// The worker reports what detection found, which logs its findings (Mesa
// llvmpipe as it comes is a 4.5 compatibility context at level 3). A failing
// texture format check forces Unknown after the capability line; the
// process-wide result is never rebuilt.
TEST(QtOglContextGLTest, DetectionReportsAndLogsItsFindingsAndAFailedFormatCheckForcesUnknown) {
    LogCapture log;
    CollectInformation probe;
    const auto& information = *GetCollectedInformation();
    EXPECT_EQ(probe.capability, information.capability);
    EXPECT_GE(information.capability, OglCapability::Compatibility30);
    EXPECT_FALSE(information.version.empty() || information.renderer.empty() ||
                 information.vendor.empty());
    EXPECT_GE(information.maxTextureSize, 4096u);
    RenderHub& hub = RenderHub::GetInstance();
    EXPECT_EQ(hub.GetOglVersion(), information.capability);
    EXPECT_EQ(hub.GetRenderer(), information.renderer);
    EXPECT_EQ(hub.GetMaximumTextureSize(), information.maxTextureSize);
    if (information.renderer.find("llvmpipe") != std::string::npos &&
        std::getenv("MESA_GL_VERSION_OVERRIDE") == nullptr) {
        EXPECT_EQ(information.capability, OglCapability::Compatibility32);
        EXPECT_EQ(information.CapabilityName(), "3.2 Compatibility Profile");
        EXPECT_EQ(information.VersionText(), "4.5");
    }
    const std::string size = std::to_string(probe.maxTextureSize);
    for (const std::string& line :
         {"OpenGL driver info: version = \"" + probe.version + "\" renderer = \"" + probe.renderer +
              "\" vendor = \"" + probe.vendor + "\"",
          "OpenGL capability = " + std::to_string(static_cast<int>(probe.capability)),
          "Videocard supports max texture rectangle size: " + size + " x " + size}) {
        EXPECT_TRUE(log.Has(google::GLOG_INFO, line)) << line << "\n" << log.Dump();
    }

    LogCapture failing;
    Details::DetectionProbes probes;
    probes.checkTextureFormats = [] { return false; };
    CollectInformation refused(probes);
    EXPECT_EQ(refused.capability, OglCapability::Unknown);
    EXPECT_EQ(failing.CountPrefix("OpenGL capability = "), 1) << failing.Dump();
    EXPECT_EQ(failing.CountPrefix("Videocard supports"), 0);
    EXPECT_EQ(refused.maxTextureSize, 0u);
    EXPECT_NE(GetCollectedInformation()->capability, OglCapability::Unknown);
}

// The worker's context is current only on the GL thread; a context of its own
// enters the registry while it lives, and only a core one needs a vertex array.
TEST(QtOglContextGLTest, ContextsAreCurrentWhereTheyRunAndRegisteredWhileTheyLive) {
    EXPECT_EQ(QtOglContext::GetCurrent(), nullptr);
    QtOglContext* current = nullptr;
    QOpenGLContext* qtCurrent = nullptr;
    RunOnGL([&] {
        current = QtOglContext::GetCurrent();
        qtCurrent = QOpenGLContext::currentContext();
    });
    ASSERT_NE(current, nullptr);
    EXPECT_EQ(current->GetContext(), qtCurrent);
    EXPECT_TRUE(current->IsValid());
    EXPECT_FALSE(current->IsCrashed());

    auto& registry = Details::GetContextRegistry();
    const auto count = [&] {
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
        EXPECT_TRUE(context.Activate());
        GLint boundArray = -1;
        glGetIntegerv(GL_VERTEX_ARRAY_BINDING, &boundArray);
        const bool core =
            QOpenGLContext::currentContext()->format().profile() == QSurfaceFormat::CoreProfile;
        EXPECT_EQ(boundArray != 0, core);
        context.Deactivate();
    }
    EXPECT_EQ(count(), before);
    EXPECT_EQ(QOpenGLContext::currentContext(), nullptr);
}

// glog hands sinks a line without the message's final newline. The code is hex.
// Enable scopes nest, and the inner one disables.
TEST(OglCheckGLTest, CheckerLogsTheErrorItsScopeLeftAndEnableScopesNest) {
    const struct {
        const char* name;
        void (*call)();
        const char* line;
    } rows[] = {
        {"EndQueryWithoutBegin", [] { glEndQuery(GL_SAMPLES_PASSED); },
         "OpenGL error in 'EndQueryWithoutBegin', code 502"},
        {"BadEnable", [] { glEnable(0x7FFF); }, "OpenGL error in 'BadEnable', code 500"},
        {"Clean", [] { glFlush(); }, nullptr},
    };
    for (const auto& row : rows) {
        LogCapture log;
        RunOnGL([&] {
            Details::OglStateChecker checker(row.name);
            row.call();
        });
        EXPECT_EQ(log.CountPrefix("OpenGL error in"), row.line ? 1 : 0) << log.Dump();
        if (row.line) {
            EXPECT_TRUE(log.Has(google::GLOG_ERROR, row.line)) << log.Dump();
        }
    }
    LogCapture log;
    Details::CheckVar(true, "uTexture");
    EXPECT_TRUE(log.Lines().empty());
    Details::CheckVar(false, "uTexture");
    ASSERT_EQ(log.Lines().size(), 1u);
    EXPECT_TRUE(log.Has(google::GLOG_ERROR, "OpenGL variable 'uTexture' not initilized"));
    EXPECT_EQ(Kavrin::Test::GetGLError(), static_cast<GLenum>(GL_NO_ERROR));
    bool states[3] = {false, true, true};
    RunOnGL([&] {
        glDisable(GL_BLEND);
        {
            EnableState outer(GL_BLEND);
            states[0] = glIsEnabled(GL_BLEND);
            { EnableState inner(GL_BLEND); }
            states[1] = glIsEnabled(GL_BLEND);
        }
        states[2] = glIsEnabled(GL_BLEND);
    });
    EXPECT_TRUE(states[0]);
    EXPECT_FALSE(states[1] || states[2]);
}

}  // namespace
