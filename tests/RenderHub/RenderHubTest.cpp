#include <GL/glew.h>

#include "RenderHub.h"

#include <cstdlib>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "LogCapture.h"

namespace {

using Kavrin::Ogl::Details::PrepareQtEnvironment;
using Kavrin::Test::LogCapture;

// Sets (or unsets) the two variables for one case and restores them after.
class QtEnvironmentTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved[0] = Read("QT_OPENGL");
        saved[1] = Read("QT_OPENGL_DLL");
    }
    void TearDown() override {
        Write("QT_OPENGL", saved[0]);
        Write("QT_OPENGL_DLL", saved[1]);
    }
    static std::optional<std::string> Read(const char* name) {
        const char* value = std::getenv(name);
        return value ? std::optional<std::string>(value) : std::nullopt;
    }
    static void Write(const char* name, const std::optional<std::string>& value) {
        if (value) {
            setenv(name, value->c_str(), 1);
        } else {
            unsetenv(name);
        }
    }
    std::optional<std::string> saved[2];
};

TEST_F(QtEnvironmentTest, DesktopIsKeptWithOneInfoLine) {
    Write("QT_OPENGL", "desktop");
    Write("QT_OPENGL_DLL", std::nullopt);
    LogCapture log;
    PrepareQtEnvironment();
    EXPECT_EQ(Read("QT_OPENGL"), "desktop");
    ASSERT_EQ(log.Lines().size(), 1u) << log.Dump();
    EXPECT_TRUE(log.Has(google::GLOG_INFO, "QT_OPENGL environment variable is set to 'desktop'."));
}

TEST_F(QtEnvironmentTest, OtherValueIsOverwrittenWithWarning) {
    Write("QT_OPENGL", "angle");
    Write("QT_OPENGL_DLL", std::nullopt);
    LogCapture log;
    PrepareQtEnvironment();
    EXPECT_EQ(Read("QT_OPENGL"), "desktop");
    ASSERT_EQ(log.Lines().size(), 1u) << log.Dump();
    EXPECT_TRUE(log.Has(google::GLOG_WARNING,
                        "QT_OPENGL environment variable has been previously set to value 'angle'. "
                        "Overwriting it to prevent problems with QOpenGLContext creation."));
}

TEST_F(QtEnvironmentTest, DesktopWithDifferentCaseIsOverwritten) {
    Write("QT_OPENGL", "Desktop");
    Write("QT_OPENGL_DLL", std::nullopt);
    LogCapture log;
    PrepareQtEnvironment();
    EXPECT_EQ(Read("QT_OPENGL"), "desktop");
    EXPECT_EQ(log.CountPrefix("QT_OPENGL environment variable has been previously set to value "
                              "'Desktop'."),
              1);
}

TEST_F(QtEnvironmentTest, UnsetIsSetSilently) {
    Write("QT_OPENGL", std::nullopt);
    Write("QT_OPENGL_DLL", std::nullopt);
    LogCapture log;
    PrepareQtEnvironment();
    EXPECT_EQ(Read("QT_OPENGL"), "desktop");
    EXPECT_TRUE(log.Lines().empty()) << log.Dump();
}

TEST_F(QtEnvironmentTest, OpenGLDllIsRemovedWithWarning) {
    Write("QT_OPENGL", "desktop");
    Write("QT_OPENGL_DLL", "opengl32sw.dll");
    LogCapture log;
    PrepareQtEnvironment();
    EXPECT_EQ(Read("QT_OPENGL_DLL"), std::nullopt);
    EXPECT_TRUE(log.Has(google::GLOG_WARNING,
                        "QT_OPENGL_DLL environment variable has been previously set to value "
                        "'opengl32sw.dll'. Removing it to prevent problems with QOpenGLContext "
                        "creation."));
    EXPECT_TRUE(log.Has(google::GLOG_INFO, "QT_OPENGL environment variable is set to 'desktop'."));
}

TEST_F(QtEnvironmentTest, EmptyOpenGLDllIsRemovedToo) {
    Write("QT_OPENGL", "desktop");
    Write("QT_OPENGL_DLL", "");
    LogCapture log;
    PrepareQtEnvironment();
    EXPECT_EQ(Read("QT_OPENGL_DLL"), std::nullopt);
    EXPECT_EQ(
        log.CountPrefix("QT_OPENGL_DLL environment variable has been previously set to value ''."),
        1);
}

}  // namespace
