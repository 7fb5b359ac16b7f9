#include "Oracles.h"

#include <zimg.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

namespace Kavrin::Test {

namespace {

void Describe(const ZimgImage& image, zimg_image_format& format) {
    zimg_image_format_default(&format, ZIMG_API_VERSION);
    format.width = static_cast<unsigned>(image.width);
    format.height = static_cast<unsigned>(image.height);
    format.pixel_type = ZIMG_PIXEL_WORD;  // samples travel as words at any depth
    format.depth = static_cast<unsigned>(image.depth);
    format.color_family = image.rgb ? ZIMG_COLOR_RGB : ZIMG_COLOR_YUV;
    format.matrix_coefficients =
        image.rgb ? ZIMG_MATRIX_RGB : static_cast<zimg_matrix_coefficients_e>(image.matrix);
    format.pixel_range = image.fullRange ? ZIMG_RANGE_FULL : ZIMG_RANGE_LIMITED;
    format.subsample_w = static_cast<unsigned>(image.subsampleW);
    format.subsample_h = static_cast<unsigned>(image.subsampleH);
    format.chroma_location = static_cast<zimg_chroma_location_e>(image.chromaLocation);
}

bool Failed(const char* call) {
    char message[1024] = {};
    zimg_get_last_error(message, sizeof(message));
    ADD_FAILURE() << call << ": " << message;
    return false;
}

// Three planes of an image's size with 64-byte aligned rows, as zimg wants them.
struct Planes {
    explicit Planes(const ZimgImage& image)
        : stride((static_cast<std::size_t>(image.width) * 2 + 63) / 64 * 64),
          size(stride * static_cast<std::size_t>(image.height)),
          storage(3 * size + 64) {}
    std::uint8_t* Row(int plane, int y) {
        auto* base = reinterpret_cast<std::uint8_t*>(
            (reinterpret_cast<std::uintptr_t>(storage.data()) + 63) / 64 * 64);
        return base + static_cast<std::size_t>(plane) * size + static_cast<std::size_t>(y) * stride;
    }
    std::size_t stride;
    std::size_t size;
    std::vector<std::uint8_t> storage;
};

// Runs zimg from `source` into `target`'s format and size with `params`.
bool RunZimg(const ZimgImage& source, ZimgImage& target, const zimg_graph_builder_params& params) {
    zimg_image_format from;
    zimg_image_format to;
    Describe(source, from);
    Describe(target, to);
    zimg_filter_graph* graph = zimg_filter_graph_build(&from, &to, &params);
    if (graph == nullptr)
        return Failed("zimg_filter_graph_build");
    std::size_t tmpSize = 0;
    zimg_filter_graph_get_tmp_size(graph, &tmpSize);
    Planes in(source), out(target);
    std::vector<std::uint8_t> tmpStorage(tmpSize + 64);
    void* tmp = reinterpret_cast<void*>((reinterpret_cast<std::uintptr_t>(tmpStorage.data()) + 63) /
                                        64 * 64);
    zimg_image_buffer_const src{ZIMG_API_VERSION, {}};
    zimg_image_buffer dst{ZIMG_API_VERSION, {}};
    for (int p = 0; p < 3; ++p) {
        const int width = source.PlaneWidth(p);
        for (int y = 0; y < source.PlaneHeight(p); ++y) {
            std::memcpy(in.Row(p, y), &source.planes[p].at(static_cast<std::size_t>(y * width)),
                        static_cast<std::size_t>(width) * 2);
        }
        src.plane[p] = {in.Row(p, 0), static_cast<std::ptrdiff_t>(in.stride), ZIMG_BUFFER_MAX};
        dst.plane[p] = {out.Row(p, 0), static_cast<std::ptrdiff_t>(out.stride), ZIMG_BUFFER_MAX};
    }
    const bool ok = zimg_filter_graph_process(graph, &src, &dst, tmp, nullptr, nullptr, nullptr,
                                              nullptr) == ZIMG_ERROR_SUCCESS;
    zimg_filter_graph_free(graph);
    if (!ok)
        return Failed("zimg_filter_graph_process");
    for (int p = 0; p < 3; ++p) {
        const int width = target.PlaneWidth(p);
        target.planes[p].resize(static_cast<std::size_t>(width * target.PlaneHeight(p)));
        for (int y = 0; y < target.PlaneHeight(p); ++y) {
            std::memcpy(&target.planes[p][static_cast<std::size_t>(y * width)], out.Row(p, y),
                        static_cast<std::size_t>(width) * 2);
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
    // Filter and its parameters (B and C for bicubic, taps for Lanczos), by kernel.
    const struct {
        zimg_resample_filter_e filter;
        double a, b;
    } kernels[] = {{ZIMG_RESIZE_BILINEAR, NAN, NAN},
                   {ZIMG_RESIZE_BICUBIC, 0.0, 0.5},
                   {ZIMG_RESIZE_BICUBIC, 1.0 / 3.0, 1.0 / 3.0},
                   {ZIMG_RESIZE_LANCZOS, 3.0, NAN}};
    const auto& k = kernels[static_cast<int>(kernel)];
    zimg_graph_builder_params params = Params();
    params.resample_filter = params.resample_filter_uv = k.filter;
    params.filter_param_a = params.filter_param_a_uv = k.a;
    params.filter_param_b = params.filter_param_b_uv = k.b;
    return RunZimg(source, target, params);
}

}  // namespace Kavrin::Test
