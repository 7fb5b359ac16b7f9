#pragma once

#include <type_traits>

namespace Kavrin {

// A set of flags of the enumeration E, kept as its underlying integer, so that
// combined flags keep their type. A value type; not synchronised.
template <class E>
class bitflags {
public:
    using underlying = std::underlying_type_t<E>;

    constexpr bitflags() noexcept = default;
    constexpr bitflags(E flag) noexcept : bits(static_cast<underlying>(flag)) {}
    constexpr explicit bitflags(underlying value) noexcept : bits(value) {}

    constexpr underlying value() const noexcept { return bits; }
    constexpr E get() const noexcept { return static_cast<E>(bits); }
    constexpr explicit operator bool() const noexcept { return bits != 0; }
    // True when every bit of `flags` is set; an empty set is always contained.
    constexpr bool contains(bitflags flags) const noexcept {
        return (bits & flags.bits) == flags.bits;
    }
    // True when any bit of `flags` is set.
    constexpr bool intersects(bitflags flags) const noexcept { return (bits & flags.bits) != 0; }

    constexpr bitflags operator|(bitflags other) const noexcept {
        return bitflags(static_cast<underlying>(bits | other.bits));
    }
    constexpr bitflags operator&(bitflags other) const noexcept {
        return bitflags(static_cast<underlying>(bits & other.bits));
    }
    constexpr bitflags operator^(bitflags other) const noexcept {
        return bitflags(static_cast<underlying>(bits ^ other.bits));
    }
    constexpr bitflags operator~() const noexcept {
        return bitflags(static_cast<underlying>(~bits));
    }
    constexpr bitflags& operator|=(bitflags other) noexcept { return *this = *this | other; }
    constexpr bitflags& operator&=(bitflags other) noexcept { return *this = *this & other; }
    constexpr bitflags& operator^=(bitflags other) noexcept { return *this = *this ^ other; }
    constexpr bool operator==(const bitflags&) const noexcept = default;

private:
    underlying bits = 0;
};

}  // namespace Kavrin

// Bitwise operators on a flag enumeration, as the Windows headers declare them for
// D3D12_RESOURCE_STATES and friends, so that `A | B` keeps the enumeration's type.
#define KAVRIN_DEFINE_ENUM_FLAG_OPERATORS(E)                               \
    constexpr E operator|(E a, E b) noexcept {                             \
        return static_cast<E>(static_cast<std::underlying_type_t<E>>(a) |  \
                              static_cast<std::underlying_type_t<E>>(b));  \
    }                                                                      \
    constexpr E operator&(E a, E b) noexcept {                             \
        return static_cast<E>(static_cast<std::underlying_type_t<E>>(a) &  \
                              static_cast<std::underlying_type_t<E>>(b));  \
    }                                                                      \
    constexpr E operator~(E a) noexcept {                                  \
        return static_cast<E>(~static_cast<std::underlying_type_t<E>>(a)); \
    }                                                                      \
    constexpr E& operator|=(E& a, E b) noexcept { return a = a | b; }      \
    constexpr E& operator&=(E& a, E b) noexcept { return a = a & b; }
