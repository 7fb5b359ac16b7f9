#include <GL/glew.h>

#include "Private/UploadDownloadBuffers.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "RenderHub.h"
#include "ShaderStorage.h"
#include "TestTasks.h"
#include "Texture.h"

namespace {

using namespace Kavrin::Ogl;
using Kavrin::Test::WithStorage;

// A plane in a buffer of `fill` bytes with guards on both sides, rows top-down
// or bottom-up.
struct HostPlane {
    static constexpr int kGuard = 64;
    int rowBytes, rows, stride;
    bool bottomUp;
    std::uint8_t fill;
    std::vector<std::uint8_t> memory =
        std::vector<std::uint8_t>(static_cast<std::size_t>(kGuard * 2 + stride * rows), fill);

    std::uint8_t* Row(int row) {
        return memory.data() + kGuard + (bottomUp ? rows - 1 - row : row) * stride;
    }
    int Stride() const { return bottomUp ? -stride : stride; }
    // Whether the guards and the padding between rows still hold `fill`.
    bool GuardsIntact() {
        const auto untouched = [&](const std::uint8_t* from, const std::uint8_t* to) {
            return std::all_of(from, to, [&](std::uint8_t b) { return b == fill; });
        };
        bool intact =
            untouched(memory.data(), memory.data() + kGuard) &&
            untouched(memory.data() + memory.size() - kGuard, memory.data() + memory.size());
        for (int r = 0; r < rows; ++r) {
            intact = intact && untouched(Row(r) + rowBytes, Row(r) + stride);
        }
        return intact;
    }
};

struct TransferRow {
    std::string name;
    Texture::Params params;
    int bytesPerPixel;
    int padding;
    bool bottomUp;
};

using PlaneTransferGLTest = Kavrin::Test::GLTestWithParam<TransferRow>;

// Odd sizes on purpose: rows of 37 pixels are not 4-byte aligned in any format.
TEST_P(PlaneTransferGLTest, RoundTripIsByteIdentical) {
    const TransferRow& row = GetParam();
    const int rowBytes = row.params.width * row.bytesPerPixel;
    HostPlane source{rowBytes, row.params.height, rowBytes + row.padding, row.bottomUp, 0xEE};
    std::mt19937 random(1234);
    for (int r = 0; r < source.rows; ++r) {
        std::generate(source.Row(r), source.Row(r) + rowBytes,
                      [&] { return static_cast<std::uint8_t>(random()); });
    }
    // The other side tight where this one is padded, else padded by no whole pixel.
    HostPlane destination{rowBytes, row.params.height, rowBytes + (row.padding ? 0 : 5),
                          row.bottomUp, 0x5A};
    std::size_t pooledBefore = 0, pooledAfter = 0;
    WithStorage([&](const ShaderStorage& storage) {
        TexturePool::GetInstance().Clear();
        Texture texture(row.params, GL_CLAMP_TO_EDGE, GL_NEAREST, nullptr);
        pooledBefore = TexturePool::GetInstance().GetCount();
        UploadPlane({source.Row(0), source.Stride(), source.rows}, texture, storage);
        DownloadPlane({destination.Row(0), destination.Stride(), destination.rows}, texture,
                      storage);
        pooledAfter = TexturePool::GetInstance().GetCount();
    });
    for (int r = 0; r < source.rows; ++r) {
        ASSERT_EQ(
            std::memcmp(source.Row(r), destination.Row(r), static_cast<std::size_t>(rowBytes)), 0)
            << row.name << ": row " << r << " differs";
    }
    EXPECT_TRUE(destination.GuardsIntact()) << "written outside the rows";
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

TEST(TransferGLTest, FormatProbesPassOnThisMachineAndPickTheBufferVariant) {
    Kavrin::Test::LogCapture log;
    bool supported = false;
    bool simple = false;
    WithStorage([&](const ShaderStorage& storage) {
        supported = Kavrin::Ogl::Details::CheckTextureFormatSupporting();
        simple = dynamic_cast<Kavrin::Ogl::Details::DownloadBufferSimple*>(
                     &storage.GetDownloadBuffer()) != nullptr;
    });
    EXPECT_TRUE(supported);
    EXPECT_EQ(log.CountPrefix("Unable to create texture"), 0) << log.Dump();
    if (Kavrin::Ogl::RenderHub::GetInstance().GetRenderer().find("llvmpipe") != std::string::npos) {
        EXPECT_TRUE(simple) << "llvmpipe reads back through pixel-pack buffers exactly";
    }
    Kavrin::Test::FinishGLTest();
}

}  // namespace
