#include <GL/glew.h>

#include "Private/UploadDownloadBuffers.h"

#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Kavrin/Core/Exception.h"

#include "GlObjectCounter.h"
#include "LogCapture.h"
#include "RenderHub.h"
#include "ShaderStorage.h"
#include "TestTasks.h"
#include "Texture.h"

namespace {

using namespace Kavrin::Ogl;
using Kavrin::Ogl::Details::GlObjectCounter;
using Kavrin::Proc::ConstPlane;
using Kavrin::Proc::Plane;
using Params = Texture::Params;

using Kavrin::Test::WithStorage;

// A plane in a buffer with guard bytes on both sides, rows top-down or bottom-up.
struct HostPlane {
    HostPlane(int rowBytes, int rows, int padding, bool bottomUp, std::uint8_t fill)
        : rowBytes(rowBytes),
          rows(rows),
          stride(rowBytes + padding),
          memory(static_cast<std::size_t>(kGuard * 2 + stride * rows), fill),
          bottomUp(bottomUp) {}
    static constexpr int kGuard = 64;
    std::uint8_t* Row(int row) {
        const int stored = bottomUp ? rows - 1 - row : row;
        return memory.data() + kGuard + stored * stride;
    }
    Plane Writable() { return Plane{Row(0), bottomUp ? -stride : stride, rows}; }
    ConstPlane ReadOnly() { return ConstPlane{Row(0), bottomUp ? -stride : stride, rows}; }
    bool GuardsIntact(std::uint8_t fill) const {
        for (int i = 0; i < kGuard; ++i) {
            if (memory[static_cast<std::size_t>(i)] != fill ||
                memory[memory.size() - 1 - static_cast<std::size_t>(i)] != fill) {
                return false;
            }
        }
        return true;
    }
    int rowBytes;
    int rows;
    int stride;
    std::vector<std::uint8_t> memory;
    bool bottomUp;
};

struct TransferRow {
    const char* name;
    Params params;
    int bytesPerPixel;
    int padding;
    bool bottomUp;
};

class PlaneTransferGLTest : public ::testing::TestWithParam<TransferRow> {
protected:
    void TearDown() override {
        WithStorage([](const ShaderStorage&) { TexturePool::GetInstance().Clear(); });
        EXPECT_EQ(Kavrin::Test::GetGLError(), static_cast<GLenum>(GL_NO_ERROR));
    }
};

// Odd sizes on purpose: rows of 37 pixels are not 4-byte aligned in any format.
TEST_P(PlaneTransferGLTest, RoundTripIsByteIdentical) {
    const TransferRow& row = GetParam();
    const int rowBytes = row.params.width * row.bytesPerPixel;
    HostPlane source(rowBytes, row.params.height, row.padding, row.bottomUp, 0xEE);
    std::mt19937 random(1234);
    for (int r = 0; r < source.rows; ++r) {
        for (int b = 0; b < rowBytes; ++b) {
            source.Row(r)[b] = static_cast<std::uint8_t>(random());
        }
    }
    HostPlane destination(rowBytes, row.params.height, row.padding, row.bottomUp, 0x5A);
    std::size_t pooledBefore = 0, pooledAfter = 0;
    WithStorage([&](const ShaderStorage& storage) {
        TexturePool::GetInstance().Clear();
        Texture texture(row.params, GL_CLAMP_TO_EDGE, GL_NEAREST, nullptr);
        pooledBefore = TexturePool::GetInstance().GetCount();
        UploadPlane(source.ReadOnly(), texture, storage);
        DownloadPlane(destination.Writable(), texture, storage);
        pooledAfter = TexturePool::GetInstance().GetCount();
    });
    for (int r = 0; r < source.rows; ++r) {
        ASSERT_EQ(
            std::memcmp(source.Row(r), destination.Row(r), static_cast<std::size_t>(rowBytes)), 0)
            << row.name << ": row " << r << " differs";
    }
    EXPECT_TRUE(destination.GuardsIntact(0x5A)) << "written outside the plane";
    // A flipped transfer leaves its temporary in the pool.
    EXPECT_EQ(pooledAfter, pooledBefore + (row.bottomUp ? 1u : 0u));
}

std::vector<TransferRow> TransferRows() {
    const Params formats[] = {
        {37, 11, GL_RED_INTEGER, GL_R8UI, GL_UNSIGNED_BYTE},
        {37, 11, GL_RED_INTEGER, GL_R16UI, GL_UNSIGNED_SHORT},
        {37, 11, GL_RG_INTEGER, GL_RG8UI, GL_UNSIGNED_BYTE},
        {37, 11, GL_RG_INTEGER, GL_RG16UI, GL_UNSIGNED_SHORT},
        {37, 11, GL_RGB, GL_RGB8, GL_UNSIGNED_BYTE},
        {37, 11, GL_RGBA, GL_RGBA8, GL_UNSIGNED_BYTE},
        {37, 11, GL_RGBA, GL_RGBA16, GL_UNSIGNED_SHORT},
        {37, 11, GL_RGB, GL_RGB16, GL_UNSIGNED_SHORT},
        {37, 11, GL_RED, GL_R8, GL_UNSIGNED_BYTE},
        {37, 11, GL_RED, GL_R16, GL_UNSIGNED_SHORT},
    };
    const char* names[] = {"R8UI",  "R16UI",  "RG8UI", "RG16UI", "RGB8",
                           "RGBA8", "RGBA16", "RGB16", "R8",     "R16"};
    const int bytes[] = {1, 2, 2, 4, 3, 4, 8, 6, 1, 2};
    std::vector<TransferRow> rows;
    static std::vector<std::string> storage;
    for (std::size_t i = 0; i < std::size(formats); ++i) {
        for (int padding : {0, 13}) {
            for (bool bottomUp : {false, true}) {
                storage.push_back(std::string(names[i]) + (padding ? "Padded" : "") +
                                  (bottomUp ? "BottomUp" : "TopDown"));
            }
        }
    }
    std::size_t name = 0;
    for (std::size_t i = 0; i < std::size(formats); ++i) {
        for (int padding : {0, 13}) {
            for (bool bottomUp : {false, true}) {
                rows.push_back(
                    {storage[name++].c_str(), formats[i], bytes[i], padding * bytes[i], bottomUp});
            }
        }
    }
    return rows;
}

INSTANTIATE_TEST_SUITE_P(Formats, PlaneTransferGLTest, ::testing::ValuesIn(TransferRows()),
                         [](const auto& info) { return std::string(info.param.name); });

class TransferGLTest : public ::testing::Test {
protected:
    void TearDown() override {
        EXPECT_EQ(Kavrin::Test::GetGLError(), static_cast<GLenum>(GL_NO_ERROR));
    }
};

TEST_F(TransferGLTest, PaddingBytesAreNeitherReadNorWritten) {
    const Params params{5, 3, GL_RGBA, GL_RGBA8, GL_UNSIGNED_BYTE};
    HostPlane source(20, 3, 8, false, 0xEE);
    for (int r = 0; r < 3; ++r) {
        std::memset(source.Row(r), 0x10 * (r + 1), 20);
    }
    std::vector<std::uint8_t> tight(5 * 3 * 4, 0);
    HostPlane padded(20, 3, 8, false, 0x77);
    WithStorage([&](const ShaderStorage& storage) {
        Texture texture(params, GL_CLAMP_TO_EDGE, GL_NEAREST, nullptr);
        UploadPlane(source.ReadOnly(), texture, storage);
        DownloadPlane(Plane{tight.data(), 20, 3}, texture, storage);
        DownloadPlane(padded.Writable(), texture, storage);
    });
    for (int r = 0; r < 3; ++r) {
        for (int b = 0; b < 20; ++b) {
            EXPECT_EQ(tight[static_cast<std::size_t>(r * 20 + b)], 0x10 * (r + 1)) << "row " << r;
        }
    }
    // The padding between rows of the destination keeps its bytes.
    for (int r = 0; r < 2; ++r) {
        for (int b = 20; b < 28; ++b) {
            EXPECT_EQ(padded.Row(r)[b], 0x77) << "row " << r << " byte " << b;
        }
    }
}

TEST_F(TransferGLTest, MismatchedPlanesAreRefusedBeforeAnyGLCall) {
    std::vector<std::uint8_t> memory(64 * 64, 0x33);
    std::string messages;
    WithStorage([&](const ShaderStorage& storage) {
        Texture texture(Params{8, 4, GL_RGBA, GL_RGBA8, GL_UNSIGNED_BYTE}, GL_CLAMP_TO_EDGE,
                        GL_NEAREST, nullptr);
        const auto before = GlObjectCounter::Take();
        const ConstPlane bad[] = {
            {nullptr, 32, 4},        // no data
            {memory.data(), 32, 3},  // a row short
            {memory.data(), 31, 4},  // stride narrower than 8 RGBA pixels
            {memory.data() + 64 * 3, -31, 4},
        };
        for (const ConstPlane& plane : bad) {
            try {
                UploadPlane(plane, texture, storage);
                ADD_FAILURE() << "upload accepted a bad plane";
            } catch (const Kavrin::Exception& error) {
                messages += error.GetDescription() + "\n";
            }
            try {
                DownloadPlane(
                    Plane{const_cast<std::uint8_t*>(plane.data), plane.stride, plane.rows}, texture,
                    storage);
                ADD_FAILURE() << "download accepted a bad plane";
            } catch (const Kavrin::Exception& error) {
                EXPECT_NE(error.GetDescription().find("Plane does not match its texture"),
                          std::string::npos);
            }
        }
        EXPECT_EQ(GlObjectCounter::Take(), before);
    });
    for (std::uint8_t byte : memory) {
        ASSERT_EQ(byte, 0x33);
    }
    EXPECT_NE(messages.find("Plane does not match its texture: the plane has no data"),
              std::string::npos)
        << messages;
    EXPECT_NE(messages.find("the plane has 3 rows, the texture 4"), std::string::npos) << messages;
    EXPECT_NE(messages.find("the plane's stride of 31 bytes is narrower than a row of 32 bytes"),
              std::string::npos)
        << messages;
}

TEST_F(TransferGLTest, FormatProbesPassOnThisMachineAndPickTheBufferVariant) {
    Kavrin::Test::LogCapture log;
    bool supported = false;
    bool simple = false;
    WithStorage([&](const ShaderStorage& storage) {
        supported = Kavrin::Ogl::Details::CheckTextureFormatSupporting();
        simple = dynamic_cast<Kavrin::Ogl::Details::DownloadBufferSimple*>(
                     &storage.GetDownloadBuffer()) != nullptr;
        Kavrin::Ogl::Details::DownloadBufferSimple unprepared;
        try {
            unprepared.Complete();
            ADD_FAILURE() << "completed without a prepared buffer";
        } catch (const std::logic_error& error) {
            EXPECT_STREQ(error.what(), "Binding uninitialized object");
        }
    });
    EXPECT_TRUE(supported);
    EXPECT_EQ(log.CountPrefix("Unable to create texture"), 0) << log.Dump();
    if (RenderHub::GetInstance().GetRenderer().find("llvmpipe") != std::string::npos) {
        EXPECT_TRUE(simple) << "llvmpipe reads back through pixel-pack buffers exactly";
    }
}

TEST(SupportedPixFmtTest, FortyFormatsInOrder) {
    const auto& formats = GetSupportedPixFmt();
    ASSERT_EQ(formats.size(), 40u);
    EXPECT_EQ(static_cast<int>(formats.front()), 26);
    EXPECT_EQ(static_cast<int>(formats[15]), 23);      // NV12
    EXPECT_EQ(static_cast<int>(formats.back()), 169);  // P016LE
    EXPECT_TRUE(IsSupportedPixFmt(Kavrin::PixFmt::P010LE));
    EXPECT_FALSE(IsSupportedPixFmt(Kavrin::PixFmt::YUYV422));
    EXPECT_FALSE(IsSupportedPixFmt(Kavrin::PixFmt::None));
    const int expected[] = {26,  28, 25, 27, 2,  3,   33,  0,  78,  4,  79,  5,   31, 7,
                            6,   23, 24, 35, 58, 105, 107, 62, 123, 45, 64,  127, 47, 68,
                            131, 49, 87, 93, 89, 185, 95,  91, 187, 97, 158, 169};
    for (std::size_t i = 0; i < 40; ++i) {
        EXPECT_EQ(static_cast<int>(formats[i]), expected[i]) << "entry " << i;
    }
}

}  // namespace
