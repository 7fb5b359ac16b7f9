#include "Oracles.h"

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <gtest/gtest.h>

namespace Kavrin::Test {

std::vector<int> SwscaleYuv444ToRgb(const std::uint8_t* const planes[3], const int strides[3],
                                    int width, int height, bool wide, bool bt709, bool fullRange) {
    SwsContext* context = sws_getContext(
        width, height, wide ? AV_PIX_FMT_YUV444P10LE : AV_PIX_FMT_YUV444P, width, height,
        wide ? AV_PIX_FMT_RGB48LE : AV_PIX_FMT_RGB24,
        SWS_POINT | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr, nullptr, nullptr);
    if (context == nullptr) {
        ADD_FAILURE() << "sws_getContext failed";
        return {};
    }
    const int* coefficients = sws_getCoefficients(bt709 ? SWS_CS_ITU709 : SWS_CS_ITU601);
    EXPECT_GE(sws_setColorspaceDetails(context, coefficients, fullRange ? 1 : 0, coefficients, 1, 0,
                                       1 << 16, 1 << 16),
              0);
    const int bytesPerSample = wide ? 2 : 1;
    const std::uint8_t* const sourcePlanes[4] = {planes[0], planes[1], planes[2], nullptr};
    const int sourceStrides[4] = {strides[0], strides[1], strides[2], 0};
    std::vector<std::uint8_t> output(static_cast<std::size_t>(width * height * 3 * bytesPerSample));
    std::uint8_t* outputPlanes[4] = {output.data(), nullptr, nullptr, nullptr};
    const int outputStrides[4] = {width * 3 * bytesPerSample, 0, 0, 0};
    sws_scale(context, sourcePlanes, sourceStrides, 0, height, outputPlanes, outputStrides);
    sws_freeContext(context);
    std::vector<int> values(static_cast<std::size_t>(width * height * 3));
    for (std::size_t i = 0; i < values.size(); ++i) {
        values[i] = wide ? output[2 * i] | (output[2 * i + 1] << 8) : output[i];
    }
    return values;
}

}  // namespace Kavrin::Test
