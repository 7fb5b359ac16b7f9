#include <GL/glew.h>

#include "RenderHub.h"

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "QtOgl/CollectInformation.h"

namespace {

using Kavrin::Test::LogCapture;
using Value = std::optional<std::string>;

Value Read(const char* name) {
    const char* value = std::getenv(name);
    return value ? Value(value) : std::nullopt;
}

void Write(const char* name, const Value& value) {
    if (value) {
        setenv(name, value->c_str(), 1);
    } else {
        unsetenv(name);
    }
}

// Qt is pointed at desktop OpenGL whatever it was told before, and a forced
// OpenGL library is dropped; each change is logged, a kept value said once.
TEST(QtEnvironmentTest, DesktopOpenGLIsForcedAndAnOpenGLLibraryDropped) {
    struct Row {
        Value openGL;
        Value openGLDll;
        std::size_t lines;
        google::LogSeverity severity;
        const char* line;  // a line that starts so, at this severity
    };
    const std::string kKept = "QT_OPENGL environment variable is set to 'desktop'.";
    const Row rows[] = {
        {"desktop", std::nullopt, 1, google::GLOG_INFO, kKept.c_str()},
        {"angle", std::nullopt, 1, google::GLOG_WARNING,
         "QT_OPENGL environment variable has been previously set to value 'angle'. "
         "Overwriting it to prevent problems with QOpenGLContext creation."},
        {"Desktop", std::nullopt, 1, google::GLOG_WARNING,
         "QT_OPENGL environment variable has been previously set to value 'Desktop'."},
        {std::nullopt, std::nullopt, 0, google::GLOG_INFO, nullptr},
        {"desktop", "opengl32sw.dll", 2, google::GLOG_WARNING,
         "QT_OPENGL_DLL environment variable has been previously set to value "
         "'opengl32sw.dll'. Removing it to prevent problems with QOpenGLContext creation."},
        {"desktop", "", 2, google::GLOG_WARNING,
         "QT_OPENGL_DLL environment variable has been previously set to value ''."},
    };
    const Value saved[] = {Read("QT_OPENGL"), Read("QT_OPENGL_DLL")};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.openGL.value_or("(unset)") + ", " + row.openGLDll.value_or("(unset)"));
        Write("QT_OPENGL", row.openGL);
        Write("QT_OPENGL_DLL", row.openGLDll);
        LogCapture log;
        Kavrin::Ogl::Details::PrepareQtEnvironment();
        EXPECT_EQ(Read("QT_OPENGL"), "desktop");
        EXPECT_EQ(Read("QT_OPENGL_DLL"), std::nullopt);
        ASSERT_EQ(log.Lines().size(), row.lines) << log.Dump();
        if (row.line != nullptr) {
            int found = 0;
            for (const LogCapture::Line& line : log.Lines()) {
                found += line.severity == row.severity && line.text.rfind(row.line, 0) == 0;
            }
            EXPECT_EQ(found, 1) << log.Dump();
        }
        if (row.openGLDll) {
            EXPECT_TRUE(log.Has(google::GLOG_INFO, kKept)) << log.Dump();
        }
    }
    Write("QT_OPENGL", saved[0]);
    Write("QT_OPENGL_DLL", saved[1]);
}

// Detection's level per GL version and profile; a null driver string falls back.
TEST(OglInformationTest, ChooseCapabilityFollowsVersionsAndProfile) {
    using Kavrin::Ogl::OglCapability;
    const struct {
        bool is33, is32, is30, core;
        OglCapability level;
    } rows[] = {
        {false, false, true, false, OglCapability::Compatibility30},  // a 3.1 driver
        {true, true, true, false, OglCapability::Compatibility32},    // 4.x compatibility
        {false, true, true, true, OglCapability::Core32},
        {true, true, true, true, OglCapability::Core33},
        {false, false, false, false, OglCapability::Unknown},  // below 3.0
        {false, false, false, true, OglCapability::Unknown},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Kavrin::Ogl::Details::ChooseCapability(row.is33, row.is32, row.is30, row.core),
                  row.level)
            << row.is33 << row.is32 << row.is30 << row.core;
    }
    const unsigned char text[] = "llvmpipe";
    EXPECT_EQ(Kavrin::Ogl::Details::DriverString(text, "null"), "llvmpipe");
    EXPECT_EQ(Kavrin::Ogl::Details::DriverString(nullptr, "null "), "null ");
}

}  // namespace
