#include "Kavrin/Core/RegSettings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <string>

#include <QSettings>
#include <gtest/gtest.h>

#include "Kavrin/Core/Utils.h"
#include "Kavrin/Proc/ICoreTracker.h"

// The host's settings, tracker and small utilities the interop code relies on.
// $XDG_CONFIG_HOME points at a folder of the test's own.
namespace {

using namespace Kavrin::Core;

class RegSettingsTest : public ::testing::Test {
protected:
    void SetUp() override { Write({}); }
    void TearDown() override { Write({}); }
    // Replaces the "OpenGL" group of the core settings file.
    static void Write(const std::map<QString, QVariant>& values) {
        QSettings settings(QSettings::NativeFormat, QSettings::UserScope, "Kavrin", "Core");
        settings.clear();
        for (const auto& [name, value] : values) {
            settings.setValue("OpenGL/" + name, value);
        }
        settings.sync();
    }
};

TEST_F(RegSettingsTest, AMissingKeyOrNullParentDoesNotOpen) {
    RegKey key;
    EXPECT_EQ(key.Open(RegSettings::Core().GetKey(), "OpenGL", KEY_READ), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key.GetKey(), nullptr);
    EXPECT_EQ(key.Open(nullptr, "OpenGL", KEY_READ), ERROR_INVALID_HANDLE);
    DWORD value = 7;
    EXPECT_EQ(key.QueryDword("DisableDirectX", value), ERROR_INVALID_HANDLE);
    EXPECT_EQ(value, 7u);
    EXPECT_EQ(&RegSettings::Core(), &RegSettings::Core());
}

TEST_F(RegSettingsTest, DwordsAreReadAsTheRegistryWouldGiveThemEachTimeAfresh) {
    Write({{"One", 1},
           {"Hex", "0x10"},
           {"Text", "abc"},
           {"Negative", -1},
           {"TooBig", 4294967296ull},
           {"Max", 4294967295ull}});
    RegKey key;
    ASSERT_EQ(key.Open(RegSettings::Core().GetKey(), "OpenGL", KEY_READ), ERROR_SUCCESS);
    DWORD value = 0;
    for (auto [name, expected] : {std::pair{"One", 1u}, {"Hex", 16u}, {"Max", 0xFFFFFFFFu}}) {
        EXPECT_EQ(key.QueryDword(name, value), ERROR_SUCCESS) << name;
        EXPECT_EQ(value, expected) << name;
    }
    value = 5;
    for (const char* name : {"Text", "Negative", "TooBig"})
        EXPECT_EQ(key.QueryDword(name, value), ERROR_INVALID_DATA) << name;
    EXPECT_EQ(key.QueryDword("Missing", value), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(value, 5u);
    // Values are read afresh each time.
    Write({{"One", 2}});
    ASSERT_EQ(key.QueryDword("One", value), ERROR_SUCCESS);
    EXPECT_EQ(value, 2u);
}

// Something other than a regular file where the settings file belongs is no
// settings: a FIFO would block the reader until a writer came.
TEST_F(RegSettingsTest, AFifoInPlaceOfTheFileReadsAsNoSettings) {
    if (qEnvironmentVariableIsEmpty("XDG_CONFIG_HOME")) {
        GTEST_SKIP() << "XDG_CONFIG_HOME must name a folder of the test's own (CTest sets it)";
    }
    const std::string path =
        QSettings(QSettings::NativeFormat, QSettings::UserScope, "Kavrin", "Core")
            .fileName()
            .toStdString();
    std::remove(path.c_str());
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0) << path;
    // Gone whatever happens: the fixture's QSettings would block on it too.
    struct RemoveOnExit {
        const std::string& path;
        ~RemoveOnExit() { std::remove(path.c_str()); }
    } removeFifo{path};
    auto opened = std::async(std::launch::async, [] {
        RegKey key;
        return key.Open(RegSettings::Core().GetKey(), "OpenGL", KEY_READ);
    });
    const bool finished = opened.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    // Writers that come and go release a blocked reader at each open, so the test ends.
    while (opened.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
        close(open(path.c_str(), O_WRONLY | O_NONBLOCK));
    }
    EXPECT_TRUE(finished) << "reading the settings blocked on the FIFO " << path;
    EXPECT_EQ(opened.get(), ERROR_FILE_NOT_FOUND);
}

TEST(CoreTrackerTest, KeepsEveryEventInOrder) {
    using Kavrin::Proc::ICoreTracker;
    const auto tracker = ICoreTracker::GetTracker();
    EXPECT_EQ(tracker, ICoreTracker::GetTracker());
    tracker->ClearEvents();
    tracker->ReportEvent(ICoreTracker::CORE_EVENT_OGL_INFO,
                         {{ICoreTracker::CORE_OGL_VERSION, "4.5"}});
    tracker->ReportEvent("Other", {});
    const auto events = tracker->GetEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].name, ICoreTracker::CORE_EVENT_OGL_INFO);
    EXPECT_EQ(events[0].values.at(ICoreTracker::CORE_OGL_VERSION), "4.5");
    EXPECT_EQ(events[1].name, "Other");
    tracker->ClearEvents();
    EXPECT_TRUE(tracker->GetEvents().empty());
}

TEST(UtilsTest, LowerCasesAsciiAndDescribesErrors) {
    std::string vendor = "Mesa/X.org NVIDIA Corporation \xC3\x84";
    Utils::ToLower(vendor);
    EXPECT_EQ(vendor, "mesa/x.org nvidia corporation \xC3\x84");
    const auto [code, description] = Utils::GetErrorInfo(static_cast<HRESULT>(0x80070032));
    EXPECT_NE(code.find("0x80070032"), std::string::npos) << code;
    EXPECT_FALSE(description.empty());
}

}  // namespace
