#include "Kavrin/Conf/ColorUtils.h"

#include <string>

#include "Kavrin/Core/Exception.h"

namespace Kavrin::Conf {
namespace {

struct LumaCoefficients {
    double kr;
    double kb;
};

// Kr and Kb: ITU-R BT.709 table 3, ITU-R BT.601 (also SMPTE 170M and BT.470 B/G),
// ITU-R BT.2020 table 4, SMPTE 240M, and the FCC's 47 CFR 73.682.
bool FindLuma(YCbCrMatrix matrix, LumaCoefficients& luma) {
    switch (matrix) {
        case YCbCrMatrix::BT709:
            luma = {0.2126, 0.0722};
            return true;
        case YCbCrMatrix::FCC:
            luma = {0.30, 0.11};
            return true;
        case YCbCrMatrix::BT470BG:
        case YCbCrMatrix::SMPTE170M:
            luma = {0.299, 0.114};
            return true;
        case YCbCrMatrix::SMPTE240M:
            luma = {0.212, 0.087};
            return true;
        case YCbCrMatrix::BT2020NonConstant:
            luma = {0.2627, 0.0593};
            return true;
        default:
            return false;
    }
}

LumaCoefficients RequireLuma(YCbCrMatrix matrix) {
    LumaCoefficients luma{};
    if (!FindLuma(matrix, luma)) {
        KAVRIN_THROW_HOST("GetYCbCrCoefficients", Exception,
                          "YCbCr matrix " + std::to_string(static_cast<int>(matrix)) +
                              " has no known luma coefficients");
    }
    return luma;
}

}  // namespace

bool IsValidYCbCrMatrix(YCbCrMatrix matrix) {
    LumaCoefficients luma{};
    return FindLuma(matrix, luma);
}

std::array<float, 3> GetYCbCrCoefficients(YCbCrMatrix matrix) {
    const LumaCoefficients luma = RequireLuma(matrix);
    const double kg = 1.0 - luma.kr - luma.kb;
    return {static_cast<float>(luma.kr), static_cast<float>(kg), static_cast<float>(luma.kb)};
}

YpCbCrToARGBMatrix GetYpPbPrToRGBMatrix(YCbCrMatrix matrix) {
    const auto [kr, kb] = RequireLuma(matrix);
    const double kg = 1.0 - kr - kb;
    return {1.0f, static_cast<float>(2.0 * (1.0 - kr)),
            static_cast<float>(-2.0 * (1.0 - kr) * kr / kg),
            static_cast<float>(-2.0 * (1.0 - kb) * kb / kg), static_cast<float>(2.0 * (1.0 - kb))};
}

ARGBToYpCbCrMatrix GetRGBToYpPbPrMatrix(YCbCrMatrix matrix) {
    const auto [kr, kb] = RequireLuma(matrix);
    const double kg = 1.0 - kr - kb;
    return {static_cast<float>(kr),
            static_cast<float>(kg),
            static_cast<float>(kb),
            static_cast<float>(-kr / (2.0 * (1.0 - kb))),
            static_cast<float>(-kg / (2.0 * (1.0 - kb))),
            0.5f,
            static_cast<float>(-kg / (2.0 * (1.0 - kr))),
            static_cast<float>(-kb / (2.0 * (1.0 - kr)))};
}

}  // namespace Kavrin::Conf
