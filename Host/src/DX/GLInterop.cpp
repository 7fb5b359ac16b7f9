#include "Kavrin/Win/GLInterop.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "Kavrin/DX/EmulatedFence.h"
#include "Kavrin/DX/EmulatedTexture.h"
#include "Kavrin/DX/Emulation.h"
#include "Kavrin/Win/CComPtr.h"
#include "Kavrin/Win/D3D11.h"
#include "Kavrin/Win/WinBase.h"

#include "Details/Faults.h"

namespace {

using Kavrin::DX::EmulatedFence;
using Kavrin::DX::EmulatedTexture;

// How the emulated memory of a format reads as GL pixels: rows as Direct3D lays
// them out, row 0 first (both APIs see the same bytes, so no flip).
struct PixelLayout {
    GLenum internalFormat;
    GLenum format;
    GLenum type;
};

std::optional<PixelLayout> LayoutOf(DXGI_FORMAT format) {
    switch (format) {
        case DXGI_FORMAT_R8G8B8A8_UNORM:
            return PixelLayout{GL_RGBA8, GL_RGBA, GL_UNSIGNED_BYTE};
        case DXGI_FORMAT_B8G8R8A8_UNORM:
            return PixelLayout{GL_RGBA8, GL_BGRA, GL_UNSIGNED_BYTE};
        case DXGI_FORMAT_R16G16B16A16_FLOAT:
            return PixelLayout{GL_RGBA16F, GL_RGBA, GL_HALF_FLOAT};
        case DXGI_FORMAT_R32G32B32A32_FLOAT:
            return PixelLayout{GL_RGBA32F, GL_RGBA, GL_FLOAT};
        case DXGI_FORMAT_R16G16B16A16_UNORM:
            return PixelLayout{GL_RGBA16, GL_RGBA, GL_UNSIGNED_SHORT};
        case DXGI_FORMAT_R10G10B10A2_UNORM:
            // Red in the low bits, as Direct3D packs it.
            return PixelLayout{GL_RGB10_A2, GL_RGBA, GL_UNSIGNED_INT_2_10_10_10_REV};
        default:
            return std::nullopt;
    }
}

// Emulated failures must reach glGetError like the driver's own: provoke the same
// error with a call that changes nothing.
void RaiseGLError(GLenum error) {
    switch (error) {
        case GL_INVALID_ENUM:
            glEnable(0);
            break;
        case GL_INVALID_VALUE:
            glGenTextures(-1, nullptr);
            break;
        default:
            glEndQuery(GL_SAMPLES_PASSED);  // no query is active: GL_INVALID_OPERATION
            break;
    }
}

// Binds a texture and neutral pixel-store state for one transfer, and puts back
// what the caller had.
class TransferState {
public:
    explicit TransferState(GLuint texture) {
        glGetIntegerv(GL_TEXTURE_BINDING_2D, &boundTexture);
        glGetIntegerv(GL_PIXEL_UNPACK_BUFFER_BINDING, &unpackBuffer);
        glGetIntegerv(GL_PIXEL_PACK_BUFFER_BINDING, &packBuffer);
        glGetIntegerv(GL_UNPACK_ALIGNMENT, &unpackAlignment);
        glGetIntegerv(GL_PACK_ALIGNMENT, &packAlignment);
        glGetIntegerv(GL_UNPACK_ROW_LENGTH, &unpackRowLength);
        glGetIntegerv(GL_PACK_ROW_LENGTH, &packRowLength);
        glBindBuffer(GL_PIXEL_UNPACK_BUFFER, 0);
        glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
        glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
        glPixelStorei(GL_PACK_ROW_LENGTH, 0);
        glBindTexture(GL_TEXTURE_2D, texture);
    }
    ~TransferState() {
        glBindTexture(GL_TEXTURE_2D, static_cast<GLuint>(boundTexture));
        glPixelStorei(GL_UNPACK_ALIGNMENT, unpackAlignment);
        glPixelStorei(GL_PACK_ALIGNMENT, packAlignment);
        glPixelStorei(GL_UNPACK_ROW_LENGTH, unpackRowLength);
        glPixelStorei(GL_PACK_ROW_LENGTH, packRowLength);
        glBindBuffer(GL_PIXEL_UNPACK_BUFFER, static_cast<GLuint>(unpackBuffer));
        glBindBuffer(GL_PIXEL_PACK_BUFFER, static_cast<GLuint>(packBuffer));
    }
    TransferState(const TransferState&) = delete;
    TransferState& operator=(const TransferState&) = delete;

private:
    GLint boundTexture = 0;
    GLint unpackBuffer = 0;
    GLint packBuffer = 0;
    GLint unpackAlignment = 4;
    GLint packAlignment = 4;
    GLint unpackRowLength = 0;
    GLint packRowLength = 0;
};

// Direct3D memory into the GL texture.
void ToGL(const EmulatedTexture& memory, GLuint texture) {
    const auto layout = LayoutOf(memory.GetFormat());
    if (!layout || texture == 0) {
        return;
    }
    const std::vector<std::byte> bytes = memory.ReadAll();
    TransferState state(texture);
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, static_cast<GLsizei>(memory.GetWidth()),
                    static_cast<GLsizei>(memory.GetHeight()), layout->format, layout->type,
                    bytes.data());
}

// The GL texture into Direct3D memory.
void FromGL(GLuint texture, EmulatedTexture& memory) {
    const auto layout = LayoutOf(memory.GetFormat());
    if (!layout || texture == 0) {
        return;
    }
    std::vector<std::byte> bytes(memory.GetSize());
    {
        TransferState state(texture);
        glGetTexImage(GL_TEXTURE_2D, 0, layout->format, layout->type, bytes.data());
    }
    memory.Write(bytes);
}

// Gives `texture` storage of the memory's size and format (no content yet).
void DefineStorage(GLuint texture, const EmulatedTexture& memory, GLenum internalFormat) {
    const auto layout = LayoutOf(memory.GetFormat());
    TransferState state(texture);
    glTexImage2D(GL_TEXTURE_2D, 0, static_cast<GLint>(internalFormat),
                 static_cast<GLsizei>(memory.GetWidth()), static_cast<GLsizei>(memory.GetHeight()),
                 0, layout->format, layout->type, nullptr);
    // The Direct3D image has one level: like the driver's storage (immutable with
    // one level) the texture must sample complete whatever its filters say.
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAX_LEVEL, 0);
}

struct MemoryObject {
    std::shared_ptr<EmulatedTexture> memory;
    GLuint texture = 0;
    bool acquired = false;
};

struct Semaphore {
    std::shared_ptr<EmulatedFence> fence;
    GLuint64 value = 0;
};

struct WglObject;

struct WglDevice {
    CComPtr<ID3D11Device> device;
    std::set<WglObject*> objects;
};

struct WglObject {
    WglDevice* device = nullptr;
    std::shared_ptr<EmulatedTexture> memory;
    GLuint texture = 0;
    GLenum access = WGL_ACCESS_READ_WRITE_NV;
    bool locked = false;
};

// Everything the GL side tracks. GL calls are made outside the mutex.
struct State {
    std::mutex mutex;
    GLuint nextMemory = 1;
    std::map<GLuint, MemoryObject> memories;
    GLuint nextSemaphore = 1;
    std::map<GLuint, Semaphore> semaphores;
    std::map<WglDevice*, std::unique_ptr<WglDevice>> devices;
    std::map<WglObject*, std::unique_ptr<WglObject>> objects;
};

State& GetState() {
    static State state;
    return state;
}

std::atomic<std::size_t> objectAccessCalls{0};

bool Missing(const char* extension) { return Kavrin::DX::Emulation::IsExtensionMissing(extension); }

using Kavrin::DX::Emulation::Step;

bool Failing(Step step) { return Kavrin::DX::Details::TakeFailure(step).has_value(); }

// The memory object `name` that has memory imported, or null.
MemoryObject* FindImported(State& state, GLuint name) {
    const auto found = state.memories.find(name);
    return found != state.memories.end() && found->second.memory ? &found->second : nullptr;
}

// Imported textures that synchronise through semaphores: all but the keyed-mutex ones.
std::vector<std::pair<std::shared_ptr<EmulatedTexture>, GLuint>> SemaphoreTextures(
    State& state, GLuint count, const GLuint* textures) {
    std::vector<std::pair<std::shared_ptr<EmulatedTexture>, GLuint>> result;
    for (const auto& [name, object] : state.memories) {
        if (!object.memory || object.texture == 0 || object.memory->GetKeyedMutex() != nullptr) {
            continue;
        }
        const bool listed =
            count == 0 || std::find(textures, textures + count, object.texture) != textures + count;
        if (listed) {
            result.emplace_back(object.memory, object.texture);
        }
    }
    return result;
}

// Hands out `n` new names of one kind of object, as glGen*/glCreate* do.
template <class Object>
void GenerateNames(GLsizei n, GLuint* names, Step step, GLuint State::*next,
                   std::map<GLuint, Object> State::*objects) {
    if (n < 0) {
        RaiseGLError(GL_INVALID_VALUE);
        return;
    }
    if (Failing(step)) {
        std::fill_n(names, n, 0u);
        return;
    }
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    for (GLsizei index = 0; index < n; ++index) {
        names[index] = (state.*next)++;
        (state.*objects).emplace(names[index], Object{});
    }
}

}  // namespace

HANDLE wglDXOpenDeviceNV(void* dxDevice) {
    auto* device = static_cast<ID3D11Device*>(dxDevice);
    const auto luid = Kavrin::DX::Emulation::GetDeviceLuid(device);
    if (!luid) {
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    if (Missing("WGL_NV_DX_interop")) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    const HRESULT link = Kavrin::DX::Emulation::GetLinkResult(*luid);
    if (FAILED(link)) {
        // HRESULT_FROM_WIN32 gives a negative value back unchanged.
        SetLastError(static_cast<DWORD>(link));
        return nullptr;
    }
    auto opened = std::make_unique<WglDevice>();
    opened->device = device;
    WglDevice* handle = opened.get();
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    state.devices.emplace(handle, std::move(opened));
    return handle;
}

BOOL wglDXCloseDeviceNV(HANDLE hDevice) {
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    const auto found = state.devices.find(static_cast<WglDevice*>(hDevice));
    if (found == state.devices.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // Objects still registered die with their device.
    for (WglObject* object : found->second->objects) {
        state.objects.erase(object);
    }
    state.devices.erase(found);
    return TRUE;
}

HANDLE wglDXRegisterObjectNV(HANDLE hDevice, void* dxObject, GLuint name, GLenum type,
                             GLenum access) {
    auto* texture = static_cast<ID3D11Texture2D*>(dxObject);
    std::shared_ptr<EmulatedTexture> memory = Kavrin::DX::Emulation::GetTextureMemory(texture);
    State& state = GetState();
    WglDevice* device = nullptr;
    {
        std::lock_guard lock(state.mutex);
        const auto found = state.devices.find(static_cast<WglDevice*>(hDevice));
        if (found == state.devices.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        device = found->second.get();
    }
    CComPtr<ID3D11Device> owner;
    if (memory) {
        texture->GetDevice(&owner);
    }
    if (!memory || type != GL_TEXTURE_2D || name == 0 || !glIsTexture(name) ||
        owner.p != device->device.p || !LayoutOf(memory->GetFormat())) {
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    if (access > WGL_ACCESS_WRITE_DISCARD_NV) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (const auto failure = Kavrin::DX::Details::TakeFailure(Step::WglRegisterObject)) {
        // The Win32 error HRESULT_FROM_WIN32 turns back into the injected HRESULT.
        const bool win32 = ((*failure >> 16) & 0x1FFF) == static_cast<HRESULT>(FACILITY_WIN32);
        SetLastError(win32 ? static_cast<DWORD>(*failure & 0xFFFF) : static_cast<DWORD>(*failure));
        return nullptr;
    }
    // Registration makes the texture's image that of the Direct3D texture.
    DefineStorage(name, *memory, LayoutOf(memory->GetFormat())->internalFormat);
    auto registered = std::make_unique<WglObject>();
    registered->device = device;
    registered->memory = std::move(memory);
    registered->texture = name;
    registered->access = access;
    WglObject* handle = registered.get();
    std::lock_guard lock(state.mutex);
    if (state.devices.count(device) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    device->objects.insert(handle);
    state.objects.emplace(handle, std::move(registered));
    return handle;
}

BOOL wglDXUnregisterObjectNV(HANDLE hDevice, HANDLE hObject) {
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    const auto device = state.devices.find(static_cast<WglDevice*>(hDevice));
    const auto object = state.objects.find(static_cast<WglObject*>(hObject));
    if (device == state.devices.end() || object == state.objects.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (object->second->device != device->second.get()) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    if (object->second->locked) {
        SetLastError(ERROR_BUSY);
        return FALSE;
    }
    device->second->objects.erase(object->first);
    state.objects.erase(object);
    return TRUE;
}

BOOL wglDXObjectAccessNV(HANDLE hObject, GLenum access) {
    objectAccessCalls.fetch_add(1, std::memory_order_relaxed);
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    const auto object = state.objects.find(static_cast<WglObject*>(hObject));
    if (object == state.objects.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (access > WGL_ACCESS_WRITE_DISCARD_NV) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (object->second->locked) {
        SetLastError(ERROR_BUSY);
        return FALSE;
    }
    object->second->access = access;
    return TRUE;
}

BOOL wglDXLockObjectsNV(HANDLE hDevice, GLint count, HANDLE* hObjects) {
    State& state = GetState();
    std::vector<WglObject*> locked;
    {
        std::lock_guard lock(state.mutex);
        const auto device = state.devices.find(static_cast<WglDevice*>(hDevice));
        if (device == state.devices.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (count < 0 || (count > 0 && hObjects == nullptr)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        // All or nothing: check every object before locking any.
        for (GLint index = 0; index < count; ++index) {
            const auto object = state.objects.find(static_cast<WglObject*>(hObjects[index]));
            if (object == state.objects.end() || object->second->device != device->second.get()) {
                SetLastError(ERROR_INVALID_DATA);
                return FALSE;
            }
            if (object->second->locked) {
                SetLastError(ERROR_BUSY);
                return FALSE;
            }
        }
        if (device->second->device->GetDeviceRemovedReason() != S_OK) {
            SetLastError(ERROR_LOCK_FAILED);
            return FALSE;
        }
        for (GLint index = 0; index < count; ++index) {
            auto* object = static_cast<WglObject*>(hObjects[index]);
            object->locked = true;
            locked.push_back(object);
        }
    }
    for (WglObject* object : locked) {
        if (object->access != WGL_ACCESS_WRITE_DISCARD_NV) {
            ToGL(*object->memory, object->texture);
        }
    }
    return TRUE;
}

BOOL wglDXUnlockObjectsNV(HANDLE hDevice, GLint count, HANDLE* hObjects) {
    State& state = GetState();
    std::vector<WglObject*> unlocking;
    {
        std::lock_guard lock(state.mutex);
        const auto device = state.devices.find(static_cast<WglDevice*>(hDevice));
        if (device == state.devices.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (count < 0 || (count > 0 && hObjects == nullptr)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        for (GLint index = 0; index < count; ++index) {
            const auto object = state.objects.find(static_cast<WglObject*>(hObjects[index]));
            if (object == state.objects.end() || object->second->device != device->second.get()) {
                SetLastError(ERROR_INVALID_DATA);
                return FALSE;
            }
            if (!object->second->locked) {
                SetLastError(ERROR_NOT_LOCKED);
                return FALSE;
            }
            unlocking.push_back(object->second.get());
        }
    }
    // The objects stay locked, so nobody else touches them, until their content is back.
    for (WglObject* object : unlocking) {
        if (object->access != WGL_ACCESS_READ_ONLY_NV) {
            FromGL(object->texture, *object->memory);
        }
    }
    std::lock_guard lock(state.mutex);
    for (WglObject* object : unlocking) {
        object->locked = false;
    }
    return TRUE;
}

void glCreateMemoryObjectsEXT(GLsizei n, GLuint* memoryObjects) {
    GenerateNames(n, memoryObjects, Step::GlCreateMemoryObjects, &State::nextMemory,
                  &State::memories);
}

void glDeleteMemoryObjectsEXT(GLsizei n, const GLuint* memoryObjects) {
    if (n < 0) {
        RaiseGLError(GL_INVALID_VALUE);
        return;
    }
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    for (GLsizei index = 0; index < n; ++index) {
        const auto found = state.memories.find(memoryObjects[index]);
        if (found == state.memories.end()) {
            continue;  // unknown names are ignored, as glDeleteTextures does
        }
        if (found->second.acquired) {
            // Keep the mutex usable for Direct3D; its key stays as it was.
            auto* keyed = found->second.memory->GetKeyedMutex();
            keyed->Release(&found->second, keyed->GetKey());
        }
        state.memories.erase(found);
    }
}

void glImportMemoryWin32HandleEXT(GLuint memory, GLuint64 size, GLenum handleType, void* handle) {
    if (handleType != GL_HANDLE_TYPE_D3D11_IMAGE_EXT &&
        handleType != GL_HANDLE_TYPE_D3D12_RESOURCE_EXT) {
        RaiseGLError(GL_INVALID_ENUM);
        return;
    }
    if (Failing(Step::GlImportMemory)) {
        RaiseGLError(GL_INVALID_OPERATION);
        return;
    }
    std::shared_ptr<EmulatedTexture> texture = Kavrin::DX::Emulation::FindSharedTexture(handle);
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    const auto found = state.memories.find(memory);
    if (found == state.memories.end() || found->second.memory) {
        RaiseGLError(GL_INVALID_OPERATION);
        return;
    }
    if (!texture || (size != 0 && size != texture->GetSize())) {
        RaiseGLError(GL_INVALID_VALUE);
        return;
    }
    found->second.memory = std::move(texture);
}

void glTextureStorageMem2DEXT(GLuint texture, GLsizei levels, GLenum internalFormat, GLsizei width,
                              GLsizei height, GLuint memory, GLuint64 offset) {
    if (Failing(Step::GlTextureStorageMem)) {
        RaiseGLError(GL_INVALID_OPERATION);
        return;
    }
    std::shared_ptr<EmulatedTexture> imported;
    {
        State& state = GetState();
        std::lock_guard lock(state.mutex);
        MemoryObject* object = FindImported(state, memory);
        if (object == nullptr || object->texture != 0 || !glIsTexture(texture)) {
            RaiseGLError(GL_INVALID_OPERATION);
            return;
        }
        const auto layout = LayoutOf(object->memory->GetFormat());
        if (levels != 1 || offset != 0 || !layout || layout->internalFormat != internalFormat ||
            static_cast<UINT>(width) != object->memory->GetWidth() ||
            static_cast<UINT>(height) != object->memory->GetHeight()) {
            RaiseGLError(GL_INVALID_VALUE);
            return;
        }
        object->texture = texture;
        imported = object->memory;
    }
    DefineStorage(texture, *imported, internalFormat);
    ToGL(*imported, texture);
}

GLboolean glAcquireKeyedMutexWin32EXT(GLuint memory, GLuint64 key, GLuint timeout) {
    State& state = GetState();
    std::unique_lock lock(state.mutex);
    MemoryObject* object = FindImported(state, memory);
    if (object == nullptr || object->memory->GetKeyedMutex() == nullptr) {
        RaiseGLError(GL_INVALID_OPERATION);
        return GL_FALSE;
    }
    const std::shared_ptr<EmulatedTexture> texture = object->memory;
    // The wait may be long: other GL-side calls must not block on it. The memory
    // object's address is its identity as a keyed-mutex client.
    const void* client = object;
    lock.unlock();
    if (texture->GetKeyedMutex()->Acquire(client, key, timeout) != S_OK) {
        return GL_FALSE;
    }
    lock.lock();
    object = FindImported(state, memory);
    if (object == nullptr || object->memory != texture) {
        // Deleted while waiting.
        texture->GetKeyedMutex()->Release(client, key);
        return GL_FALSE;
    }
    object->acquired = true;
    const GLuint glTexture = object->texture;
    lock.unlock();
    ToGL(*texture, glTexture);
    return GL_TRUE;
}

GLboolean glReleaseKeyedMutexWin32EXT(GLuint memory, GLuint64 key) {
    State& state = GetState();
    std::unique_lock lock(state.mutex);
    MemoryObject* object = FindImported(state, memory);
    if (object == nullptr || object->memory->GetKeyedMutex() == nullptr || !object->acquired) {
        if (object == nullptr || object->memory->GetKeyedMutex() == nullptr) {
            RaiseGLError(GL_INVALID_OPERATION);
        }
        return GL_FALSE;
    }
    const std::shared_ptr<EmulatedTexture> texture = object->memory;
    const GLuint glTexture = object->texture;
    object->acquired = false;
    lock.unlock();
    FromGL(glTexture, *texture);
    return texture->GetKeyedMutex()->Release(object, key) == S_OK ? GL_TRUE : GL_FALSE;
}

void glGenSemaphoresEXT(GLsizei n, GLuint* semaphores) {
    GenerateNames(n, semaphores, Step::GlGenSemaphores, &State::nextSemaphore, &State::semaphores);
}

void glDeleteSemaphoresEXT(GLsizei n, const GLuint* semaphores) {
    if (n < 0) {
        RaiseGLError(GL_INVALID_VALUE);
        return;
    }
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    for (GLsizei index = 0; index < n; ++index) {
        state.semaphores.erase(semaphores[index]);
    }
}

void glImportSemaphoreWin32HandleEXT(GLuint semaphore, GLenum handleType, void* handle) {
    if (handleType != GL_HANDLE_TYPE_D3D12_FENCE_EXT) {
        RaiseGLError(GL_INVALID_ENUM);
        return;
    }
    if (Failing(Step::GlImportSemaphore)) {
        RaiseGLError(GL_INVALID_OPERATION);
        return;
    }
    std::shared_ptr<EmulatedFence> fence = Kavrin::DX::Emulation::FindSharedFence(handle);
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    const auto found = state.semaphores.find(semaphore);
    if (found == state.semaphores.end() || found->second.fence) {
        RaiseGLError(GL_INVALID_OPERATION);
        return;
    }
    if (!fence) {
        RaiseGLError(GL_INVALID_VALUE);
        return;
    }
    found->second.fence = std::move(fence);
}

void glSemaphoreParameterui64vEXT(GLuint semaphore, GLenum pname, const GLuint64* params) {
    if (pname != GL_D3D12_FENCE_VALUE_EXT) {
        RaiseGLError(GL_INVALID_ENUM);
        return;
    }
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    const auto found = state.semaphores.find(semaphore);
    if (found == state.semaphores.end()) {
        RaiseGLError(GL_INVALID_OPERATION);
        return;
    }
    found->second.value = *params;
}

void glSignalSemaphoreEXT(GLuint semaphore, GLuint, const GLuint*, GLuint numTextureBarriers,
                          const GLuint* textures, const GLenum*) {
    State& state = GetState();
    std::unique_lock lock(state.mutex);
    const auto found = state.semaphores.find(semaphore);
    if (found == state.semaphores.end() || !found->second.fence) {
        RaiseGLError(GL_INVALID_OPERATION);
        return;
    }
    const std::shared_ptr<EmulatedFence> fence = found->second.fence;
    const GLuint64 value = found->second.value;
    const auto handed = SemaphoreTextures(state, numTextureBarriers, textures);
    lock.unlock();
    // GL's work is done once the fence says so: content first.
    glFinish();
    for (const auto& [memory, texture] : handed) {
        FromGL(texture, *memory);
    }
    fence->Signal(value);
}

void glWaitSemaphoreEXT(GLuint semaphore, GLuint, const GLuint*, GLuint numTextureBarriers,
                        const GLuint* textures, const GLenum*) {
    State& state = GetState();
    std::unique_lock lock(state.mutex);
    const auto found = state.semaphores.find(semaphore);
    if (found == state.semaphores.end() || !found->second.fence) {
        RaiseGLError(GL_INVALID_OPERATION);
        return;
    }
    const std::shared_ptr<EmulatedFence> fence = found->second.fence;
    const GLuint64 value = found->second.value;
    const auto taken = SemaphoreTextures(state, numTextureBarriers, textures);
    lock.unlock();
    fence->Wait(value, INFINITE);
    for (const auto& [memory, texture] : taken) {
        ToGL(*memory, texture);
    }
}

void glGetUnsignedBytevEXT(GLenum pname, GLubyte* data) {
    if (pname == GL_DEVICE_LUID_EXT) {
        const auto luid = Kavrin::DX::Emulation::GetGlDeviceLuid();
        if (!luid || Missing("GL_EXT_memory_object_win32")) {
            RaiseGLError(GL_INVALID_ENUM);
            return;
        }
        static_assert(sizeof(LUID) == GL_LUID_SIZE_EXT);
        std::memcpy(data, &*luid, sizeof(LUID));
        return;
    }
    if (__glewGetUnsignedBytevEXT == nullptr) {
        RaiseGLError(GL_INVALID_ENUM);
        return;
    }
    __glewGetUnsignedBytevEXT(pname, data);
}

namespace Kavrin::DX {

bool IsGLExtensionSupported(const std::string& name) {
    static const std::set<std::string> emulated = {
        "WGL_NV_DX_interop",          "WGL_NV_DX_interop2", "GL_EXT_memory_object",
        "GL_EXT_memory_object_win32", "GL_EXT_semaphore",   "GL_EXT_semaphore_win32",
        "GL_EXT_win32_keyed_mutex",
    };
    if (emulated.count(name) != 0) {
        return !Emulation::IsExtensionMissing(name);
    }
    return glewIsSupported(name.c_str()) == GL_TRUE;
}

std::size_t GetWglObjectAccessCallCount() { return objectAccessCalls.load(); }

std::size_t GetLiveGLInteropObjectCount() {
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    return state.memories.size() + state.semaphores.size() + state.devices.size() +
           state.objects.size();
}

}  // namespace Kavrin::DX
