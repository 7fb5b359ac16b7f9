#include "Kavrin/Conf/ColorPrimaries.h"

#include <string>

#include "Kavrin/Core/Exception.h"

namespace Kavrin::Conf {
namespace {

using Matrix = std::array<std::array<double, 3>, 3>;
using Vector = std::array<double, 3>;

struct Chromaticity {
    double x;
    double y;
};

struct PrimariesData {
    Chromaticity red;
    Chromaticity green;
    Chromaticity blue;
    Chromaticity white;
};

// White points: CIE D65 (CIE 15:2004, 4-digit form of BT.709 table 1 item 1.4),
// illuminant C (BT.470-6), DCI white (SMPTE RP 431-2), illuminant E (SMPTE ST 428-1).
constexpr Chromaticity kD65{0.3127, 0.3290};
constexpr Chromaticity kIlluminantC{0.310, 0.316};
constexpr Chromaticity kDciWhite{0.314, 0.351};
constexpr Chromaticity kIlluminantE{1.0 / 3.0, 1.0 / 3.0};

// Chromaticities of ITU-T H.273 table 2 (the standards listed in the header).
bool FindPrimaries(ColorPrimaries primaries, PrimariesData& data) {
    switch (primaries) {
        case ColorPrimaries::BT709:
            data = {{0.640, 0.330}, {0.300, 0.600}, {0.150, 0.060}, kD65};
            return true;
        case ColorPrimaries::BT470M:
            data = {{0.67, 0.33}, {0.21, 0.71}, {0.14, 0.08}, kIlluminantC};
            return true;
        case ColorPrimaries::BT470BG:
            data = {{0.64, 0.33}, {0.29, 0.60}, {0.15, 0.06}, kD65};
            return true;
        case ColorPrimaries::SMPTE170M:
        case ColorPrimaries::SMPTE240M:
            data = {{0.630, 0.340}, {0.310, 0.595}, {0.155, 0.070}, kD65};
            return true;
        case ColorPrimaries::Film:
            data = {{0.681, 0.319}, {0.243, 0.692}, {0.145, 0.049}, kIlluminantC};
            return true;
        case ColorPrimaries::BT2020:
            data = {{0.708, 0.292}, {0.170, 0.797}, {0.131, 0.046}, kD65};
            return true;
        case ColorPrimaries::SMPTE428:
            data = {{1.0, 0.0}, {0.0, 1.0}, {0.0, 0.0}, kIlluminantE};
            return true;
        case ColorPrimaries::SMPTE431:
            data = {{0.680, 0.320}, {0.265, 0.690}, {0.150, 0.060}, kDciWhite};
            return true;
        case ColorPrimaries::SMPTE432:
            data = {{0.680, 0.320}, {0.265, 0.690}, {0.150, 0.060}, kD65};
            return true;
        case ColorPrimaries::EBU3213:
            data = {{0.630, 0.340}, {0.295, 0.605}, {0.155, 0.077}, kD65};
            return true;
        default:
            return false;
    }
}

PrimariesData RequirePrimaries(ColorPrimaries primaries) {
    PrimariesData data{};
    if (!FindPrimaries(primaries, data)) {
        KAVRIN_THROW_HOST("GetRGBCrossMatrix", Exception,
                          "Colour primaries " + std::to_string(static_cast<int>(primaries)) +
                              " have no known chromaticities");
    }
    return data;
}

Matrix Multiply(const Matrix& a, const Matrix& b) {
    Matrix m{};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            for (int k = 0; k < 3; ++k) {
                m[i][j] += a[i][k] * b[k][j];
            }
        }
    }
    return m;
}

Vector Multiply(const Matrix& a, const Vector& v) {
    Vector r{};
    for (int i = 0; i < 3; ++i) {
        r[i] = a[i][0] * v[0] + a[i][1] * v[1] + a[i][2] * v[2];
    }
    return r;
}

Matrix Inverse(const Matrix& a) {
    const double c00 = a[1][1] * a[2][2] - a[1][2] * a[2][1];
    const double c01 = a[1][2] * a[2][0] - a[1][0] * a[2][2];
    const double c02 = a[1][0] * a[2][1] - a[1][1] * a[2][0];
    const double det = a[0][0] * c00 + a[0][1] * c01 + a[0][2] * c02;
    const double s = 1.0 / det;
    return {{{c00 * s, (a[0][2] * a[2][1] - a[0][1] * a[2][2]) * s,
              (a[0][1] * a[1][2] - a[0][2] * a[1][1]) * s},
             {c01 * s, (a[0][0] * a[2][2] - a[0][2] * a[2][0]) * s,
              (a[0][2] * a[1][0] - a[0][0] * a[1][2]) * s},
             {c02 * s, (a[0][1] * a[2][0] - a[0][0] * a[2][1]) * s,
              (a[0][0] * a[1][1] - a[0][1] * a[1][0]) * s}}};
}

// XYZ of a white point with Y = 1.
Vector WhiteXYZ(Chromaticity w) { return {w.x / w.y, 1.0, (1.0 - w.x - w.y) / w.y}; }

// SMPTE RP 177-1993 section 3.3: P holds (x, y, z) of each primary as a column,
// NPM = P * diag(P^-1 * W). The (x, y, z) form also covers a primary at y = 0.
Matrix RGBToXYZ(const PrimariesData& p) {
    const Chromaticity c[3] = {p.red, p.green, p.blue};
    Matrix primaries{};
    for (int j = 0; j < 3; ++j) {
        primaries[0][j] = c[j].x;
        primaries[1][j] = c[j].y;
        primaries[2][j] = 1.0 - c[j].x - c[j].y;
    }
    const Vector s = Multiply(Inverse(primaries), WhiteXYZ(p.white));
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            primaries[i][j] *= s[j];
        }
    }
    return primaries;
}

// Linear Bradford cone response, ICC.1:2010 annex E.3.
constexpr Matrix kBradford{
    {{0.8951, 0.2664, -0.1614}, {-0.7502, 1.7135, 0.0367}, {0.0389, -0.0685, 1.0296}}};

Matrix BradfordAdaptation(Chromaticity from, Chromaticity to) {
    const Vector source = Multiply(kBradford, WhiteXYZ(from));
    const Vector target = Multiply(kBradford, WhiteXYZ(to));
    Matrix scale{};
    for (int i = 0; i < 3; ++i) {
        scale[i][i] = target[i] / source[i];
    }
    return Multiply(Inverse(kBradford), Multiply(scale, kBradford));
}

}  // namespace

bool IsKnownColorPrimaries(ColorPrimaries primaries) {
    PrimariesData data{};
    return FindPrimaries(primaries, data);
}

RGBCrossMatrix GetRGBCrossMatrix(ColorPrimaries from, ColorPrimaries to) {
    const PrimariesData source = RequirePrimaries(from);
    const PrimariesData target = RequirePrimaries(to);
    Matrix m{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
    if (from != to) {
        m = RGBToXYZ(source);
        if (source.white.x != target.white.x || source.white.y != target.white.y) {
            m = Multiply(BradfordAdaptation(source.white, target.white), m);
        }
        m = Multiply(Inverse(RGBToXYZ(target)), m);
    }
    RGBCrossMatrix result{};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            result[i][j] = static_cast<float>(m[i][j]);
        }
    }
    return result;
}

std::span<const NamedPrimaries> GetConvertiblePrimaries() {
    static constexpr NamedPrimaries kConvertible[] = {
        {ColorPrimaries::BT709, "bt709", "bt709"},
        {ColorPrimaries::BT470BG, "bt470bg", "bt470"},
        {ColorPrimaries::SMPTE170M, "smpte170m", "smpte170m"},
        {ColorPrimaries::SMPTE432, "smpte432", "smpte432"},
        {ColorPrimaries::BT2020, "bt2020", "bt2020"},
    };
    return kConvertible;
}

const NamedPrimaries* FindConvertiblePrimaries(std::int32_t code) {
    for (const NamedPrimaries& entry : GetConvertiblePrimaries()) {
        if (static_cast<std::int32_t>(entry.primaries) == code) {
            return &entry;
        }
    }
    return nullptr;
}

std::array<float, 3> GetLuminanceCoefficients(ColorPrimaries primaries) {
    const Matrix m = RGBToXYZ(RequirePrimaries(primaries));
    return {static_cast<float>(m[1][0]), static_cast<float>(m[1][1]), static_cast<float>(m[1][2])};
}

}  // namespace Kavrin::Conf
