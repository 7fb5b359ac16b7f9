#include <GL/glew.h>

#include "OglCheck.h"

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "TestTasks.h"

// glog hands sinks a line without its final newline, so the texts below lack the
// newline the messages end with.
namespace {

using Kavrin::Test::GetGLError;
using Kavrin::Test::LogCapture;
using Kavrin::Test::RunOnGL;

class OglCheckGLTest : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(GetGLError(), static_cast<GLenum>(GL_NO_ERROR)); }
};

TEST_F(OglCheckGLTest, CheckerLogsInvalidOperationAsHex502) {
    LogCapture log;
    RunOnGL([] {
        Kavrin::Ogl::Details::OglStateChecker checker("EndQueryWithoutBegin");
        // Ending a query that never began is GL_INVALID_OPERATION.
        glEndQuery(GL_SAMPLES_PASSED);
    });
    EXPECT_TRUE(log.Has(google::GLOG_ERROR, "OpenGL error in 'EndQueryWithoutBegin', code 502"))
        << log.Dump();
}

TEST_F(OglCheckGLTest, CheckerLogsInvalidEnumAs500) {
    LogCapture log;
    RunOnGL([] {
        Kavrin::Ogl::Details::OglStateChecker checker("BadEnable");
        glEnable(0x7FFF);
    });
    EXPECT_TRUE(log.Has(google::GLOG_ERROR, "OpenGL error in 'BadEnable', code 500")) << log.Dump();
}

TEST_F(OglCheckGLTest, CheckerWithoutErrorLogsNothing) {
    LogCapture log;
    RunOnGL([] {
        Kavrin::Ogl::Details::OglStateChecker checker("Clean");
        GLint value = 0;
        glGetIntegerv(GL_MAX_TEXTURE_SIZE, &value);
    });
    EXPECT_EQ(log.CountPrefix("OpenGL error in"), 0) << log.Dump();
}

TEST_F(OglCheckGLTest, EnableStateScopesNestAndTheInnerOneDisables) {
    bool afterOuter = false;
    bool afterInner = true;
    bool afterAll = true;
    RunOnGL([&] {
        glDisable(GL_BLEND);
        {
            Kavrin::Ogl::EnableState outer(GL_BLEND);
            afterOuter = glIsEnabled(GL_BLEND);
            { Kavrin::Ogl::EnableState inner(GL_BLEND); }
            afterInner = glIsEnabled(GL_BLEND);
        }
        afterAll = glIsEnabled(GL_BLEND);
    });
    EXPECT_TRUE(afterOuter);
    EXPECT_FALSE(afterInner);
    EXPECT_FALSE(afterAll);
}

TEST(CheckVarTest, LogsOnlyUninitialisedValues) {
    LogCapture log;
    Kavrin::Ogl::Details::CheckVar(true, "uTexture");
    EXPECT_TRUE(log.Lines().empty());
    Kavrin::Ogl::Details::CheckVar(false, "uTexture");
    ASSERT_EQ(log.Lines().size(), 1u);
    EXPECT_TRUE(log.Has(google::GLOG_ERROR, "OpenGL variable 'uTexture' not initilized"));
}

}  // namespace
