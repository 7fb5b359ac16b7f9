#include <GL/glew.h>

#include "YUVColorConverter.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include <glm/glm.hpp>
#include <gtest/gtest.h>

#include "Kavrin/Core/Exception.h"
#include "Kavrin/PixFmt.h"
#include "Kavrin/Proc/Plane.h"

#include "ColourReference.h"
#include "GpuEval.h"
#include "Oracles.h"
#include "Private/UploadDownloadBuffers.h"
#include "RenderHub.h"
#include "ShaderStorage.h"
#include "TestTasks.h"
#include "Texture.h"

namespace {

using namespace Kavrin::Ogl;
using Kavrin::PixelColorRange;
using Kavrin::PixFmt;
using Kavrin::PixFmtDescription;
using Kavrin::Conf::YCbCrMatrix;
using Params = Texture::Params;
using Samples = std::vector<std::uint16_t>;

using namespace Kavrin::Test::Ref;
using Kavrin::Test::FloatTexture;
using Kavrin::Test::ReadFloat;
using Kavrin::Test::WithStorage;
using YUVConverterGLTest = Kavrin::Test::GLTest<>;

const std::vector<YCbCrMatrix> kAllMatrices = {
    YCbCrMatrix::BT709,     YCbCrMatrix::FCC,       YCbCrMatrix::BT470BG,
    YCbCrMatrix::SMPTE170M, YCbCrMatrix::SMPTE240M, YCbCrMatrix::BT2020NonConstant};

std::string Describe(const glm::dvec3& v) { return Kavrin::Test::Describe(glm::dvec4(v, 1.0)); }

// ---------------------------------------------------------------------------
// GL helpers; all run on the GL thread.

std::unique_ptr<Texture> IntegerPlane(int width, int height, int containerBits,
                                      int components = 1) {
    const bool wide = containerBits > 8;
    const Params params =
        components == 1 ? Params{width, height, GL_RED_INTEGER, wide ? GL_R16UI : GL_R8UI,
                                 static_cast<GLenum>(wide ? GL_UNSIGNED_SHORT : GL_UNSIGNED_BYTE)}
                        : Params{width, height, GL_RG_INTEGER, wide ? GL_RG16UI : GL_RG8UI,
                                 static_cast<GLenum>(wide ? GL_UNSIGNED_SHORT : GL_UNSIGNED_BYTE)};
    return std::make_unique<Texture>(params, GL_CLAMP_TO_EDGE, GL_NEAREST, nullptr);
}

int ComponentsOf(const Texture& texture) {
    switch (texture.GetTexParams().format) {
        case GL_RG_INTEGER:
        case GL_RG:
            return 2;
        case GL_RGBA:
            return 4;
        default:
            return 1;
    }
}

// Host samples (row 0 first) into the texture, 16-bit ones as little-endian.
void UploadSamples(const Samples& samples, Texture& texture, const ShaderStorage& storage) {
    const Params& p = texture.GetTexParams();
    const bool wide = p.type == GL_UNSIGNED_SHORT;
    std::vector<std::uint8_t> bytes;
    bytes.reserve(samples.size() * 2);
    for (const std::uint16_t s : samples) {
        bytes.push_back(static_cast<std::uint8_t>(s & 0xFF));
        if (wide) {
            bytes.push_back(static_cast<std::uint8_t>(s >> 8));
        }
    }
    const int rowBytes = p.width * ComponentsOf(texture) * (wide ? 2 : 1);
    ASSERT_EQ(bytes.size(), static_cast<std::size_t>(rowBytes * p.height));
    UploadPlane(Kavrin::Proc::ConstPlane{bytes.data(), rowBytes, p.height}, texture, storage);
}

Samples ReadSamples(Texture& texture, const ShaderStorage& storage) {
    const Params& p = texture.GetTexParams();
    const std::size_t count = static_cast<std::size_t>(p.width * p.height * ComponentsOf(texture));
    Samples samples(count);
    if (p.type == GL_UNSIGNED_SHORT) {
        texture.Download(0, samples.data(), storage.FBO());
    } else {
        std::vector<std::uint8_t> bytes(count);
        texture.Download(0, bytes.data(), storage.FBO());
        std::copy(bytes.begin(), bytes.end(), samples.begin());
    }
    return samples;
}

// Uploads three equal-size planes and converts them into a float image.
std::vector<glm::vec4> DecodeOnGpu(YCbCrMatrix matrix, PixelColorRange range, int depth, int shift,
                                   int width, int height, const Samples& y, const Samples& u,
                                   const Samples& v) {
    std::vector<glm::vec4> result;
    WithStorage([&](const ShaderStorage& storage) {
        auto target = FloatTexture(width, height);
        auto yt = IntegerPlane(width, height, depth + shift);
        auto ut = IntegerPlane(width, height, depth + shift);
        auto vt = IntegerPlane(width, height, depth + shift);
        UploadSamples(y, *yt, storage);
        UploadSamples(u, *ut, storage);
        UploadSamples(v, *vt, storage);
        YUVConverter converter(storage, matrix, range, static_cast<unsigned char>(depth),
                               static_cast<unsigned char>(shift));
        converter.ToRGB(*yt, *ut, *vt, *target);
        result = ReadFloat(*target, storage);
    });
    return result;
}

std::string DescriptionOfFailure(const std::function<void(const ShaderStorage&)>& body) {
    try {
        WithStorage(body);
    } catch (const Kavrin::Exception& e) {
        return e.GetDescription();
    }
    return "<no Kavrin::Exception>";
}

// ---------------------------------------------------------------------------
// 1. Decoding of random samples, in and out of range, against the reference.

struct DecodeCase {
    YCbCrMatrix matrix;
    PixelColorRange range;
    int depth;
    int shift;
};

void PrintTo(const DecodeCase& c, std::ostream* out) {
    *out << MatrixName(c.matrix) << " " << RangeName(c.range) << " " << c.depth << "-bit shift "
         << c.shift;
}

std::vector<DecodeCase> AllDecodeCases() {
    std::vector<DecodeCase> cases;
    for (const YCbCrMatrix matrix : kAllMatrices) {
        for (const PixelColorRange range : {PixelColorRange::Limited, PixelColorRange::Full}) {
            for (const auto& [depth, shift] :
                 {std::pair{8, 0}, {10, 0}, {12, 0}, {16, 0}, {10, 6}, {12, 4}}) {
                cases.push_back({matrix, range, depth, shift});
            }
        }
    }
    return cases;
}

std::string DecodeCaseName(const ::testing::TestParamInfo<DecodeCase>& info) {
    const DecodeCase& c = info.param;
    return MatrixName(c.matrix) + "_" + RangeName(c.range) + "_" + std::to_string(c.depth) +
           "bit_shift" + std::to_string(c.shift);
}

class YUVDecodeGLTest : public Kavrin::Test::GLTestWithParam<DecodeCase> {
protected:
    static void TearDownTestSuite() {
        for (const auto& [depth, error] : largestError) {
            std::printf(
                "[ YUV->RGB ] largest error vs float64 reference at %2d bits: %.3g code values\n",
                depth, error);
        }
        largestError.clear();
    }

    static inline std::map<int, double> largestError;
};

TEST_P(YUVDecodeGLTest, RandomSamplesMatchReference) {
    const DecodeCase& c = GetParam();
    constexpr int kSize = 32;
    std::mt19937 random(static_cast<unsigned>(
        c.depth * 131 + c.shift * 7 + static_cast<int>(c.matrix) * 3 + static_cast<int>(c.range)));
    // Whole container range, so limited-range data includes super-black,
    // super-white and out-of-range chroma; MSB-aligned samples get junk in the
    // low bits, which must be shifted out.
    std::uniform_int_distribution<int> value(0, (1 << c.depth) - 1);
    std::uniform_int_distribution<int> junk(0, (1 << c.shift) - 1);
    Samples planes[3];
    for (Samples& plane : planes) {
        plane.resize(kSize * kSize);
        for (std::uint16_t& s : plane) {
            s = static_cast<std::uint16_t>((value(random) << c.shift) | junk(random));
        }
    }
    // Extremes of every plane at fixed pixels.
    for (int i = 0; i < 3; ++i) {
        planes[i][static_cast<std::size_t>(i)] = 0;
        planes[i][static_cast<std::size_t>(3 + i)] =
            static_cast<std::uint16_t>(((1 << (c.depth + c.shift)) - 1));
    }

    const auto got = DecodeOnGpu(c.matrix, c.range, c.depth, c.shift, kSize, kSize, planes[0],
                                 planes[1], planes[2]);
    ASSERT_EQ(got.size(), planes[0].size());
    // 1e-4, and never more than a twentieth of a code, so that a one-code slip
    // shows at 16 bits too.
    const double tolerance = std::min(1e-4, 0.05 / MaxCode(c.depth));  // float
    double worst = 0.0;
    for (std::size_t i = 0; i < got.size(); ++i) {
        const glm::dvec3 want = DecodeSamples(c.matrix, c.range, c.depth, c.shift, planes[0][i],
                                              planes[1][i], planes[2][i]);
        for (int ch = 0; ch < 3; ++ch) {
            const double error = std::abs(static_cast<double>(got[i][ch]) - want[ch]);
            worst = std::max(worst, error);
            ASSERT_LE(error, tolerance)  // float
                << MatrixName(c.matrix) << " " << RangeName(c.range) << " " << c.depth
                << "-bit shift " << c.shift << " pixel " << i % kSize << "," << i / kSize
                << " samples (" << planes[0][i] << ", " << planes[1][i] << ", " << planes[2][i]
                << ") channel " << ch << " got " << got[i][ch] << " wanted " << Describe(want);
        }
        EXPECT_EQ(got[i].a, 1.0f) << "pixel " << i;
    }
    double& slot = largestError[c.depth];
    slot = std::max(slot, worst * MaxCode(c.depth));
}

INSTANTIATE_TEST_SUITE_P(AllMatricesRangesDepths, YUVDecodeGLTest,
                         ::testing::ValuesIn(AllDecodeCases()), DecodeCaseName);

// ---------------------------------------------------------------------------
// 2. FFmpeg's swscale and zimg as independent decoders.

std::string OracleCaseName(const ::testing::TestParamInfo<DecodeCase>& info) {
    return MatrixName(info.param.matrix) + "_" + RangeName(info.param.range) + "_" +
           std::to_string(info.param.depth) + "bit";
}

// Interleaved RGB at the output depth (8 -> RGB24, 10 -> RGB48LE, i.e. 16 bits).
std::vector<int> DecodeWithSwscale(const DecodeCase& c, int width, int height,
                                   const Samples planes[3]) {
    const bool wide = c.depth > 8;
    std::vector<std::uint8_t> source[3];
    for (int k = 0; k < 3; ++k) {
        for (const std::uint16_t s : planes[k]) {
            source[k].push_back(static_cast<std::uint8_t>(s & 0xFF));
            if (wide) {
                source[k].push_back(static_cast<std::uint8_t>(s >> 8));
            }
        }
    }
    const std::uint8_t* const bytes[3] = {source[0].data(), source[1].data(), source[2].data()};
    const int stride = width * (wide ? 2 : 1);
    const int strides[3] = {stride, stride, stride};
    return Kavrin::Test::SwscaleYuv444ToRgb(bytes, strides, width, height, wide,
                                            c.matrix == YCbCrMatrix::BT709,
                                            c.range == PixelColorRange::Full);
}

// Interleaved RGB at the source depth, rounded without dither.
std::vector<int> DecodeWithZimg(const DecodeCase& c, int width, int height,
                                const Samples planes[3]) {
    Kavrin::Test::ZimgImage source;
    source.width = width;
    source.height = height;
    source.depth = c.depth;
    source.fullRange = c.range == PixelColorRange::Full;
    source.matrix = c.matrix == YCbCrMatrix::BT709 ? 1 : 6;
    for (int k = 0; k < 3; ++k) {
        source.planes[k] = planes[k];
    }
    Kavrin::Test::ZimgImage target = source;
    target.rgb = true;
    target.fullRange = true;
    if (!Kavrin::Test::ZimgConvert(source, target)) {
        return {};
    }
    std::vector<int> values;
    for (int i = 0; i < width * height; ++i) {
        for (int k = 0; k < 3; ++k) {
            values.push_back(target.planes[k][static_cast<std::size_t>(i)]);
        }
    }
    return values;
}

using YUVOracleGLTest = Kavrin::Test::GLTestWithParam<DecodeCase>;

TEST_P(YUVOracleGLTest, AgreesWithSwscaleOrZimg) {
    const DecodeCase& c = GetParam();
    constexpr int kSize = 24;
    // Colours well inside the cube, so that every decoder's clamping is moot.
    std::mt19937 random(99 + c.depth + static_cast<int>(c.range));
    std::uniform_real_distribution<double> channel(0.05, 0.95);
    Samples planes[3];
    for (int i = 0; i < kSize * kSize; ++i) {
        const glm::ivec3 s = EncodeSamples(c.matrix, c.range, c.depth,
                                           {channel(random), channel(random), channel(random)});
        for (int k = 0; k < 3; ++k) {
            planes[k].push_back(static_cast<std::uint16_t>(s[k]));
        }
    }
    const auto ours =
        DecodeOnGpu(c.matrix, c.range, c.depth, 0, kSize, kSize, planes[0], planes[1], planes[2]);
    const auto sws = DecodeWithSwscale(c, kSize, kSize, planes);
    const auto zimg = DecodeWithZimg(c, kSize, kSize, planes);
    ASSERT_EQ(ours.size(), static_cast<std::size_t>(kSize * kSize));
    ASSERT_EQ(sws.size(), ours.size() * 3);
    ASSERT_EQ(zimg.size(), ours.size() * 3);

    const int swsDepth = c.depth > 8 ? 16 : 8;
    const auto quantise = [](double v, int depth) {
        return static_cast<int>(std::lround(std::clamp(v, 0.0, 1.0) * MaxCode(depth)));
    };
    double swsVsOurs = 0, zimgVsOurs = 0, swsVsReference = 0, zimgVsReference = 0;
    std::string worstSws;
    for (std::size_t i = 0; i < ours.size(); ++i) {
        const glm::dvec3 reference =
            DecodeSamples(c.matrix, c.range, c.depth, 0, planes[0][i], planes[1][i], planes[2][i]);
        for (int ch = 0; ch < 3; ++ch) {
            const int s = sws[i * 3 + static_cast<std::size_t>(ch)];
            const int z = zimg[i * 3 + static_cast<std::size_t>(ch)];
            const double swsError = std::abs(s - quantise(ours[i][ch], swsDepth));
            if (swsError > swsVsOurs) {
                swsVsOurs = swsError;
                worstSws = "pixel " + std::to_string(i) + " channel " + std::to_string(ch) +
                           ": swscale " + std::to_string(s) + ", ours " +
                           std::to_string(quantise(ours[i][ch], swsDepth));
            }
            zimgVsOurs = std::max(
                zimgVsOurs, static_cast<double>(std::abs(z - quantise(ours[i][ch], c.depth))));
            swsVsReference =
                std::max(swsVsReference,
                         static_cast<double>(std::abs(s - quantise(reference[ch], swsDepth))));
            zimgVsReference =
                std::max(zimgVsReference,
                         static_cast<double>(std::abs(z - quantise(reference[ch], c.depth))));
        }
    }
    std::printf(
        "[ oracle   ] %s %s %d-bit: ours vs swscale %g codes (%d-bit output), vs zimg %g codes; "
        "quantised float64 reference vs swscale %g, vs zimg %g\n",
        MatrixName(c.matrix).c_str(), RangeName(c.range).c_str(), c.depth, swsVsOurs, swsDepth,
        zimgVsOurs, swsVsReference, zimgVsReference);
    // zimg rounds at the source depth; full range differs from us in its
    // chroma scale (2^b - 1 rather than 2^b - 2), under one code.
    EXPECT_LE(zimgVsOurs, 1.0)  // rounding
        << MatrixName(c.matrix) << " " << RangeName(c.range) << " " << c.depth << "-bit";
    if (swsVsOurs > 1.0) {
        // Only acceptable when swscale is the one off the float64 reference.
        EXPECT_GT(swsVsReference, 1.0)
            << "swscale agrees with the reference but not with us: " << worstSws;
        EXPECT_LE(zimgVsReference, 1.0)  // rounding
            << "neither oracle agrees with the reference";
        std::printf(
            "[ oracle   ]   swscale disagrees (%s); zimg agrees with the float64 reference\n",
            worstSws.c_str());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Bt601Bt709, YUVOracleGLTest,
    ::testing::Values(DecodeCase{YCbCrMatrix::SMPTE170M, PixelColorRange::Limited, 8, 0},
                      DecodeCase{YCbCrMatrix::SMPTE170M, PixelColorRange::Full, 8, 0},
                      DecodeCase{YCbCrMatrix::BT709, PixelColorRange::Limited, 8, 0},
                      DecodeCase{YCbCrMatrix::BT709, PixelColorRange::Full, 8, 0},
                      DecodeCase{YCbCrMatrix::SMPTE170M, PixelColorRange::Limited, 10, 0},
                      DecodeCase{YCbCrMatrix::SMPTE170M, PixelColorRange::Full, 10, 0},
                      DecodeCase{YCbCrMatrix::BT709, PixelColorRange::Limited, 10, 0},
                      DecodeCase{YCbCrMatrix::BT709, PixelColorRange::Full, 10, 0}),
    OracleCaseName);

// ---------------------------------------------------------------------------
// 3. RGB -> YUV -> RGB.

struct RoundTripCase {
    const char* name;
    bool sixteenBitSource;  // RGBA16, else RGBA8
    YCbCrMatrix matrix;
    PixelColorRange range;
    int depth;
    bool subsampled;  // 4:2:0 with flat 2x2 blocks
    double toleranceCodes;
};

void PrintTo(const RoundTripCase& c, std::ostream* out) { *out << c.name; }

std::string RoundTripName(const ::testing::TestParamInfo<RoundTripCase>& info) {
    return info.param.name;
}

using YUVRoundTripGLTest = Kavrin::Test::GLTestWithParam<RoundTripCase>;

TEST_P(YUVRoundTripGLTest, InGamutColoursComeBack) {
    const RoundTripCase& c = GetParam();
    constexpr int kWidth = 16;
    constexpr int kHeight = 12;
    const int sourceBits = c.sixteenBitSource ? 16 : 8;
    const int sourceMax = (1 << sourceBits) - 1;
    std::mt19937 random(static_cast<unsigned>(c.depth + 17 * static_cast<int>(c.matrix)));
    std::uniform_int_distribution<int> code(sourceMax / 20, sourceMax - sourceMax / 20);
    std::vector<int> rgba(kWidth * kHeight * 4);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const int p = (y * kWidth + x) * 4;
            if (c.subsampled && (x % 2 != 0 || y % 2 != 0)) {
                const int q = ((y & ~1) * kWidth + (x & ~1)) * 4;
                std::copy_n(rgba.begin() + q, 4, rgba.begin() + p);
                continue;
            }
            rgba[static_cast<std::size_t>(p)] = code(random);
            rgba[static_cast<std::size_t>(p + 1)] = code(random);
            rgba[static_cast<std::size_t>(p + 2)] = code(random);
            rgba[static_cast<std::size_t>(p + 3)] = sourceMax;
        }
    }
    std::vector<glm::vec4> back;
    WithStorage([&](const ShaderStorage& storage) {
        const Params sourceParams =
            c.sixteenBitSource ? Params{kWidth, kHeight, GL_RGBA, GL_RGBA16, GL_UNSIGNED_SHORT}
                               : Params{kWidth, kHeight, GL_RGBA, GL_RGBA8, GL_UNSIGNED_BYTE};
        std::vector<std::uint16_t> words(rgba.begin(), rgba.end());
        std::vector<std::uint8_t> bytes(rgba.begin(), rgba.end());
        Texture source(sourceParams, GL_CLAMP_TO_EDGE, GL_NEAREST,
                       c.sixteenBitSource ? static_cast<const void*>(words.data()) : bytes.data());
        const int cw = c.subsampled ? kWidth / 2 : kWidth;
        const int ch = c.subsampled ? kHeight / 2 : kHeight;
        auto y = IntegerPlane(kWidth, kHeight, c.depth);
        auto u = IntegerPlane(cw, ch, c.depth);
        auto v = IntegerPlane(cw, ch, c.depth);
        auto target = FloatTexture(kWidth, kHeight);
        YUVConverter converter(storage, c.matrix, c.range, static_cast<unsigned char>(c.depth), 0);
        ASSERT_TRUE(YUVConverter::IsValidRGBTexture(&source));
        converter.ToYUV(source, *y, *u, *v);
        converter.ToRGB(*y, *u, *v, *target);
        back = ReadFloat(*target, storage);
    });
    ASSERT_EQ(back.size(), static_cast<std::size_t>(kWidth * kHeight));
    for (std::size_t i = 0; i < back.size(); ++i) {
        for (int k = 0; k < 3; ++k) {
            const double got = back[i][k] * sourceMax;
            const int wanted = rgba[i * 4 + static_cast<std::size_t>(k)];
            ASSERT_NEAR(got, wanted, c.toleranceCodes)
                << c.name << " " << MatrixName(c.matrix) << " " << RangeName(c.range) << " "
                << c.depth << "-bit pixel " << i % kWidth << "," << i / kWidth << " channel " << k;
        }
        EXPECT_EQ(back[i].a, 1.0f);
    }
}

// Half a YUV step through the matrix's largest row (B: 1 + 2(1 - Kb)) costs up
// to 0.4 RGB8 codes from 10-bit planes, and 1.6 codes when RGB and YUV are both
// 16 bits, so 16-bit sources get two codes.
INSTANTIATE_TEST_SUITE_P(
    Sources, YUVRoundTripGLTest,
    ::testing::Values(RoundTripCase{"Rgba8_BT709_Limited_10bit_444", false, YCbCrMatrix::BT709,
                                    PixelColorRange::Limited, 10, false, 1.0},  // rounding
                      RoundTripCase{"Rgba8_BT709_Limited_10bit_420", false, YCbCrMatrix::BT709,
                                    PixelColorRange::Limited, 10, true, 1.0},  // rounding
                      RoundTripCase{"Rgba8_BT2020_Full_12bit_420", false,
                                    YCbCrMatrix::BT2020NonConstant, PixelColorRange::Full, 12, true,
                                    1.0},  // rounding
                      RoundTripCase{"Rgba16_SMPTE170M_Limited_16bit_444", true,
                                    YCbCrMatrix::SMPTE170M, PixelColorRange::Limited, 16, false,
                                    2.0},  // quantisation
                      RoundTripCase{"Rgba16_SMPTE240M_Full_16bit_420", true, YCbCrMatrix::SMPTE240M,
                                    PixelColorRange::Full, 16, true, 2.0}),  // quantisation
    RoundTripName);

// Chroma of a 4:2:0 plane is taken at the chroma pixel centre, so with a
// linear source it is the encoding of the 2x2 block's mean colour.
TEST_F(YUVConverterGLTest, SubsampledChromaTakesBlockMeanWithLinearSource) {
    constexpr int kWidth = 4;
    constexpr int kHeight = 2;
    const std::vector<std::uint16_t> rgba = {
        60000, 1000,  30000, 65535, 2000,  50000, 40000, 65535, 10000, 10000, 10000,
        65535, 50000, 50000, 50000, 65535, 20000, 40000, 10000, 65535, 30000, 30000,
        60000, 65535, 20000, 20000, 20000, 65535, 40000, 40000, 40000, 65535};
    Samples cb, cr;
    WithStorage([&](const ShaderStorage& storage) {
        Texture source(Params{kWidth, kHeight, GL_RGBA, GL_RGBA16, GL_UNSIGNED_SHORT},
                       GL_CLAMP_TO_EDGE, GL_LINEAR, rgba.data());
        auto y = IntegerPlane(kWidth, kHeight, 16);
        auto u = IntegerPlane(kWidth / 2, kHeight / 2, 16);
        auto v = IntegerPlane(kWidth / 2, kHeight / 2, 16);
        YUVConverter converter(storage, YCbCrMatrix::BT709, PixelColorRange::Full, 16, 0);
        converter.ToYUV(source, *y, *u, *v);
        cb = ReadSamples(*u, storage);
        cr = ReadSamples(*v, storage);
    });
    ASSERT_EQ(cb.size(), 2u);
    for (int block = 0; block < 2; ++block) {
        glm::dvec3 mean(0.0);
        for (const int p : {block * 2, block * 2 + 1, kWidth + block * 2, kWidth + block * 2 + 1}) {
            mean += glm::dvec3(rgba[p * 4], rgba[p * 4 + 1], rgba[p * 4 + 2]) / 65535.0 / 4.0;
        }
        const glm::ivec3 want = EncodeSamples(YCbCrMatrix::BT709, PixelColorRange::Full, 16, mean);
        EXPECT_NEAR(cb[static_cast<std::size_t>(block)], want.y, 1)
            << "block " << block;  // filtering
        EXPECT_NEAR(cr[static_cast<std::size_t>(block)], want.z, 1)
            << "block " << block;  // filtering
    }
}

// ---------------------------------------------------------------------------
// 4. Edge cases.

TEST_F(YUVConverterGLTest, LimitedBlackAndWhiteAndLumaClampForEveryMatrix) {
    // Nominal black and white, then luma below and above the legal range.
    const Samples y = {16, 235, 5, 250};
    const Samples chroma = {128, 128, 128, 128};
    const std::vector<float> wanted = {0.0f, 1.0f, 0.0f, 1.0f};
    for (const YCbCrMatrix matrix : kAllMatrices) {
        const auto got =
            DecodeOnGpu(matrix, PixelColorRange::Limited, 8, 0, 4, 1, y, chroma, chroma);
        ASSERT_EQ(got.size(), 4u);
        for (std::size_t i = 0; i < got.size(); ++i) {
            for (int ch = 0; ch < 3; ++ch) {
                EXPECT_NEAR(got[i][ch], wanted[i], 1e-6f)  // float
                    << MatrixName(matrix) << " Y " << y[i] << " channel " << ch;
            }
        }
    }
}

TEST_F(YUVConverterGLTest, FullRangeChromaZeroClampsToOne) {
    const Luma luma = LumaOf(YCbCrMatrix::BT709);
    // Cb 0 and 1 both give Pb = -0.5; 255 gives +0.5. Cr likewise.
    const Samples y = {128, 128, 128, 128, 128};
    const Samples cb = {0, 1, 255, 128, 128};
    const Samples cr = {128, 128, 128, 0, 255};
    const auto got = DecodeOnGpu(YCbCrMatrix::BT709, PixelColorRange::Full, 8, 0, 5, 1, y, cb, cr);
    ASSERT_EQ(got.size(), 5u);
    const double yp = 128.0 / 255.0;
    const std::vector<glm::dvec3> wanted = {
        YpPbPrToRgb(luma, yp, -0.5, 0.0), YpPbPrToRgb(luma, yp, -0.5, 0.0),
        YpPbPrToRgb(luma, yp, 0.5, 0.0), YpPbPrToRgb(luma, yp, 0.0, -0.5),
        YpPbPrToRgb(luma, yp, 0.0, 0.5)};
    for (std::size_t i = 0; i < got.size(); ++i) {
        for (int ch = 0; ch < 3; ++ch) {
            EXPECT_NEAR(got[i][ch], wanted[i][ch], 1e-5)  // float
                << "Cb " << cb[i] << " Cr " << cr[i] << " channel " << ch << " wanted "
                << Describe(wanted[i]);
        }
    }
    // B = Y' - (1 - Kb) exactly at Cb 0.
    EXPECT_NEAR(got[0].b, yp - (1.0 - luma.kb), 1e-5);  // float
    EXPECT_EQ(got[0], got[1]);
}

TEST_F(YUVConverterGLTest, MsbAlignedSamplesAreReadAndWrittenShifted) {
    constexpr int kShift = 6;
    const YCbCrMatrix matrix = YCbCrMatrix::BT2020NonConstant;
    const glm::dvec3 colour(0.7, 0.2, 0.4);
    const glm::dvec3 unrounded = EncodeUnrounded(matrix, PixelColorRange::Limited, 10, colour);
    ASSERT_TRUE(FarFromTie(unrounded)) << "test colour sits on a rounding tie";
    const glm::ivec3 wanted = EncodeSamples(matrix, PixelColorRange::Limited, 10, colour);
    Samples written[3];
    std::vector<glm::vec4> shiftedBack, plainBack;
    WithStorage([&](const ShaderStorage& storage) {
        const float texel[4] = {0.7f, 0.2f, 0.4f, 1.0f};
        Texture source(Params{1, 1, GL_RGBA, GL_RGBA32F, GL_FLOAT}, GL_CLAMP_TO_EDGE, GL_NEAREST,
                       texel);
        auto planes = std::vector<std::unique_ptr<Texture>>();
        for (int k = 0; k < 3; ++k) {
            planes.push_back(IntegerPlane(1, 1, 16));
        }
        YUVConverter converter(storage, matrix, PixelColorRange::Limited, 10, kShift);
        converter.ToYUV(source, *planes[0], *planes[1], *planes[2]);
        for (int k = 0; k < 3; ++k) {
            written[k] = ReadSamples(*planes[k], storage);
        }
    });
    for (int k = 0; k < 3; ++k) {
        ASSERT_EQ(written[k].size(), 1u);
        EXPECT_EQ(written[k][0], wanted[k] << kShift)
            << "plane " << k << " unshifted value " << unrounded[k];
    }
    // Reading: shifted samples with set low bits decode like the unshifted ones.
    const Samples y = {940u << kShift | 0x3F, 502u << kShift, 64u << kShift | 1};
    const Samples cb = {512u << kShift | 0x20, 960u << kShift | 0x3F, 64u << kShift};
    const Samples cr = {512u << kShift, 100u << kShift | 0x3F, 900u << kShift | 0x11};
    const auto shifted = DecodeOnGpu(matrix, PixelColorRange::Limited, 10, kShift, 3, 1, y, cb, cr);
    const auto plain = DecodeOnGpu(matrix, PixelColorRange::Limited, 10, 0, 3, 1, {940, 502, 64},
                                   {512, 960, 64}, {512, 100, 900});
    ASSERT_EQ(shifted.size(), 3u);
    ASSERT_EQ(plain.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        const glm::dvec3 want =
            DecodeSamples(matrix, PixelColorRange::Limited, 10, 0, (y[i] >> kShift),
                          (cb[i] >> kShift), (cr[i] >> kShift));
        for (int ch = 0; ch < 3; ++ch) {
            EXPECT_NEAR(shifted[i][ch], want[ch], 1e-5)
                << "pixel " << i << " channel " << ch;  // float
            EXPECT_EQ(shifted[i][ch], plain[i][ch]) << "pixel " << i << " channel " << ch;
        }
    }
}

TEST_F(YUVConverterGLTest, ToYUVPremultipliesWhileToYUVAKeepsStraightColourAndAlpha) {
    constexpr int kDepth = 10;
    constexpr int kShift = 6;
    const YCbCrMatrix matrix = YCbCrMatrix::SMPTE170M;
    const glm::dvec3 red(1.0, 0.0, 0.0);
    const glm::dvec3 halfRed(0.5, 0.0, 0.0);
    for (const glm::dvec3& c : {red, halfRed}) {
        ASSERT_TRUE(FarFromTie(EncodeUnrounded(matrix, PixelColorRange::Limited, kDepth, c)))
            << "test colour sits on a rounding tie";
    }
    Samples premultiplied[3], straight[4];
    std::vector<glm::vec4> decoded;
    WithStorage([&](const ShaderStorage& storage) {
        const float texel[4] = {1.0f, 0.0f, 0.0f, 0.5f};
        Texture source(Params{1, 1, GL_RGBA, GL_RGBA32F, GL_FLOAT}, GL_CLAMP_TO_EDGE, GL_NEAREST,
                       texel);
        std::vector<std::unique_ptr<Texture>> planes;
        for (int k = 0; k < 7; ++k) {
            planes.push_back(IntegerPlane(1, 1, 16));
        }
        auto target = FloatTexture(1, 1);
        YUVConverter converter(storage, matrix, PixelColorRange::Limited, kDepth, kShift);
        converter.ToYUV(source, *planes[0], *planes[1], *planes[2]);
        converter.ToYUVA(source, *planes[3], *planes[4], *planes[5], *planes[6]);
        for (int k = 0; k < 3; ++k) {
            premultiplied[k] = ReadSamples(*planes[static_cast<std::size_t>(k)], storage);
        }
        for (int k = 0; k < 4; ++k) {
            straight[k] = ReadSamples(*planes[static_cast<std::size_t>(3 + k)], storage);
        }
        converter.ToRGBA(*planes[3], *planes[4], *planes[5], *planes[6], *target);
        decoded = ReadFloat(*target, storage);
    });
    const glm::ivec3 wantPremultiplied =
        EncodeSamples(matrix, PixelColorRange::Limited, kDepth, halfRed);
    const glm::ivec3 wantStraight = EncodeSamples(matrix, PixelColorRange::Limited, kDepth, red);
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(premultiplied[k].at(0), wantPremultiplied[k] << kShift) << "ToYUV plane " << k;
        EXPECT_EQ(straight[k].at(0), wantStraight[k] << kShift) << "ToYUVA plane " << k;
    }
    // 0.5 * 1023 = 511.5, rounded to nearest (truncation lost a code).
    EXPECT_EQ(straight[3].at(0), 512u << kShift);
    ASSERT_EQ(decoded.size(), 1u);
    EXPECT_NEAR(decoded[0].a, 512.0 / 1023.0, 1e-6);  // float
    const glm::dvec3 wantRgb = DecodeSamples(matrix, PixelColorRange::Limited, kDepth, 0,
                                             wantStraight.x, wantStraight.y, wantStraight.z);
    for (int ch = 0; ch < 3; ++ch) {
        EXPECT_NEAR(decoded[0][ch], wantRgb[ch], 1e-5) << "channel " << ch;  // float
    }
}

TEST_F(YUVConverterGLTest, AlphaPlaneIsShiftedScaledAndClamped) {
    // 10-bit alpha in a 16-bit container with no shift: 2000 is past the top.
    const Samples y = {940, 940, 940, 940};
    const Samples chroma = {512, 512, 512, 512};
    const Samples alpha = {0, 256, 1023, 2000};
    std::vector<glm::vec4> got;
    WithStorage([&](const ShaderStorage& storage) {
        auto target = FloatTexture(4, 1);
        std::vector<std::unique_ptr<Texture>> planes;
        for (const Samples* s : {&y, &chroma, &chroma, &alpha}) {
            planes.push_back(IntegerPlane(4, 1, 16));
            UploadSamples(*s, *planes.back(), storage);
        }
        YUVConverter converter(storage, YCbCrMatrix::BT709, PixelColorRange::Limited, 10, 0);
        converter.ToRGBA(*planes[0], *planes[1], *planes[2], *planes[3], *target);
        got = ReadFloat(*target, storage);
    });
    ASSERT_EQ(got.size(), 4u);
    const std::vector<double> wanted = {0.0, 256.0 / 1023.0, 1.0, 1.0};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_NEAR(got[i].a, wanted[i], 1e-6) << "alpha sample " << alpha[i];  // float
        EXPECT_NEAR(got[i].r, 1.0, 1e-6);                                       // float
    }
}

TEST_F(YUVConverterGLTest, SemiPlanarChromaOrderBothWays) {
    const YCbCrMatrix matrix = YCbCrMatrix::BT709;
    const std::vector<glm::dvec3> colours = {{0.9, 0.2, 0.3}, {0.1, 0.6, 0.8}};
    for (const glm::dvec3& c : colours) {
        ASSERT_TRUE(FarFromTie(EncodeUnrounded(matrix, PixelColorRange::Limited, 8, c)))
            << "test colour sits on a rounding tie";
    }
    for (const bool nv12Order : {true, false}) {
        Samples luma, pairs;
        std::vector<glm::vec4> sameOrder, swappedOrder;
        WithStorage([&](const ShaderStorage& storage) {
            const float texels[8] = {0.9f, 0.2f, 0.3f, 1.0f, 0.1f, 0.6f, 0.8f, 1.0f};
            Texture source(Params{2, 1, GL_RGBA, GL_RGBA32F, GL_FLOAT}, GL_CLAMP_TO_EDGE,
                           GL_NEAREST, texels);
            auto y = IntegerPlane(2, 1, 8);
            auto uv = IntegerPlane(2, 1, 8, 2);
            auto target = FloatTexture(2, 1);
            YUVConverter converter(storage, matrix, PixelColorRange::Limited, 8, 0);
            ASSERT_TRUE(YUVConverter::IsValidTwoComponentTexture(uv.get()));
            converter.ToNV(source, *y, *uv, nv12Order);
            luma = ReadSamples(*y, storage);
            pairs = ReadSamples(*uv, storage);
            converter.ToRGB(*y, *uv, nv12Order, *target);
            sameOrder = ReadFloat(*target, storage);
            converter.ToRGB(*y, *uv, !nv12Order, *target);
            swappedOrder = ReadFloat(*target, storage);
        });
        ASSERT_EQ(pairs.size(), 4u);
        ASSERT_EQ(sameOrder.size(), 2u);
        ASSERT_EQ(swappedOrder.size(), 2u);
        for (std::size_t i = 0; i < 2; ++i) {
            const glm::ivec3 want = EncodeSamples(matrix, PixelColorRange::Limited, 8, colours[i]);
            EXPECT_EQ(luma[i], want.x) << "pixel " << i;
            EXPECT_EQ(pairs[2 * i], nv12Order ? want.y : want.z)
                << "nv12Order " << nv12Order << " pixel " << i;
            EXPECT_EQ(pairs[2 * i + 1], nv12Order ? want.z : want.y)
                << "nv12Order " << nv12Order << " pixel " << i;
            const glm::dvec3 same =
                DecodeSamples(matrix, PixelColorRange::Limited, 8, 0, want.x, want.y, want.z);
            const glm::dvec3 swapped =
                DecodeSamples(matrix, PixelColorRange::Limited, 8, 0, want.x, want.z, want.y);
            for (int ch = 0; ch < 3; ++ch) {
                EXPECT_NEAR(sameOrder[i][ch], same[ch], 1e-5)
                    << "pixel " << i << " channel " << ch;           // float
                EXPECT_NEAR(swappedOrder[i][ch], swapped[ch], 1e-5)  // float
                    << "pixel " << i << " channel " << ch;
                // The decoded colour comes back within 8-bit quantisation.
                EXPECT_NEAR(sameOrder[i][ch], colours[i][ch], 2.0 / 255.0);  // quantisation
            }
        }
        WithStorage([](const ShaderStorage&) { TexturePool::GetInstance().Clear(); });
    }
}

TEST(YUVConverterTest, RangeLimitsValues) {
    const struct {
        PixelColorRange range;
        int depth;
        int ymin, ymax, cmin, cmax, cmid;
    } rows[] = {{PixelColorRange::Limited, 8, 16, 235, 16, 240, 128},
                {PixelColorRange::Full, 10, 0, 1023, 1, 1023, 512},
                {PixelColorRange::Limited, 12, 256, 3760, 256, 3840, 2048},
                {PixelColorRange::Full, 16, 0, 65535, 1, 65535, 32768}};
    for (const auto& row : rows) {
        SCOPED_TRACE(RangeName(row.range) + " " + std::to_string(row.depth) + "-bit");
        const RangeLimits l = RangeLimits::Make(row.range, row.depth);
        EXPECT_EQ(l.ymin, row.ymin);
        EXPECT_EQ(l.ymax, row.ymax);
        EXPECT_EQ(l.cmin, row.cmin);
        EXPECT_EQ(l.cmax, row.cmax);
        EXPECT_EQ(l.cmid, row.cmid);
    }
}

// ---------------------------------------------------------------------------
// 5. YUVTextures.

using YUVTexturesGLTest = Kavrin::Test::GLTest<>;

struct PlaneShape {
    int width;
    int height;
};

void ExpectPlanes(const YUVTextures& textures, const std::vector<PlaneShape>& shapes, GLenum format,
                  GLint internalFormat, const std::string& what) {
    const Texture* planes[4] = {textures.YTexture(), textures.UTexture(), textures.VTexture(),
                                textures.ATexture()};
    for (std::size_t i = 0; i < 4; ++i) {
        if (i >= shapes.size()) {
            EXPECT_EQ(planes[i], nullptr) << what << " plane " << i;
            continue;
        }
        ASSERT_NE(planes[i], nullptr) << what << " plane " << i;
        const Params& p = planes[i]->GetTexParams();
        EXPECT_EQ(p.width, shapes[i].width) << what << " plane " << i;
        EXPECT_EQ(p.height, shapes[i].height) << what << " plane " << i;
        EXPECT_EQ(p.format, format) << what << " plane " << i;
        EXPECT_EQ(p.internalFormat, internalFormat) << what << " plane " << i;
    }
}

TEST_F(YUVTexturesGLTest, PlaneSizesAndFormats) {
    const Kavrin::Conf::FrameInfo frame{33, 17, 0, 0};
    const std::vector<PlaneShape> planes420 = {{33, 17}, {17, 9}, {17, 9}};
    const struct {
        PixFmt pixFmt;
        bool integer;
        std::vector<PlaneShape> shapes;
        GLenum format;
        GLint internalFormat;
    } rows[] = {
        {PixFmt::YUV420P, true, planes420, GL_RED_INTEGER, GL_R8UI},
        {PixFmt::YUVA420P, true, {{33, 17}, {17, 9}, {17, 9}, {33, 17}}, GL_RED_INTEGER, GL_R8UI},
        {PixFmt::YUV410P, false, {{33, 17}, {9, 5}, {9, 5}}, GL_RED, GL_R8},
        {PixFmt::YUV420P10LE, true, planes420, GL_RED_INTEGER, GL_R16UI},
        {PixFmt::YUV420P10LE, false, planes420, GL_RED, GL_R16},
    };
    WithStorage([&](const ShaderStorage&) {
        for (const auto& row : rows) {
            const std::string what = std::string(PixFmtDescription::Find(row.pixFmt)->GetName()) +
                                     (row.integer ? " integer" : " normalized");
            const YCbCrMatrix matrix = row.integer ? YCbCrMatrix::BT709 : YCbCrMatrix::SMPTE170M;
            YUVTextures textures;
            if (row.integer) {
                textures.AllocateAsIntegerTextures(frame, matrix,
                                                   PixFmtDescription::Find(row.pixFmt));
            } else {
                textures.AllocateAsNormalizedTextures(frame, matrix,
                                                      PixFmtDescription::Find(row.pixFmt));
            }
            ExpectPlanes(textures, row.shapes, row.format, row.internalFormat, what);
            EXPECT_EQ(textures.IsInteger(), row.integer) << what;
            EXPECT_EQ(textures.YCbCrMatrix(), matrix) << what;
            EXPECT_EQ(textures.FrameInfo(), frame) << what;
            // Integer planes cannot be filtered; they must sample nearest.
            if (row.integer) {
                GLint minFilter = 0, magFilter = 0;
                textures.UTexture()->Use(0);
                glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, &minFilter);
                glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, &magFilter);
                EXPECT_EQ(minFilter, GL_NEAREST) << what;
                EXPECT_EQ(magFilter, GL_NEAREST) << what;
            }
        }
    });
}

using YUVTexturesRoundTripGLTest = Kavrin::Test::GLTestWithParam<PixFmt>;

TEST_P(YUVTexturesRoundTripGLTest, NormalizedAndBackIsExact) {
    const PixFmtDescription* description = PixFmtDescription::Find(GetParam());
    ASSERT_NE(description, nullptr);
    const int depth = description->depth;
    const int maxValue = (1 << depth) - 1;
    const Kavrin::Conf::FrameInfo frame{19, 11, 0, 0};
    std::mt19937 random(static_cast<unsigned>(depth));
    std::uniform_int_distribution<int> value(0, maxValue);
    Samples original[4], normalized[4], back[4];
    int planeCount = 0;
    WithStorage([&](const ShaderStorage& storage) {
        YUVTextures integer;
        integer.AllocateAsIntegerTextures(frame, YCbCrMatrix::BT709, description);
        Texture* planes[4] = {integer.YTexture(), integer.UTexture(), integer.VTexture(),
                              integer.ATexture()};
        for (int k = 0; k < 4 && planes[k] != nullptr; ++k) {
            const Params& p = planes[k]->GetTexParams();
            original[k].resize(static_cast<std::size_t>(p.width * p.height));
            for (std::uint16_t& s : original[k]) {
                s = static_cast<std::uint16_t>(value(random));
            }
            // Both ends of the range in every plane.
            original[k][0] = 0;
            original[k][1] = static_cast<std::uint16_t>(maxValue);
            UploadSamples(original[k], *planes[k], storage);
            planeCount = k + 1;
        }
        const YUVTextures asNormalized = integer.ToNormalized(storage);
        EXPECT_FALSE(asNormalized.IsInteger());
        const YUVTextures asInteger = asNormalized.ToInteger(storage);
        EXPECT_TRUE(asInteger.IsInteger());
        Texture* normalizedPlanes[4] = {asNormalized.YTexture(), asNormalized.UTexture(),
                                        asNormalized.VTexture(), asNormalized.ATexture()};
        Texture* integerPlanes[4] = {asInteger.YTexture(), asInteger.UTexture(),
                                     asInteger.VTexture(), asInteger.ATexture()};
        for (int k = 0; k < planeCount; ++k) {
            normalized[k] = ReadSamples(*normalizedPlanes[k], storage);
            back[k] = ReadSamples(*integerPlanes[k], storage);
        }
    });
    ASSERT_GE(planeCount, 3);
    const int normalizedMax = depth > 8 ? 65535 : 255;
    for (int k = 0; k < planeCount; ++k) {
        ASSERT_EQ(back[k].size(), original[k].size()) << "plane " << k;
        ASSERT_EQ(normalized[k].size(), original[k].size()) << "plane " << k;
        for (std::size_t i = 0; i < original[k].size(); ++i) {
            ASSERT_EQ(back[k][i], original[k][i])
                << description->GetName() << " plane " << k << " sample " << i;
            // The normalised plane holds v / (2^b - 1) at its own precision.
            ASSERT_NEAR(normalized[k][i],
                        static_cast<double>(original[k][i]) * normalizedMax / maxValue,
                        1.0)  // rounding
                << description->GetName() << " plane " << k << " sample " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Depths, YUVTexturesRoundTripGLTest,
                         ::testing::Values(PixFmt::YUV420P, PixFmt::YUV420P10LE,
                                           PixFmt::YUV420P12LE, PixFmt::YUV420P16LE,
                                           PixFmt::YUVA420P),
                         [](const ::testing::TestParamInfo<PixFmt>& info) {
                             return std::string(PixFmtDescription::Find(info.param)->GetName());
                         });

TEST_F(YUVTexturesGLTest, MisuseThrowsWithDescription) {
    const Kavrin::Conf::FrameInfo frame{8, 8, 0, 0};
    const auto make = [&](bool integer, PixFmt pixFmt) {
        YUVTextures textures;
        if (integer) {
            textures.AllocateAsIntegerTextures(frame, YCbCrMatrix::BT709,
                                               PixFmtDescription::Find(pixFmt));
        } else {
            textures.AllocateAsNormalizedTextures(frame, YCbCrMatrix::BT709,
                                                  PixFmtDescription::Find(pixFmt));
        }
        return textures;
    };
    const std::pair<std::function<void(const ShaderStorage&)>, std::string> rows[] = {
        {[&](const ShaderStorage& s) { make(false, PixFmt::YUV420P).ToNormalized(s); },
         "YUV textures has normalized format"},
        {[&](const ShaderStorage& s) { make(true, PixFmt::YUV420P).ToInteger(s); },
         "YUV textures has integer format"},
        {[](const ShaderStorage&) { YUVTextures().IsInteger(); }, "YUV textures not allocated"},
        {[&](const ShaderStorage&) { make(true, PixFmt::RGBA); }, "Unsupported pixel format: rgba"},
    };
    for (const auto& [body, description] : rows) {
        EXPECT_EQ(DescriptionOfFailure(body), description);
    }
}

TEST_F(YUVTexturesGLTest, MoveAssignmentReturnsTheTargetsTexturesToThePool) {
    const Kavrin::Conf::FrameInfo frame{16, 8, 0, 0};
    std::size_t empty = 99, afterMove = 99, afterDestroy = 99;
    bool sourceCleared = false;
    const Texture* movedY = nullptr;
    const Texture* resultY = nullptr;
    WithStorage([&](const ShaderStorage&) {
        TexturePool::GetInstance().Clear();
        empty = TexturePool::GetInstance().GetCount();
        {
            YUVTextures source;
            source.AllocateAsIntegerTextures(frame, YCbCrMatrix::BT709,
                                             PixFmtDescription::Find(PixFmt::YUV420P));
            YUVTextures target;
            target.AllocateAsIntegerTextures(frame, YCbCrMatrix::BT709,
                                             PixFmtDescription::Find(PixFmt::YUVA420P));
            movedY = source.YTexture();
            target = std::move(source);
            afterMove = TexturePool::GetInstance().GetCount();
            resultY = target.YTexture();
            sourceCleared = source.YTexture() == nullptr;  // NOLINT(bugprone-use-after-move)
        }
        afterDestroy = TexturePool::GetInstance().GetCount();
    });
    EXPECT_EQ(empty, 0u);
    EXPECT_EQ(afterMove, 4u) << "the target's four YUVA planes go back to the pool";
    EXPECT_EQ(resultY, movedY);
    EXPECT_TRUE(sourceCleared);
    EXPECT_EQ(afterDestroy, 7u) << "then the three moved planes";
}

}  // namespace
