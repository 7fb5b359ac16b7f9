#include <GL/glew.h>

#include "OglInformation.h"

#include <gtest/gtest.h>

#include "QtOgl/CollectInformation.h"

namespace {

using Kavrin::Ogl::OglCapability;
using Kavrin::Ogl::Details::ChooseCapability;

TEST(OglInformationTest, ChooseCapabilityFollowsVersionsAndProfile) {
    struct Row {
        bool is33, is32, is30, core;
        OglCapability level;
    };
    const Row rows[] = {
        {false, false, true, false, OglCapability::Compatibility30},  // a 3.1 driver
        {true, true, true, false, OglCapability::Compatibility32},    // 4.x compatibility
        {false, true, true, true, OglCapability::Core32},
        {true, true, true, true, OglCapability::Core33},
        {false, false, false, false, OglCapability::Unknown},  // below 3.0
        {false, false, false, true, OglCapability::Unknown},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(ChooseCapability(row.is33, row.is32, row.is30, row.core), row.level)
            << row.is33 << row.is32 << row.is30 << row.core;
    }
}

TEST(OglInformationTest, NullDriverStringsGetTheirFallbacks) {
    using Kavrin::Ogl::Details::DriverString;
    const unsigned char text[] = "llvmpipe";
    EXPECT_EQ(DriverString(text, "null"), "llvmpipe");
    EXPECT_EQ(DriverString(nullptr, "null "), "null ");
}

}  // namespace
