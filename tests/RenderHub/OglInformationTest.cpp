#include <GL/glew.h>

#include "OglInformation.h"

#include <gtest/gtest.h>

#include "QtOgl/CollectInformation.h"

namespace {

using Kavrin::Ogl::OglCapability;
using Kavrin::Ogl::OglInformation;
using Kavrin::Ogl::Details::ChooseCapability;

struct NameRow {
    int level;
    const char* name;
};

class CapabilityNameTest : public ::testing::TestWithParam<NameRow> {};

TEST_P(CapabilityNameTest, DisplayName) {
    OglInformation information;
    information.capability = static_cast<OglCapability>(GetParam().level);
    EXPECT_EQ(information.CapabilityName(), GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(Levels, CapabilityNameTest,
                         ::testing::Values(NameRow{0, "Unknown"}, NameRow{1, "Unknown"},
                                           NameRow{2, "3.0 Compatibility Profile"},
                                           NameRow{3, "3.2 Compatibility Profile"},
                                           NameRow{4, "3.2 Core Profile"},
                                           NameRow{5, "3.3 Core Profile"}, NameRow{6, "Unknown"},
                                           NameRow{-1, "Unknown"}),
                         [](const auto& info) {
                             return "Level" + std::to_string(info.param.level + 1);
                         });

TEST(OglInformationTest, VersionText) {
    OglInformation information;
    EXPECT_EQ(information.VersionText(), "0.0");
    information.majorVersion = 4;
    information.minorVersion = 6;
    EXPECT_EQ(information.VersionText(), "4.6");
    information.majorVersion = 10;
    information.minorVersion = 12;
    EXPECT_EQ(information.VersionText(), "10.12");
}

TEST(OglInformationTest, ChooseCapabilityFollowsVersionsAndProfile) {
    // A 3.1 driver: 3.0 only.
    EXPECT_EQ(ChooseCapability(false, false, true, false), OglCapability::Compatibility30);
    // 4.x compatibility.
    EXPECT_EQ(ChooseCapability(true, true, true, false), OglCapability::Compatibility32);
    // 3.2 core.
    EXPECT_EQ(ChooseCapability(false, true, true, true), OglCapability::Core32);
    // 3.3 or later core.
    EXPECT_EQ(ChooseCapability(true, true, true, true), OglCapability::Core33);
    // Below 3.0.
    EXPECT_EQ(ChooseCapability(false, false, false, false), OglCapability::Unknown);
    EXPECT_EQ(ChooseCapability(false, false, false, true), OglCapability::Unknown);
}

TEST(OglInformationTest, NullDriverStringsGetTheirFallbacks) {
    using Kavrin::Ogl::Details::DriverString;
    const unsigned char text[] = "llvmpipe";
    EXPECT_EQ(DriverString(text, "null"), "llvmpipe");
    EXPECT_EQ(DriverString(nullptr, "null"), "null");
    EXPECT_EQ(DriverString(nullptr, "null "), "null ");
}

}  // namespace
