#include "YUVColorConverter.h"

#include <gtest/gtest.h>

#include "ColourReference.h"

namespace {

using namespace Kavrin::Ogl;
namespace Ref = Kavrin::Test::Ref;

void ExpectNear(const glm::vec3& got, const glm::dvec3& want) {
    for (int c = 0; c < 3; ++c) {
        EXPECT_NEAR(got[c], want[c], 1e-6) << "component " << c;  // float
    }
}

// The BT.709 helpers both ways against the closed form.
TEST(BT709HelpersTest, MatchTheClosedFormBothWays) {
    const Ref::Luma luma = Ref::LumaOf(Ref::YCbCrMatrix::BT709);
    const glm::dvec3 bias(0.0, 0.5, 0.5);
    for (const glm::dvec3 c : {glm::dvec3(1, 1, 1), glm::dvec3(0, 0, 0), glm::dvec3(1, 0, 0),
                               glm::dvec3(0, 0, 1), glm::dvec3(0.1, 0.5, 0.9)}) {
        SCOPED_TRACE(c.r + 2 * c.g + 4 * c.b);
        const glm::dvec3 ypbpr = Ref::RgbToYpPbPr(luma, c);
        ExpectNear(RgbToBT709YpPbPr(c), ypbpr);
        ExpectNear(RgbToBT709YpCbCr(c), ypbpr + bias);
        ExpectNear(BT709YpPbPrToRgb(ypbpr), c);
        ExpectNear(BT709YpCbCrToRgb(ypbpr + bias), c);
    }
}

}  // namespace
