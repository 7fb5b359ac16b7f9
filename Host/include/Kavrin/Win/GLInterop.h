#pragma once

// The OpenGL side of sharing textures with (emulated) Direct3D: WGL_NV_DX_interop
// and WGL_NV_DX_interop2, GL_EXT_memory_object_win32, GL_EXT_win32_keyed_mutex,
// GL_EXT_semaphore_win32 and the GL_DEVICE_LUID_EXT query, under their Windows
// names and values, so that interop code calls them as it would call the driver.
//
// Direct3D is emulated in system memory (Kavrin/DX/DirectX.h); the GL textures are
// real. Content moves between the two when GL takes access (wglDXLockObjectsNV,
// glAcquireKeyedMutexWin32EXT, glWaitSemaphoreEXT, glTextureStorageMem2DEXT) and
// back when GL gives it up or signals (wglDXUnlockObjectsNV,
// glReleaseKeyedMutexWin32EXT, glSignalSemaphoreEXT), so what one side writes the
// other reads. Every function needs the GL context that owns the textures current
// on the calling thread. Misuse is reported as the driver would: through
// GetLastError for the WGL functions, through glGetError for the GL ones.
#include <GL/glew.h>

#include <string>

#include "Kavrin/Win/WinTypes.h"

// GLEW maps these names onto its own function pointers, which stay null on Linux.
#undef glCreateMemoryObjectsEXT
#undef glDeleteMemoryObjectsEXT
#undef glImportMemoryWin32HandleEXT
#undef glTextureStorageMem2DEXT
#undef glAcquireKeyedMutexWin32EXT
#undef glReleaseKeyedMutexWin32EXT
#undef glGenSemaphoresEXT
#undef glDeleteSemaphoresEXT
#undef glImportSemaphoreWin32HandleEXT
#undef glSemaphoreParameterui64vEXT
#undef glSignalSemaphoreEXT
#undef glWaitSemaphoreEXT
#undef glGetUnsignedBytevEXT

inline constexpr GLenum WGL_ACCESS_READ_ONLY_NV = 0x0000;
inline constexpr GLenum WGL_ACCESS_READ_WRITE_NV = 0x0001;
inline constexpr GLenum WGL_ACCESS_WRITE_DISCARD_NV = 0x0002;
inline constexpr DWORD ERROR_NOT_LOCKED = 158;

// WGL_NV_DX_interop: a Direct3D 11 device opened for GL, textures registered with
// GL texture names and locked around GL use. Failures return null or FALSE and
// set the last error: ERROR_INVALID_HANDLE for unknown handles, ERROR_INVALID_DATA
// for an object of another device or a wrong type, ERROR_BUSY for an object
// already locked, ERROR_LOCK_FAILED when the device is lost, ERROR_NOT_LOCKED when
// unlocking an unlocked object; opening a device the adapter cannot link gives the
// adapter's link failure.
HANDLE wglDXOpenDeviceNV(void* dxDevice);
BOOL wglDXCloseDeviceNV(HANDLE hDevice);
HANDLE wglDXRegisterObjectNV(HANDLE hDevice, void* dxObject, GLuint name, GLenum type,
                             GLenum access);
BOOL wglDXUnregisterObjectNV(HANDLE hDevice, HANDLE hObject);
BOOL wglDXObjectAccessNV(HANDLE hObject, GLenum access);
BOOL wglDXLockObjectsNV(HANDLE hDevice, GLint count, HANDLE* hObjects);
BOOL wglDXUnlockObjectsNV(HANDLE hDevice, GLint count, HANDLE* hObjects);

// GL_EXT_memory_object(_win32): memory imported from an NT handle of a shared
// Direct3D 11 texture or Direct3D 12 resource, and textures whose storage is it.
void glCreateMemoryObjectsEXT(GLsizei n, GLuint* memoryObjects);
void glDeleteMemoryObjectsEXT(GLsizei n, const GLuint* memoryObjects);
void glImportMemoryWin32HandleEXT(GLuint memory, GLuint64 size, GLenum handleType, void* handle);
void glTextureStorageMem2DEXT(GLuint texture, GLsizei levels, GLenum internalFormat, GLsizei width,
                              GLsizei height, GLuint memory, GLuint64 offset);
// GL_EXT_win32_keyed_mutex: `timeout` in milliseconds (0xFFFFFFFF: none).
GLboolean glAcquireKeyedMutexWin32EXT(GLuint memory, GLuint64 key, GLuint timeout);
GLboolean glReleaseKeyedMutexWin32EXT(GLuint memory, GLuint64 key);

// GL_EXT_semaphore(_win32): a Direct3D 12 fence imported as a semaphore, signalled
// and waited for at the value set with GL_D3D12_FENCE_VALUE_EXT. A signal hands
// the listed textures (all imported textures without a keyed mutex when none are
// listed) to Direct3D first; a wait takes them back after the fence is reached.
void glGenSemaphoresEXT(GLsizei n, GLuint* semaphores);
void glDeleteSemaphoresEXT(GLsizei n, const GLuint* semaphores);
void glImportSemaphoreWin32HandleEXT(GLuint semaphore, GLenum handleType, void* handle);
void glSemaphoreParameterui64vEXT(GLuint semaphore, GLenum pname, const GLuint64* params);
void glSignalSemaphoreEXT(GLuint semaphore, GLuint numBufferBarriers, const GLuint* buffers,
                          GLuint numTextureBarriers, const GLuint* textures,
                          const GLenum* dstLayouts);
void glWaitSemaphoreEXT(GLuint semaphore, GLuint numBufferBarriers, const GLuint* buffers,
                        GLuint numTextureBarriers, const GLuint* textures,
                        const GLenum* srcLayouts);

// GL_DEVICE_LUID_EXT (GL_LUID_SIZE_EXT bytes): the LUID of the adapter GL renders
// on; GL_INVALID_ENUM when it is unknown. Other names go to the driver.
void glGetUnsignedBytevEXT(GLenum pname, GLubyte* data);

namespace Kavrin::DX {

// Answers for the extensions above (the emulation has them unless a test says they
// are missing); other names go to GLEW. Needs a current context.
bool IsGLExtensionSupported(const std::string& name);

// Memory objects, semaphores, WGL devices and registered objects the emulation
// still tracks; back to 0 once every user has deleted or closed what it made.
std::size_t GetLiveGLInteropObjectCount();

// How many wglDXObjectAccessNV calls the process made, failed ones included; lets
// tests see that access modes change only when needed.
std::size_t GetWglObjectAccessCallCount();

}  // namespace Kavrin::DX
