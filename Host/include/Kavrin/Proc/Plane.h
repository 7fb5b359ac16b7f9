#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace Kavrin::Proc {
namespace Details {

// A view of one image plane; owns nothing. Row r (0 = top in display order)
// starts at data + r * stride, so a negative stride means the rows are stored
// bottom-up. Plain value type, safe to copy between threads.
template <int ReadOnly>
struct PlaneTemplate {
    using Pointer = std::conditional_t<ReadOnly != 0, const std::uint8_t*, std::uint8_t*>;

    Pointer data = nullptr;
    std::ptrdiff_t stride = 0;
    int rows = 0;

    // The same rows viewed from the lowest address on, for code that walks
    // memory forwards: a bottom-up plane becomes a top-down view of the image
    // flipped vertically.
    PlaneTemplate MakePositive() const {
        if (stride >= 0 || rows <= 0 || data == nullptr) {
            return *this;
        }
        return {data + static_cast<std::ptrdiff_t>(rows - 1) * stride, -stride, rows};
    }
    PlaneTemplate MakeRevert() const { return MakePositive(); }

    Pointer Row(int row) const { return data + static_cast<std::ptrdiff_t>(row) * stride; }

    operator PlaneTemplate<1>() const requires(ReadOnly == 0) { return {data, stride, rows}; }
};

}  // namespace Details

using Plane = Details::PlaneTemplate<0>;
using ConstPlane = Details::PlaneTemplate<1>;

}  // namespace Kavrin::Proc
