#pragma once

namespace Kavrin {

// A colour with float components in the order red, green, blue, alpha.
struct ColorF {
    float r = 0.0f;
    float g = 0.0f;
    float b = 0.0f;
    float a = 1.0f;
};

}  // namespace Kavrin
