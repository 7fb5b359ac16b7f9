#include <GL/glew.h>

#include <array>
#include <cstring>

#include <gtest/gtest.h>

#include "Kavrin/DX/DirectX.h"
#include "Kavrin/Win/GLInterop.h"
#include "Kavrin/Win/WinBase.h"

#include "DXTestSupport.h"
#include "TestTasks.h"

// The GL side of sharing with the emulated Direct3D where the surfaces do not
// reach it: the driver's answers to misuse and the keyed-mutex keys. Content
// crossing in every format is the surface tests' sweep.
namespace {

using namespace Kavrin;
using Kavrin::Test::RunOnGL;

GLuint NewTexture() {
    GLuint name = 0;
    glGenTextures(1, &name);
    glBindTexture(GL_TEXTURE_2D, name);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, 1, 1, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    glBindTexture(GL_TEXTURE_2D, 0);
    return name;
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

    std::size_t glObjectsBefore = 0;
    boost::intrusive_ptr<DX::D11Device> device;
};

// A WGL call failed and left the driver's last error.
void ExpectFailure(bool succeeded, DWORD error, const char* what) {
    EXPECT_FALSE(succeeded) << what;
    EXPECT_EQ(GetLastError(), error) << what;
}

TEST_F(DXGLInteropGLTest, WglFailuresSetTheDriversLastErrors) {
    D3D11_TEXTURE2D_DESC desc = Desc(4, 2);
    desc.MiscFlags = D3D11_RESOURCE_MISC_SHARED;
    const CComPtr<ID3D11Texture2D> d3dTexture = device->CreateTexture2D(desc, nullptr);
    auto otherDevice = DX::D11Device::Create(FirstAdapter());
    RunOnGL([&] {
        const GLuint texture = NewTexture();
        HANDLE wgl = wglDXOpenDeviceNV(device->Get());
        HANDLE otherWgl = wglDXOpenDeviceNV(otherDevice->Get());
        HANDLE object = wglDXRegisterObjectNV(wgl, d3dTexture.p, texture, GL_TEXTURE_2D,
                                              WGL_ACCESS_WRITE_DISCARD_NV);
        ASSERT_NE(object, nullptr);
        ExpectFailure(wglDXRegisterObjectNV(otherWgl, d3dTexture.p, texture, GL_TEXTURE_2D,
                                            WGL_ACCESS_READ_ONLY_NV) != nullptr,
                      ERROR_INVALID_DATA, "another device's texture");
        ASSERT_TRUE(wglDXLockObjectsNV(wgl, 1, &object));
        ExpectFailure(wglDXLockObjectsNV(wgl, 1, &object), ERROR_BUSY, "lock twice");
        ExpectFailure(wglDXObjectAccessNV(object, WGL_ACCESS_READ_ONLY_NV), ERROR_BUSY, "access");
        ExpectFailure(wglDXUnregisterObjectNV(wgl, object), ERROR_BUSY, "unregister locked");
        ASSERT_TRUE(wglDXUnlockObjectsNV(wgl, 1, &object));
        ExpectFailure(wglDXUnlockObjectsNV(wgl, 1, &object), ERROR_NOT_LOCKED, "unlock twice");
        ExpectFailure(wglDXLockObjectsNV(otherWgl, 1, &object), ERROR_INVALID_DATA, "other");
        ExpectFailure(wglDXLockObjectsNV(nullptr, 1, &object), ERROR_INVALID_HANDLE, "no device");
        DX::Emulation::RemoveDevices(FirstAdapter().GetDescription()->luid);
        ExpectFailure(wglDXLockObjectsNV(wgl, 1, &object), ERROR_LOCK_FAILED, "removed");
        EXPECT_TRUE(wglDXUnregisterObjectNV(wgl, object));
        EXPECT_TRUE(wglDXCloseDeviceNV(wgl));
        EXPECT_TRUE(wglDXCloseDeviceNV(otherWgl));
        ExpectFailure(wglDXCloseDeviceNV(wgl), ERROR_INVALID_HANDLE, "close twice");
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
    RunOnGL([&] {
        ExpectFailure(wglDXOpenDeviceNV(fresh->Get()) != nullptr, ERROR_NOT_SUPPORTED, "no ext");
    });
}

// Only an acquire with the key of the last release gets the mutex; the others
// time out (briefly here, so that a wrong key fails instead of hanging).
TEST_F(DXGLInteropGLTest, KeyedMutexGoesOnlyToTheKeyReleasedWith) {
    auto shared = DX::D11SharedTexture2D::Create(device, Desc(4, 2));
    HANDLE handle =
        shared->CreateSharedHandle(DXGI_SHARED_RESOURCE_READ | DXGI_SHARED_RESOURCE_WRITE);
    RunOnGL([&] {
        const GLuint texture = NewTexture();
        GLuint memory = 0;
        glCreateMemoryObjectsEXT(1, &memory);
        glImportMemoryWin32HandleEXT(memory, 0, GL_HANDLE_TYPE_D3D11_IMAGE_EXT, handle);
        glTextureStorageMem2DEXT(texture, 1, GL_RGBA8, 4, 2, memory, 0);
        ASSERT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
        EXPECT_EQ(glAcquireKeyedMutexWin32EXT(memory, 1, 10), GL_FALSE) << "released with 0";
        ASSERT_EQ(glAcquireKeyedMutexWin32EXT(memory, 0, 10), GL_TRUE);
        EXPECT_FALSE(shared->AcquireSync(0, 10)) << "GL holds it";
        ASSERT_EQ(glReleaseKeyedMutexWin32EXT(memory, 1), GL_TRUE);
        EXPECT_EQ(glReleaseKeyedMutexWin32EXT(memory, 1), GL_FALSE) << "not held";
        EXPECT_FALSE(shared->AcquireSync(0, 10)) << "released with 1";
        ASSERT_TRUE(shared->AcquireSync(1, 0));
        EXPECT_EQ(glAcquireKeyedMutexWin32EXT(memory, 0, 10), GL_FALSE) << "Direct3D holds it";
        shared->ReleaseSync(0);
        EXPECT_EQ(glAcquireKeyedMutexWin32EXT(memory, 0, 10), GL_TRUE);
        glDeleteMemoryObjectsEXT(1, &memory);  // gives the mutex back
        glDeleteTextures(1, &texture);
    });
    EXPECT_TRUE(shared->AcquireSync(0, 0));
    shared->ReleaseSync(0);
    EXPECT_TRUE(CloseHandle(handle));
}

TEST_F(DXGLInteropGLTest, ImportsAndQueriesReportMisuseThroughGlGetError) {
    auto shared = DX::D11SharedTexture2D::Create(device, Desc(4, 2));
    HANDLE handle = shared->CreateSharedHandle(DXGI_SHARED_RESOURCE_READ);
    ASSERT_TRUE(CloseHandle(handle));
    RunOnGL([&] {
        GLuint memory = 0;
        glCreateMemoryObjectsEXT(1, &memory);
        glImportMemoryWin32HandleEXT(memory, 0, GL_HANDLE_TYPE_D3D11_IMAGE_EXT, handle);
        EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_INVALID_VALUE));  // closed handle
        glImportMemoryWin32HandleEXT(memory, 0, GL_HANDLE_TYPE_D3D12_FENCE_EXT, handle);
        EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_INVALID_ENUM));
        EXPECT_EQ(glAcquireKeyedMutexWin32EXT(memory, 0, 0), GL_FALSE);
        EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_INVALID_OPERATION));  // nothing imported
        glDeleteMemoryObjectsEXT(1, &memory);

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
