#include <GL/glew.h>

#include "Private/UploadDownloadBuffers.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
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
    // Whether the guards and the padding between rows still hold `fill`.
    bool GuardsIntact(std::uint8_t fill) {
        bool intact = std::all_of(memory.begin(), memory.begin() + kGuard,
                                  [&](std::uint8_t b) { return b == fill; }) &&
                      std::all_of(memory.end() - kGuard, memory.end(),
                                  [&](std::uint8_t b) { return b == fill; });
        for (int r = 0; r < rows; ++r) {
            intact = intact && std::all_of(Row(r) + rowBytes, Row(r) + stride,
                                           [&](std::uint8_t b) { return b == fill; });
        }
        return intact;
    }
    int rowBytes;
    int rows;
    int stride;
    std::vector<std::uint8_t> memory;
    bool bottomUp;
};

struct TransferRow {
    std::string name;
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
    // The other side tight where this one is padded, else padded by no whole pixel.
    HostPlane destination(rowBytes, row.params.height, row.padding ? 0 : 5, row.bottomUp, 0x5A);
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
    EXPECT_TRUE(destination.GuardsIntact(0x5A)) << "written outside the rows";
    // A flipped transfer leaves its temporary in the pool.
    EXPECT_EQ(pooledAfter, pooledBefore + (row.bottomUp ? 1u : 0u));
}

std::vector<TransferRow> TransferRows() {
    const std::tuple<const char*, GLenum, GLint, GLenum, int> formats[] = {
        {"R8UI", GL_RED_INTEGER, GL_R8UI, GL_UNSIGNED_BYTE, 1},
        {"R16UI", GL_RED_INTEGER, GL_R16UI, GL_UNSIGNED_SHORT, 2},
        {"RG8UI", GL_RG_INTEGER, GL_RG8UI, GL_UNSIGNED_BYTE, 2},
        {"RG16UI", GL_RG_INTEGER, GL_RG16UI, GL_UNSIGNED_SHORT, 4},
        {"RGB8", GL_RGB, GL_RGB8, GL_UNSIGNED_BYTE, 3},
        {"RGBA8", GL_RGBA, GL_RGBA8, GL_UNSIGNED_BYTE, 4},
        {"RGBA16", GL_RGBA, GL_RGBA16, GL_UNSIGNED_SHORT, 8},
        {"RGB16", GL_RGB, GL_RGB16, GL_UNSIGNED_SHORT, 6},
        {"R8", GL_RED, GL_R8, GL_UNSIGNED_BYTE, 1},
        {"R16", GL_RED, GL_R16, GL_UNSIGNED_SHORT, 2},
    };
    std::vector<TransferRow> rows;
    for (const auto& [name, format, internal, type, bytes] : formats) {
        for (int padding : {0, 13}) {
            for (bool bottomUp : {false, true}) {
                rows.push_back({std::string(name) + (padding ? "Padded" : "") +
                                    (bottomUp ? "BottomUp" : "TopDown"),
                                {37, 11, format, internal, type},
                                bytes,
                                padding * bytes,
                                bottomUp});
            }
        }
    }
    return rows;
}

INSTANTIATE_TEST_SUITE_P(Formats, PlaneTransferGLTest, ::testing::ValuesIn(TransferRows()),
                         [](const auto& info) { return info.param.name; });

class TransferGLTest : public ::testing::Test {
protected:
    void TearDown() override {
        EXPECT_EQ(Kavrin::Test::GetGLError(), static_cast<GLenum>(GL_NO_ERROR));
    }
};

TEST_F(TransferGLTest, MismatchedPlanesAreRefusedBeforeAnyGLCall) {
    std::vector<std::uint8_t> memory(64 * 64, 0x33);
    const std::pair<ConstPlane, std::string> bad[] = {
        {{nullptr, 32, 4}, "the plane has no data"},
        {{memory.data(), 32, 3}, "the plane has 3 rows, the texture 4"},
        {{memory.data(), 31, 4},
         "the plane's stride of 31 bytes is narrower than a row of 32 bytes"},
        {{memory.data() + 64 * 3, -31, 4},
         "the plane's stride of 31 bytes is narrower than a row of 32 bytes"},
    };
    WithStorage([&](const ShaderStorage& storage) {
        Texture texture(Params{8, 4, GL_RGBA, GL_RGBA8, GL_UNSIGNED_BYTE}, GL_CLAMP_TO_EDGE,
                        GL_NEAREST, nullptr);
        const auto before = GlObjectCounter::Take();
        for (const auto& [plane, problem] : bad) {
            const Plane writable{const_cast<std::uint8_t*>(plane.data), plane.stride, plane.rows};
            for (const bool upload : {true, false}) {
                try {
                    upload ? UploadPlane(plane, texture, storage)
                           : DownloadPlane(writable, texture, storage);
                    ADD_FAILURE() << problem << ": accepted";
                } catch (const Kavrin::Exception& error) {
                    EXPECT_EQ(error.GetDescription(),
                              "Plane does not match its texture: " + problem);
                }
            }
        }
        EXPECT_EQ(GlObjectCounter::Take(), before);
    });
    EXPECT_TRUE(
        std::all_of(memory.begin(), memory.end(), [](std::uint8_t b) { return b == 0x33; }));
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

}  // namespace
