#include "Oracles.h"

#include <zimg.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace Kavrin::Test {

namespace {

void Describe(const ZimgImage& image, zimg_image_format& format) {
    zimg_image_format_default(&format, ZIMG_API_VERSION);
    format.width = static_cast<unsigned>(image.width);
    format.height = static_cast<unsigned>(image.height);
    format.pixel_type = image.depth > 8 ? ZIMG_PIXEL_WORD : ZIMG_PIXEL_BYTE;
    format.depth = static_cast<unsigned>(image.depth);
    format.color_family = image.rgb ? ZIMG_COLOR_RGB : ZIMG_COLOR_YUV;
    format.matrix_coefficients =
        image.rgb ? ZIMG_MATRIX_RGB : static_cast<zimg_matrix_coefficients_e>(image.matrix);
    format.transfer_characteristics = ZIMG_TRANSFER_UNSPECIFIED;
    format.color_primaries = ZIMG_PRIMARIES_UNSPECIFIED;
    format.pixel_range = image.fullRange ? ZIMG_RANGE_FULL : ZIMG_RANGE_LIMITED;
    format.subsample_w = static_cast<unsigned>(image.subsampleW);
    format.subsample_h = static_cast<unsigned>(image.subsampleH);
    format.chroma_location = static_cast<zimg_chroma_location_e>(image.chromaLocation);
}

std::string ZimgError() {
    char message[1024] = {};
    zimg_get_last_error(message, sizeof(message));
    return message;
}

// Runs zimg from `source` into `target`'s format and size with `params`.
bool RunZimg(const ZimgImage& source, ZimgImage& target, const zimg_graph_builder_params& params) {
    zimg_image_format from;
    zimg_image_format to;
    Describe(source, from);
    Describe(target, to);
    zimg_filter_graph* graph = zimg_filter_graph_build(&from, &to, &params);
    if (graph == nullptr) {
        ADD_FAILURE() << "zimg_filter_graph_build: " << ZimgError();
        return false;
    }
    // zimg wants 64-byte aligned rows: every plane gets rows of the luma stride.
    const auto bytes = [](const ZimgImage& image) { return image.depth > 8 ? 2u : 1u; };
    const auto strideOf = [&](const ZimgImage& image) {
        return (static_cast<std::size_t>(image.width) * bytes(image) + 63) / 64 * 64;
    };
    const auto height = static_cast<std::size_t>(std::max(source.height, target.height));
    std::size_t tmpSize = 0;
    zimg_filter_graph_get_tmp_size(graph, &tmpSize);
    std::vector<std::uint8_t> tmpStorage(tmpSize + 64);
    void* tmp = reinterpret_cast<void*>((reinterpret_cast<std::uintptr_t>(tmpStorage.data()) + 63) /
                                        64 * 64);
    zimg_image_buffer_const src{};
    zimg_image_buffer dst{};
    src.version = ZIMG_API_VERSION;
    dst.version = ZIMG_API_VERSION;
    std::vector<std::uint8_t> inBlock(3 * strideOf(source) * height + 64);
    std::vector<std::uint8_t> outBlock(3 * strideOf(target) * height + 64);
    auto* inBase = reinterpret_cast<std::uint8_t*>(
        (reinterpret_cast<std::uintptr_t>(inBlock.data()) + 63) / 64 * 64);
    auto* outBase = reinterpret_cast<std::uint8_t*>(
        (reinterpret_cast<std::uintptr_t>(outBlock.data()) + 63) / 64 * 64);
    for (std::size_t p = 0; p < 3; ++p) {
        std::uint8_t* plane = inBase + p * strideOf(source) * height;
        const auto width = static_cast<std::size_t>(source.PlaneWidth(static_cast<int>(p)));
        for (std::size_t i = 0; i < source.planes[p].size(); ++i) {
            std::uint8_t* at = plane + (i / width) * strideOf(source) + (i % width) * bytes(source);
            if (bytes(source) == 2) {
                std::memcpy(at, &source.planes[p][i], 2);
            } else {
                *at = static_cast<std::uint8_t>(source.planes[p][i]);
            }
        }
        src.plane[p].data = plane;
        src.plane[p].stride = static_cast<std::ptrdiff_t>(strideOf(source));
        src.plane[p].mask = ZIMG_BUFFER_MAX;
        dst.plane[p].data = outBase + p * strideOf(target) * height;
        dst.plane[p].stride = static_cast<std::ptrdiff_t>(strideOf(target));
        dst.plane[p].mask = ZIMG_BUFFER_MAX;
    }
    const bool ok = zimg_filter_graph_process(graph, &src, &dst, tmp, nullptr, nullptr, nullptr,
                                              nullptr) == ZIMG_ERROR_SUCCESS;
    zimg_filter_graph_free(graph);
    if (!ok) {
        ADD_FAILURE() << "zimg_filter_graph_process: " << ZimgError();
        return false;
    }
    for (std::size_t p = 0; p < 3; ++p) {
        const auto width = static_cast<std::size_t>(target.PlaneWidth(static_cast<int>(p)));
        auto& samples = target.planes[p];
        samples.assign(width * static_cast<std::size_t>(target.PlaneHeight(static_cast<int>(p))),
                       0);
        const auto* plane = static_cast<const std::uint8_t*>(dst.plane[p].data);
        for (std::size_t i = 0; i < samples.size(); ++i) {
            const std::uint8_t* at =
                plane + (i / width) * strideOf(target) + (i % width) * bytes(target);
            if (bytes(target) == 2) {
                std::memcpy(&samples[i], at, 2);
            } else {
                samples[i] = *at;
            }
        }
    }
    return true;
}

zimg_graph_builder_params Params() {
    zimg_graph_builder_params params;
    zimg_graph_builder_params_default(&params, ZIMG_API_VERSION);
    params.dither_type = ZIMG_DITHER_NONE;
    params.cpu_type = ZIMG_CPU_NONE;  // the plain C paths: the same result on every machine
    return params;
}

}  // namespace

bool ZimgConvert(const ZimgImage& source, ZimgImage& target, ZimgChromaFilter chromaFilter,
                 double b, double c) {
    zimg_graph_builder_params params = Params();
    params.resample_filter_uv =
        chromaFilter == ZimgChromaFilter::Bicubic ? ZIMG_RESIZE_BICUBIC : ZIMG_RESIZE_BILINEAR;
    params.filter_param_a_uv = b;
    params.filter_param_b_uv = c;
    return RunZimg(source, target, params);
}

bool ZimgResize(const ZimgImage& source, ZimgImage& target, ZimgKernel kernel) {
    zimg_graph_builder_params params = Params();
    switch (kernel) {
        case ZimgKernel::Bilinear:
            params.resample_filter = ZIMG_RESIZE_BILINEAR;
            break;
        case ZimgKernel::CatmullRom:
        case ZimgKernel::Mitchell:
            params.resample_filter = ZIMG_RESIZE_BICUBIC;
            params.filter_param_a = kernel == ZimgKernel::Mitchell ? 1.0 / 3.0 : 0.0;
            params.filter_param_b = kernel == ZimgKernel::Mitchell ? 1.0 / 3.0 : 0.5;
            break;
        case ZimgKernel::Lanczos3:
            params.resample_filter = ZIMG_RESIZE_LANCZOS;
            params.filter_param_a = 3.0;
            break;
    }
    params.resample_filter_uv = params.resample_filter;
    params.filter_param_a_uv = params.filter_param_a;
    params.filter_param_b_uv = params.filter_param_b;
    return RunZimg(source, target, params);
}

}  // namespace Kavrin::Test
