#include <GL/glew.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include <glm/gtc/packing.hpp>
#include <gtest/gtest.h>

#include "Kavrin/DX/DirectX.h"
#include "Kavrin/Win/GLInterop.h"
#include "Kavrin/Win/WinBase.h"

#include "DXTestSupport.h"
#include "TestTasks.h"

// The GL side of sharing with the emulated Direct3D: each mechanism moves what
// one API wrote to the other, and refuses misuse as the driver would.
namespace {

using namespace Kavrin;
using Kavrin::Test::RunOnGL;

constexpr UINT kWidth = 4;
constexpr UINT kHeight = 2;
// No component lands halfway between two codes of any format.
constexpr std::array<float, 4> kClear = {0.25f, 0.625f, 0.75f, 1.0f};

GLuint NewTexture() {
    GLuint name = 0;
    glGenTextures(1, &name);
    glBindTexture(GL_TEXTURE_2D, name);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, 1, 1, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    glBindTexture(GL_TEXTURE_2D, 0);
    return name;
}

// Every texel of the texture as floats, whatever its internal format.
std::vector<float> ReadFloats(GLuint texture) {
    std::vector<float> texels(kWidth * kHeight * 4);
    glBindTexture(GL_TEXTURE_2D, texture);
    glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_FLOAT, texels.data());
    glBindTexture(GL_TEXTURE_2D, 0);
    return texels;
}

// Renders the clear colour into the texture, as a GL user of the surface would.
void RenderClear(GLuint texture) {
    GLuint framebuffer = 0;
    glGenFramebuffers(1, &framebuffer);
    glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, texture, 0);
    ASSERT_EQ(glCheckFramebufferStatus(GL_FRAMEBUFFER),
              static_cast<GLenum>(GL_FRAMEBUFFER_COMPLETE));
    glViewport(0, 0, kWidth, kHeight);
    glClearColor(kClear[0], kClear[1], kClear[2], kClear[3]);
    glClear(GL_COLOR_BUFFER_BIT);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glDeleteFramebuffers(1, &framebuffer);
}

const DXGI_FORMAT kFormats[] = {DXGI_FORMAT_R8G8B8A8_UNORM,     DXGI_FORMAT_B8G8R8A8_UNORM,
                                DXGI_FORMAT_R16G16B16A16_UNORM, DXGI_FORMAT_R10G10B10A2_UNORM,
                                DXGI_FORMAT_R16G16B16A16_FLOAT, DXGI_FORMAT_R32G32B32A32_FLOAT};

// How close GL's floats get to the colour Direct3D stores.
float Tolerance(DXGI_FORMAT format) { return format == DXGI_FORMAT_R16G16B16A16_FLOAT ? 1e-3f : 0; }

// The whole image of one colour, as Direct3D stores it.
std::vector<std::byte> Image(DXGI_FORMAT format, const std::array<float, 4>& c) {
    std::vector<std::byte> pixel;
    const auto put = [&](auto value) {
        const auto* bytes = reinterpret_cast<const std::byte*>(&value);
        pixel.insert(pixel.end(), bytes, bytes + sizeof(value));
    };
    const auto u = [](float value, float maximum) {
        return static_cast<std::uint32_t>(value * maximum + 0.5f);
    };
    std::uint32_t packed = 0;
    for (int k = 0; k < 4; ++k) {
        const float v = c[format == DXGI_FORMAT_B8G8R8A8_UNORM && k != 3 ? 2 - k : k];
        switch (format) {
            case DXGI_FORMAT_R8G8B8A8_UNORM:
            case DXGI_FORMAT_B8G8R8A8_UNORM:
                put(static_cast<std::uint8_t>(u(v, 255)));
                break;
            case DXGI_FORMAT_R16G16B16A16_UNORM:
                put(static_cast<std::uint16_t>(u(v, 65535)));
                break;
            case DXGI_FORMAT_R10G10B10A2_UNORM:
                packed |= u(v, k == 3 ? 3 : 1023) << (10 * k);
                break;
            case DXGI_FORMAT_R16G16B16A16_FLOAT:
                put(glm::packHalf1x16(v));
                break;
            default:
                put(v);
        }
    }
    if (format == DXGI_FORMAT_R10G10B10A2_UNORM) {
        put(packed);
    }
    std::vector<std::byte> image;
    for (UINT i = 0; i < kWidth * kHeight; ++i) {
        image.insert(image.end(), pixel.begin(), pixel.end());
    }
    return image;
}

// Colours each format represents exactly, so Direct3D's bytes are GL's values.
std::array<float, 4> ExactColour(DXGI_FORMAT format) {
    switch (format) {
        case DXGI_FORMAT_R10G10B10A2_UNORM:
            return {341.0f / 1023, 682.0f / 1023, 1.0f, 2.0f / 3};
        case DXGI_FORMAT_R16G16B16A16_UNORM:
            return {4369.0f / 65535, 0.0f, 1.0f, 13107.0f / 65535};
        default:
            return {0.2f, 0.6f, 0.8f, 0.4f};
    }
}

class DXGLInteropGLTest : public Kavrin::Test::DXTest {
protected:
    void SetUp() override {
        DXTest::SetUp();
        glObjectsBefore = DX::GetLiveGLInteropObjectCount();
        device = DX::D11Device::Create(FirstAdapter());
    }
    void TearDown() override {
        device.reset();
        EXPECT_EQ(DX::GetLiveGLInteropObjectCount(), glObjectsBefore);
        EXPECT_EQ(Kavrin::Test::GetGLError(), static_cast<GLenum>(GL_NO_ERROR));
        DXTest::TearDown();
    }

    CComPtr<ID3D11Texture2D> NewSharedTexture(DXGI_FORMAT format) {
        D3D11_TEXTURE2D_DESC desc = Desc(kWidth, kHeight, format);
        desc.MiscFlags = D3D11_RESOURCE_MISC_SHARED;
        return device->CreateTexture2D(desc, nullptr);
    }

    std::size_t glObjectsBefore = 0;
    boost::intrusive_ptr<DX::D11Device> device;
};

// A WGL call failed and left the driver's last error.
void ExpectFailure(bool succeeded, DWORD error) {
    EXPECT_FALSE(succeeded);
    EXPECT_EQ(GetLastError(), error);
}

void ExpectNear(const std::vector<float>& actual, const std::array<float, 4>& colour,
                DXGI_FORMAT format) {
    for (std::size_t i = 0; i < actual.size(); ++i) {
        EXPECT_NEAR(actual[i], colour[i % 4], Tolerance(format) + 1e-6f)
            << "DXGI format " << format << " component " << i;
    }
}

TEST_F(DXGLInteropGLTest, WglInteropMovesContentBothWaysInEveryFormat) {
    for (const DXGI_FORMAT format : kFormats) {
        const auto d3dTexture = NewSharedTexture(format);
        const auto memory = DX::Emulation::GetTextureMemory(d3dTexture.p);
        const std::array<float, 4> colour = ExactColour(format);
        memory->Write(Image(format, colour));
        RunOnGL([&] {
            const GLuint texture = NewTexture();
            HANDLE wglDevice = wglDXOpenDeviceNV(device->Get());
            ASSERT_NE(wglDevice, nullptr);
            HANDLE object = wglDXRegisterObjectNV(wglDevice, d3dTexture.p, texture, GL_TEXTURE_2D,
                                                  WGL_ACCESS_READ_ONLY_NV);
            ASSERT_NE(object, nullptr);
            // Direct3D's image reaches GL on lock.
            ASSERT_TRUE(wglDXLockObjectsNV(wglDevice, 1, &object));
            ExpectNear(ReadFloats(texture), colour, format);
            ASSERT_TRUE(wglDXUnlockObjectsNV(wglDevice, 1, &object));

            // GL's rendering reaches Direct3D on unlock.
            ASSERT_TRUE(wglDXObjectAccessNV(object, WGL_ACCESS_WRITE_DISCARD_NV));
            ASSERT_TRUE(wglDXLockObjectsNV(wglDevice, 1, &object));
            RenderClear(texture);
            ASSERT_TRUE(wglDXUnlockObjectsNV(wglDevice, 1, &object));
            EXPECT_EQ(memory->ReadAll(), Image(format, kClear)) << "DXGI format " << format;

            EXPECT_TRUE(wglDXUnregisterObjectNV(wglDevice, object));
            EXPECT_TRUE(wglDXCloseDeviceNV(wglDevice));
            glDeleteTextures(1, &texture);
        });
    }
}

TEST_F(DXGLInteropGLTest, WglFailuresSetTheDriversLastErrors) {
    const auto d3dTexture = NewSharedTexture(DXGI_FORMAT_R8G8B8A8_UNORM);
    auto otherDevice = DX::D11Device::Create(FirstAdapter());
    RunOnGL([&] {
        const GLuint texture = NewTexture();
        HANDLE wglDevice = wglDXOpenDeviceNV(device->Get());
        HANDLE otherWglDevice = wglDXOpenDeviceNV(otherDevice->Get());
        HANDLE object = wglDXRegisterObjectNV(wglDevice, d3dTexture.p, texture, GL_TEXTURE_2D,
                                              WGL_ACCESS_WRITE_DISCARD_NV);
        ASSERT_NE(object, nullptr);
        // A texture of another device cannot be registered with this one.
        ExpectFailure(wglDXRegisterObjectNV(otherWglDevice, d3dTexture.p, texture, GL_TEXTURE_2D,
                                            WGL_ACCESS_READ_ONLY_NV) != nullptr,
                      ERROR_INVALID_DATA);

        ASSERT_TRUE(wglDXLockObjectsNV(wglDevice, 1, &object));
        ExpectFailure(wglDXLockObjectsNV(wglDevice, 1, &object), ERROR_BUSY);
        ExpectFailure(wglDXObjectAccessNV(object, WGL_ACCESS_READ_ONLY_NV), ERROR_BUSY);
        ExpectFailure(wglDXUnregisterObjectNV(wglDevice, object), ERROR_BUSY);
        ASSERT_TRUE(wglDXUnlockObjectsNV(wglDevice, 1, &object));
        ExpectFailure(wglDXUnlockObjectsNV(wglDevice, 1, &object), ERROR_NOT_LOCKED);

        ExpectFailure(wglDXLockObjectsNV(otherWglDevice, 1, &object), ERROR_INVALID_DATA);
        ExpectFailure(wglDXLockObjectsNV(nullptr, 1, &object), ERROR_INVALID_HANDLE);

        DX::Emulation::RemoveDevices(FirstAdapter().GetDescription()->luid);
        ExpectFailure(wglDXLockObjectsNV(wglDevice, 1, &object), ERROR_LOCK_FAILED);

        EXPECT_TRUE(wglDXUnregisterObjectNV(wglDevice, object));
        EXPECT_TRUE(wglDXCloseDeviceNV(wglDevice));
        EXPECT_TRUE(wglDXCloseDeviceNV(otherWglDevice));
        ExpectFailure(wglDXCloseDeviceNV(wglDevice), ERROR_INVALID_HANDLE);
        glDeleteTextures(1, &texture);
    });
    // Opening a device fails with the adapter's link result, or without the extension.
    auto adapter = DX::Emulation::MakeDefaultAdapter();
    adapter.linkResult = static_cast<HRESULT>(0x80070032);
    DX::Emulation::SetAdapters({adapter});
    auto unlinkable = DX::D11Device::Create(FirstAdapter());
    RunOnGL([&] {
        SetLastError(0);
        EXPECT_EQ(wglDXOpenDeviceNV(unlinkable->Get()), nullptr);
        EXPECT_EQ(HRESULT_FROM_WIN32(GetLastError()), static_cast<HRESULT>(0x80070032));
    });
    DX::Emulation::Reset();
    DX::Emulation::SetExtensionMissing("WGL_NV_DX_interop", true);
    auto fresh = DX::D11Device::Create(FirstAdapter());
    RunOnGL(
        [&] { ExpectFailure(wglDXOpenDeviceNV(fresh->Get()) != nullptr, ERROR_NOT_SUPPORTED); });
}

TEST_F(DXGLInteropGLTest, KeyedMutexHandsTheTextureBetweenTheApis) {
    const DXGI_FORMAT format = DXGI_FORMAT_R8G8B8A8_UNORM;
    auto shared = DX::D11SharedTexture2D::Create(device, Desc(kWidth, kHeight));
    HANDLE handle =
        shared->CreateSharedHandle(DXGI_SHARED_RESOURCE_READ | DXGI_SHARED_RESOURCE_WRITE);
    const auto memory = DX::Emulation::GetTextureMemory(shared->GetTexture().p);
    const std::array<float, 4> colour = ExactColour(format);
    ASSERT_TRUE(shared->AcquireSync(0, INFINITE));
    memory->Write(Image(format, colour));
    shared->ReleaseSync(0);
    RunOnGL([&] {
        const GLuint texture = NewTexture();
        GLuint memoryObject = 0;
        glCreateMemoryObjectsEXT(1, &memoryObject);
        ASSERT_NE(memoryObject, 0u);
        glImportMemoryWin32HandleEXT(memoryObject, 0, GL_HANDLE_TYPE_D3D11_IMAGE_EXT, handle);
        glTextureStorageMem2DEXT(texture, 1, GL_RGBA8, kWidth, kHeight, memoryObject, 0);
        ASSERT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));

        ASSERT_EQ(glAcquireKeyedMutexWin32EXT(memoryObject, 0, 0xFFFFFFFF), GL_TRUE);
        ExpectNear(ReadFloats(texture), colour, format);
        RenderClear(texture);
        // While GL holds it, Direct3D waits (and times out).
        EXPECT_FALSE(shared->AcquireSync(0, 10));
        ASSERT_EQ(glReleaseKeyedMutexWin32EXT(memoryObject, 1), GL_TRUE);
        EXPECT_EQ(glReleaseKeyedMutexWin32EXT(memoryObject, 1), GL_FALSE);  // not held

        // Released with key 1: only an acquire of key 1 gets it.
        EXPECT_FALSE(shared->AcquireSync(0, 10));
        ASSERT_TRUE(shared->AcquireSync(1, 0));
        EXPECT_EQ(memory->ReadAll(), Image(format, kClear));
        EXPECT_EQ(glAcquireKeyedMutexWin32EXT(memoryObject, 0, 10), GL_FALSE);
        shared->ReleaseSync(0);
        EXPECT_EQ(glAcquireKeyedMutexWin32EXT(memoryObject, 0, 10), GL_TRUE);
        // Deleting the memory object gives the mutex back.
        glDeleteMemoryObjectsEXT(1, &memoryObject);
        glDeleteTextures(1, &texture);
    });
    EXPECT_TRUE(shared->AcquireSync(0, 0));
    shared->ReleaseSync(0);
    EXPECT_TRUE(CloseHandle(handle));
}

TEST_F(DXGLInteropGLTest, SemaphoreSignalAndWaitMoveContentAtTheFenceValue) {
    const DXGI_FORMAT format = DXGI_FORMAT_R16G16B16A16_FLOAT;
    auto d12 = DX::D12Device::Create(FirstAdapter().GetDescription()->luid);
    DX::D12Texture2DDesc desc;
    desc.width = kWidth;
    desc.height = kHeight;
    desc.format = format;
    desc.flags =
        D3D12_RESOURCE_FLAG_ALLOW_RENDER_TARGET | D3D12_RESOURCE_FLAG_ALLOW_SIMULTANEOUS_ACCESS;
    CComPtr<ID3D12Resource> resource = d12->CreateTexture2D(desc);
    HANDLE handle = d12->CreateSharedHandle(resource.p);
    auto event = d12->CreateCompletionEvent(D3D12_FENCE_FLAG_SHARED);
    const auto memory = DX::Emulation::GetTextureMemory(resource.p);
    RunOnGL([&] {
        const GLuint texture = NewTexture();
        GLuint memoryObject = 0;
        glCreateMemoryObjectsEXT(1, &memoryObject);
        glImportMemoryWin32HandleEXT(memoryObject, 0, GL_HANDLE_TYPE_D3D12_RESOURCE_EXT, handle);
        glTextureStorageMem2DEXT(texture, 1, GL_RGBA16F, kWidth, kHeight, memoryObject, 0);
        GLuint semaphore = 0;
        glGenSemaphoresEXT(1, &semaphore);
        glImportSemaphoreWin32HandleEXT(semaphore, GL_HANDLE_TYPE_D3D12_FENCE_EXT,
                                        event->GetSharedHandle());
        ASSERT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));

        // GL renders, then signals the next value: Direct3D sees both.
        RenderClear(texture);
        const GLuint64 value = event->PreIncrementValue();
        glSemaphoreParameterui64vEXT(semaphore, GL_D3D12_FENCE_VALUE_EXT, &value);
        glSignalSemaphoreEXT(semaphore, 0, nullptr, 0, nullptr, nullptr);
        EXPECT_EQ(event->GetCompletedValue(), value);
        EXPECT_EQ(memory->ReadAll(), Image(format, kClear));

        // Direct3D writes and signals; GL waits for that value and reads it.
        const std::array<float, 4> colour = ExactColour(format);
        memory->Write(Image(format, colour));
        const GLuint64 next = event->PreIncrementValue();
        event->Signal(next);
        glSemaphoreParameterui64vEXT(semaphore, GL_D3D12_FENCE_VALUE_EXT, &next);
        glWaitSemaphoreEXT(semaphore, 0, nullptr, 1, &texture, nullptr);
        ExpectNear(ReadFloats(texture), colour, format);

        glDeleteSemaphoresEXT(1, &semaphore);
        glDeleteMemoryObjectsEXT(1, &memoryObject);
        glDeleteTextures(1, &texture);
    });
    EXPECT_TRUE(CloseHandle(handle));
}

TEST_F(DXGLInteropGLTest, ImportsAndQueriesReportMisuseThroughGlGetError) {
    auto shared = DX::D11SharedTexture2D::Create(device, Desc(kWidth, kHeight));
    HANDLE handle = shared->CreateSharedHandle(DXGI_SHARED_RESOURCE_READ);
    ASSERT_TRUE(CloseHandle(handle));
    RunOnGL([&] {
        GLuint memoryObject = 0;
        glCreateMemoryObjectsEXT(1, &memoryObject);
        glImportMemoryWin32HandleEXT(memoryObject, 0, GL_HANDLE_TYPE_D3D11_IMAGE_EXT, handle);
        EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_INVALID_VALUE));  // closed handle
        glImportMemoryWin32HandleEXT(memoryObject, 0, GL_HANDLE_TYPE_D3D12_FENCE_EXT, handle);
        EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_INVALID_ENUM));
        EXPECT_EQ(glAcquireKeyedMutexWin32EXT(memoryObject, 0, 0), GL_FALSE);
        EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_INVALID_OPERATION));  // nothing imported
        glDeleteMemoryObjectsEXT(1, &memoryObject);

        // The LUID GL reports is the emulated GL adapter's, and unknown when it is.
        std::array<GLubyte, GL_LUID_SIZE_EXT> luid{};
        glGetUnsignedBytevEXT(GL_DEVICE_LUID_EXT, luid.data());
        ASSERT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
        const LUID expected = *DX::Emulation::GetGlDeviceLuid();
        EXPECT_EQ(std::memcmp(luid.data(), &expected, sizeof(LUID)), 0);
        EXPECT_EQ(FirstAdapter().GetDescription()->luid, expected);
        DX::Emulation::SetGlLuidUnknown(true);
        glGetUnsignedBytevEXT(GL_DEVICE_LUID_EXT, luid.data());
        EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_INVALID_ENUM));

        EXPECT_TRUE(DX::IsGLExtensionSupported("GL_EXT_win32_keyed_mutex"));
        EXPECT_TRUE(DX::IsGLExtensionSupported("WGL_NV_DX_interop2"));
        DX::Emulation::SetExtensionMissing("GL_EXT_win32_keyed_mutex", true);
        EXPECT_FALSE(DX::IsGLExtensionSupported("GL_EXT_win32_keyed_mutex"));
        // Other names are the driver's.
        EXPECT_TRUE(DX::IsGLExtensionSupported("GL_VERSION_3_0"));
        EXPECT_FALSE(DX::IsGLExtensionSupported("GL_NV_no_such_extension"));
    });
}

}  // namespace
