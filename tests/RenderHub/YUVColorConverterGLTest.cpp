#include <GL/glew.h>

#include "YUVColorConverter.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <memory>
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
#include "Private/UploadDownloadBuffers.h"
#include "RenderHub.h"
#include "ShaderStorage.h"
#include "TestTasks.h"
#include "Texture.h"

namespace {

using namespace Kavrin::Ogl;
using namespace Kavrin::Test::Ref;
using Kavrin::PixelColorRange;
using Kavrin::PixFmt;
using Kavrin::PixFmtDescription;
using Kavrin::Conf::YCbCrMatrix;
using Kavrin::Test::FloatTexture;
using Kavrin::Test::ReadFloat;
using Kavrin::Test::WithStorage;
using Params = Texture::Params;
using Samples = std::vector<std::uint16_t>;
using YUVConverterGLTest = Kavrin::Test::GLTest<>;
constexpr PixelColorRange kLimited = PixelColorRange::Limited;
constexpr PixelColorRange kFull = PixelColorRange::Full;

// GL helpers; all run on the GL thread.
std::unique_ptr<Texture> IntegerPlane(int width, int height, int containerBits,
                                      int components = 1) {
    const bool wide = containerBits > 8;
    const GLenum type = wide ? GL_UNSIGNED_SHORT : GL_UNSIGNED_BYTE;
    const Params params =
        components == 1 ? Params{width, height, GL_RED_INTEGER, wide ? GL_R16UI : GL_R8UI, type}
                        : Params{width, height, GL_RG_INTEGER, wide ? GL_RG16UI : GL_RG8UI, type};
    return std::make_unique<Texture>(params, GL_CLAMP_TO_EDGE, GL_NEAREST, nullptr);
}

// Host samples (row 0 first) into the texture, 16-bit ones as little-endian.
void UploadSamples(const Samples& samples, Texture& texture, const ShaderStorage& storage) {
    const Params& p = texture.GetTexParams();
    const bool wide = p.type == GL_UNSIGNED_SHORT;
    std::vector<std::uint8_t> bytes;
    for (const std::uint16_t s : samples) {
        bytes.push_back(static_cast<std::uint8_t>(s & 0xFF));
        if (wide) {
            bytes.push_back(static_cast<std::uint8_t>(s >> 8));
        }
    }
    const int rowBytes = p.width * texture.ComponentsPerPixel() * (wide ? 2 : 1);
    ASSERT_EQ(bytes.size(), static_cast<std::size_t>(rowBytes * p.height));
    UploadPlane(Kavrin::Proc::ConstPlane{bytes.data(), rowBytes, p.height}, texture, storage);
}

Samples ReadSamples(Texture& texture, const ShaderStorage& storage) {
    const Params& p = texture.GetTexParams();
    Samples samples(static_cast<std::size_t>(p.width * p.height * texture.ComponentsPerPixel()));
    if (p.type == GL_UNSIGNED_SHORT) {
        texture.Download(0, samples.data(), storage.FBO());
    } else {
        std::vector<std::uint8_t> bytes(samples.size());
        texture.Download(0, bytes.data(), storage.FBO());
        std::copy(bytes.begin(), bytes.end(), samples.begin());
    }
    return samples;
}

// Every matrix, range, depth and bit alignment, with alpha. Encoding: in-gamut
// colours give their codes, premultiplied by ToYUV, straight with a rounded
// alpha plane by ToYUVA. Decoding, by ToRGB and ToRGBA: the upper half of the
// image holds random samples over the whole container (super-black,
// super-white, out-of-range chroma, alpha past the top of the depth, junk in
// the padding bits, each plane's extremes), the lower half the codes of the
// colours. 4:2:0 chroma by ToYUV is the code of the 2x2
// block's mean premultiplied colour, even from a linearly filtered source.
TEST_F(YUVConverterGLTest, EncodeAndDecodeMatchReference) {
    constexpr int kSize = 32;
    constexpr int kHalf = kSize * kSize / 2;
    for (const YCbCrMatrix matrix :
         {YCbCrMatrix::BT709, YCbCrMatrix::FCC, YCbCrMatrix::BT470BG, YCbCrMatrix::SMPTE170M,
          YCbCrMatrix::SMPTE240M, YCbCrMatrix::BT2020NonConstant}) {
        for (const PixelColorRange range : {kLimited, kFull}) {
            for (const auto& [depth, shift] :
                 {std::pair{8, 0}, {10, 0}, {12, 0}, {16, 0}, {10, 6}, {12, 4}}) {
                SCOPED_TRACE(::testing::Message()
                             << "matrix " << int(matrix) << " range " << int(range) << " " << depth
                             << "-bit shift " << shift);
                std::mt19937 random(static_cast<unsigned>(depth * 131 + shift * 7 +
                                                          static_cast<int>(matrix) * 3 +
                                                          static_cast<int>(range)));
                const int top = (1 << depth) - 1;
                std::uniform_int_distribution<int> container(0, (1 << (depth + shift)) - 1);
                std::uniform_real_distribution<double> channel(0.05, 0.95);
                Samples planes[4], premultiplied[3], straight[4], subsampled[2];
                std::vector<glm::vec4> colours, rgb, rgba;
                for (int i = 0; i < kHalf; ++i) {
                    const glm::dvec4 c(channel(random), channel(random), channel(random),
                                       channel(random));
                    colours.push_back(glm::vec4(c));
                    const glm::ivec3 s = EncodeSamples(matrix, range, depth, glm::dvec3(c));
                    for (int k = 0; k < 3; ++k) {
                        planes[k].push_back(static_cast<std::uint16_t>(s[k] << shift));
                    }
                    planes[3].push_back(
                        static_cast<std::uint16_t>(std::lround(colours.back().a * top) << shift));
                }
                for (Samples& plane : planes) {
                    std::generate_n(std::back_inserter(plane), kHalf,
                                    [&] { return static_cast<std::uint16_t>(container(random)); });
                }
                for (int k = 0; k < 4; ++k) {
                    planes[k][kHalf + k] = 0;
                    planes[k][kHalf + 4 + k] = static_cast<std::uint16_t>(top << shift);
                }
                // Above the depth in a 16-bit container: clamps to one.
                planes[3][kHalf + 9] = static_cast<std::uint16_t>(depth + shift > 8 ? 0xFFFF : top);
                WithStorage([&](const ShaderStorage& storage) {
                    YUVConverter converter(storage, matrix, range,
                                           static_cast<unsigned char>(depth),
                                           static_cast<unsigned char>(shift));
                    const Texture source(Params{kSize, kSize / 2, GL_RGBA, GL_RGBA32F, GL_FLOAT},
                                         GL_CLAMP_TO_EDGE, GL_LINEAR, colours.data());
                    std::unique_ptr<Texture> t[10];
                    for (int k = 0; k < 10; ++k) {
                        t[k] = IntegerPlane(kSize >> (k / 8), kSize / 2 >> (k / 8), depth + shift);
                    }
                    converter.ToYUV(source, *t[0], *t[1], *t[2]);
                    converter.ToYUVA(source, *t[3], *t[4], *t[5], *t[6]);
                    converter.ToYUV(source, *t[7], *t[8], *t[9]);
                    for (int k = 0; k < 7; ++k) {
                        (k < 3 ? premultiplied[k] : straight[k - 3]) = ReadSamples(*t[k], storage);
                    }
                    subsampled[0] = ReadSamples(*t[8], storage);
                    subsampled[1] = ReadSamples(*t[9], storage);
                    auto target = FloatTexture(kSize, kSize);
                    for (int k = 0; k < 4; ++k) {
                        t[k] = IntegerPlane(kSize, kSize, depth + shift);
                        UploadSamples(planes[k], *t[k], storage);
                    }
                    converter.ToRGB(*t[0], *t[1], *t[2], *target);
                    rgb = ReadFloat(*target, storage);
                    converter.ToRGBA(*t[0], *t[1], *t[2], *t[3], *target);
                    rgba = ReadFloat(*target, storage);
                });
                // The same codes, but where float rounding may tip a tie.
                for (std::size_t i = 0; i < kHalf; ++i) {
                    const glm::dvec3 c(colours[i]);
                    const glm::dvec3 premultipliedColour = c * double(colours[i].a);
                    const double a = colours[i].a * double(top);
                    const bool tie = !FarFromTie(EncodeUnrounded(matrix, range, depth, c)) ||
                                     std::abs(a - std::floor(a) - 0.5) <= 0.01;
                    const bool premultipliedTie =
                        !FarFromTie(EncodeUnrounded(matrix, range, depth, premultipliedColour));
                    const glm::ivec3 want =
                        EncodeSamples(matrix, range, depth, premultipliedColour);
                    for (int k = 0; k < 4; ++k) {
                        ASSERT_LE(std::abs(straight[k].at(i) - planes[k][i]), tie ? 1 << shift : 0)
                            << "ToYUVA pixel " << i << " plane " << k;
                        ASSERT_EQ(straight[k][i] & ((1 << shift) - 1), 0) << "padding bits";
                        if (k < 3) {
                            ASSERT_LE(std::abs(premultiplied[k].at(i) - (want[k] << shift)),
                                      premultipliedTie ? 1 << shift : 0)
                                << "ToYUV pixel " << i << " plane " << k;
                        }
                    }
                }
                for (int i = 0; i < kHalf / 4; ++i) {
                    const int p = i / (kSize / 2) * 2 * kSize + i % (kSize / 2) * 2;
                    glm::dvec3 mean(0.0);
                    for (const int q : {p, p + 1, p + kSize, p + kSize + 1}) {
                        mean += glm::dvec3(colours[q]) * double(colours[q].a) / 4.0;
                    }
                    const glm::ivec3 want = EncodeSamples(matrix, range, depth, mean);
                    for (int k = 0; k < 2; ++k) {
                        ASSERT_LE(std::abs(subsampled[k].at(i) - (want[k + 1] << shift)),
                                  1 << shift)
                            << "4:2:0 block " << i << " plane "
                            << k + 1;  // float sums may tip a tie
                    }
                }
                ASSERT_EQ(rgb.size(), planes[0].size());
                ASSERT_EQ(rgba.size(), planes[0].size());
                // Never more than a twentieth of a code, so that a one-code slip
                // shows at 16 bits too.
                const double tolerance = std::min(1e-4, 0.05 / MaxCode(depth));  // float
                for (std::size_t i = 0; i < rgb.size(); ++i) {
                    const glm::dvec3 want = DecodeSamples(matrix, range, depth, shift, planes[0][i],
                                                          planes[1][i], planes[2][i]);
                    const double alpha = std::min((planes[3][i] >> shift) / MaxCode(depth), 1.0);
                    for (int ch = 0; ch < 4; ++ch) {
                        ASSERT_NEAR(rgb[i][ch], ch < 3 ? want[ch] : 1.0, tolerance)
                            << "ToRGB pixel " << i << " samples (" << planes[0][i] << ", "
                            << planes[1][i] << ", " << planes[2][i] << ") channel " << ch;
                        ASSERT_NEAR(rgba[i][ch], ch < 3 ? want[ch] : alpha, tolerance)
                            << "ToRGBA pixel " << i << " alpha sample " << planes[3][i];
                    }
                }
            }
        }
    }
}

// The BT.709 helpers both ways against the closed form.
TEST(BT709HelpersTest, MatchTheClosedFormBothWays) {
    const glm::dvec3 bias(0.0, 0.5, 0.5);
    for (const glm::dvec3 c : {glm::dvec3(1, 1, 1), glm::dvec3(0, 0, 0), glm::dvec3(1, 0, 0),
                               glm::dvec3(0, 0, 1), glm::dvec3(0.1, 0.5, 0.9)}) {
        const glm::dvec3 ypbpr = RgbToYpPbPr(LumaOf(YCbCrMatrix::BT709), c);
        const std::pair<glm::vec3, glm::dvec3> pairs[] = {{RgbToBT709YpPbPr(c), ypbpr},
                                                          {RgbToBT709YpCbCr(c), ypbpr + bias},
                                                          {BT709YpPbPrToRgb(ypbpr), c},
                                                          {BT709YpCbCrToRgb(ypbpr + bias), c}};
        for (int p = 0; p < 4; ++p) {
            for (int k = 0; k < 3; ++k) {
                EXPECT_NEAR(pairs[p].first[k], pairs[p].second[k], 1e-6)  // float
                    << "helper " << p << " of " << c.r << ", " << c.g << ", " << c.b;
            }
        }
    }
}

// ---------------------------------------------------------------------------
// YUVTextures.

using YUVTexturesGLTest = Kavrin::Test::GLTest<>;

YUVTextures Allocate(bool integer, PixFmt pixFmt, const Kavrin::Conf::FrameInfo& frame,
                     YCbCrMatrix matrix = YCbCrMatrix::BT709) {
    YUVTextures textures;
    const PixFmtDescription* description = PixFmtDescription::Find(pixFmt);
    integer ? textures.AllocateAsIntegerTextures(frame, matrix, description)
            : textures.AllocateAsNormalizedTextures(frame, matrix, description);
    return textures;
}

Texture* Plane(const YUVTextures& t, int k) {
    Texture* planes[4] = {t.YTexture(), t.UTexture(), t.VTexture(), t.ATexture()};
    return planes[k];
}

// Integer planes of every depth, their sizes (chroma rounding up) and formats, to
// normalised planes holding v / (2^b - 1) at their own precision, and back exactly.
TEST_F(YUVTexturesGLTest, PlanesOfEveryDepthGoNormalizedAndBackExactly) {
    const Kavrin::Conf::FrameInfo frame{33, 17, 0, 0};
    for (const PixFmt pixFmt : {PixFmt::YUV420P, PixFmt::YUVA420P, PixFmt::YUV410P,
                                PixFmt::YUV420P10LE, PixFmt::YUV420P12LE, PixFmt::YUV420P16LE}) {
        const PixFmtDescription* d = PixFmtDescription::Find(pixFmt);
        SCOPED_TRACE(d->GetName());
        const bool wide = d->depth > 8;
        const int maxValue = (1 << d->depth) - 1;
        const int planeCount = d->HasAlpha() ? 4 : 3;
        const auto shape = [&](int k) {
            const glm::ivec2 shift =
                k == 1 || k == 2 ? glm::ivec2(d->log2ChromaW, d->log2ChromaH) : glm::ivec2(0);
            return (glm::ivec2(33, 17) + (glm::ivec2(1) << shift) - 1) >> shift;
        };
        std::mt19937 random(static_cast<unsigned>(maxValue));
        std::uniform_int_distribution<int> value(0, maxValue);
        Samples original[4], normalized[4], back[4];
        WithStorage([&](const ShaderStorage& storage) {
            const YUVTextures integer = Allocate(true, pixFmt, frame, YCbCrMatrix::SMPTE170M);
            for (int k = 0; k < planeCount && Plane(integer, k) != nullptr; ++k) {
                original[k].resize(static_cast<std::size_t>(shape(k).x * shape(k).y));
                std::generate(original[k].begin(), original[k].end(),
                              [&] { return static_cast<std::uint16_t>(value(random)); });
                original[k][0] = 0;  // both ends of the range in every plane
                original[k][1] = static_cast<std::uint16_t>(maxValue);
                UploadSamples(original[k], *Plane(integer, k), storage);
            }
            const YUVTextures asNormalized = integer.ToNormalized(storage);
            const YUVTextures asInteger = asNormalized.ToInteger(storage);
            for (const YUVTextures* t : {&integer, &asNormalized, &asInteger}) {
                const bool isInteger = t != &asNormalized;
                EXPECT_EQ(t->IsInteger(), isInteger);
                EXPECT_EQ(t->YCbCrMatrix(), YCbCrMatrix::SMPTE170M);
                EXPECT_EQ(t->FrameInfo(), frame);
                for (int k = 0; k < 4; ++k) {
                    const Texture* plane = Plane(*t, k);
                    ASSERT_EQ(plane != nullptr, k < planeCount) << "plane " << k;
                    if (plane != nullptr) {
                        const Params& p = plane->GetTexParams();
                        EXPECT_EQ(glm::ivec2(p.width, p.height), shape(k)) << "plane " << k;
                        EXPECT_EQ(p.format, isInteger ? GL_RED_INTEGER : GL_RED) << "plane " << k;
                        EXPECT_EQ(p.internalFormat, isInteger ? (wide ? GL_R16UI : GL_R8UI)
                                                              : (wide ? GL_R16 : GL_R8));
                    }
                }
            }
            // Integer planes cannot be filtered; they must sample nearest.
            GLint filters[2] = {};
            integer.UTexture()->Use(0);
            glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, &filters[0]);
            glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, &filters[1]);
            EXPECT_EQ(filters[0], GL_NEAREST);
            EXPECT_EQ(filters[1], GL_NEAREST);
            for (int k = 0; k < planeCount; ++k) {
                normalized[k] = ReadSamples(*Plane(asNormalized, k), storage);
                back[k] = ReadSamples(*Plane(asInteger, k), storage);
            }
        });
        for (int k = 0; k < planeCount; ++k) {
            ASSERT_EQ(back[k], original[k]) << "plane " << k;
            ASSERT_EQ(normalized[k].size(), original[k].size());
            for (std::size_t i = 0; i < original[k].size(); ++i) {
                ASSERT_NEAR(normalized[k][i], original[k][i] * (wide ? 65535.0 : 255.0) / maxValue,
                            1.0)  // rounding
                    << "plane " << k << " sample " << i;
            }
        }
    }
}

// Texture kinds; misuse throws; move assignment returns the target's planes to the pool.
TEST_F(YUVTexturesGLTest, MisuseThrowsAndMoveAssignmentReturnsTheTargetsPlanes) {
    WithStorage([&](const ShaderStorage& s) {
        const Kavrin::Conf::FrameInfo frame{16, 8, 0, 0};
        EXPECT_THROW(Allocate(false, PixFmt::YUV420P, frame).ToNormalized(s), Kavrin::Exception);
        EXPECT_THROW(Allocate(true, PixFmt::YUV420P, frame).ToInteger(s), Kavrin::Exception);
        EXPECT_THROW(YUVTextures().IsInteger(), Kavrin::Exception);
        EXPECT_THROW(Allocate(true, PixFmt::RGBA, frame), Kavrin::Exception);
        const Texture rgba8(Params{1, 1, GL_RGBA, GL_RGBA8, GL_UNSIGNED_BYTE}, GL_CLAMP_TO_EDGE,
                            GL_NEAREST, nullptr);
        EXPECT_TRUE(YUVConverter::IsValidRGBTexture(&rgba8));
        EXPECT_TRUE(YUVConverter::IsValidTwoComponentTexture(IntegerPlane(2, 1, 8, 2).get()));
        EXPECT_FALSE(YUVConverter::IsValidTwoComponentTexture(IntegerPlane(2, 1, 16).get()));
        EXPECT_TRUE(YUVConverter::IsValidOneComponentTexture(IntegerPlane(2, 1, 16).get()));
        EXPECT_FALSE(YUVConverter::IsValidRGBTexture(IntegerPlane(2, 1, 16).get()));
        auto& pool = TexturePool::GetInstance();
        pool.Clear();
        {
            YUVTextures source = Allocate(true, PixFmt::YUV420P, frame);
            YUVTextures target = Allocate(true, PixFmt::YUVA420P, frame);
            const Texture* movedY = source.YTexture();
            target = std::move(source);
            EXPECT_EQ(pool.GetCount(), 4u) << "the target's four YUVA planes go back to the pool";
            EXPECT_EQ(target.YTexture(), movedY);
            EXPECT_EQ(source.YTexture(), nullptr);  // NOLINT(bugprone-use-after-move)
        }
        EXPECT_EQ(pool.GetCount(), 7u) << "then the three moved planes";
    });
}

}  // namespace
