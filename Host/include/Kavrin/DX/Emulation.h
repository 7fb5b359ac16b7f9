#pragma once

// Control of the DirectX emulation: which adapters the machine has, the failures
// tests inject, and the calls through which the GL side of sharing reaches the
// emulated memory, keyed mutexes and fences. All functions are thread-safe.

#include <cstddef>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Kavrin/DX/AdapterDescription.h"
#include "Kavrin/DX/EmulatedFence.h"
#include "Kavrin/DX/EmulatedTexture.h"
#include "Kavrin/Win/D3D11.h"
#include "Kavrin/Win/D3D12.h"

namespace Kavrin::DX::Emulation {

// One adapter of the emulated machine and how its devices behave.
struct AdapterConfig {
    AdapterDescription description;
    // Highest feature level; Direct3D 11 devices get at most 11.1, Direct3D 12 needs 11.0.
    D3D_FEATURE_LEVEL featureLevel = D3D_FEATURE_LEVEL_12_1;
    // Failures of device creation (S_OK: works), e.g. DXGI_ERROR_UNSUPPORTED.
    HRESULT d11CreateResult = S_OK;
    HRESULT d12CreateResult = S_OK;
    // What linking a Direct3D 11 device of this adapter with OpenGL answers (S_OK: works).
    HRESULT linkResult = S_OK;
    bool fencesSupported = true;
    // OpenGL renders on this adapter: its LUID is what GL_DEVICE_LUID_EXT reports.
    bool glAdapter = false;
};

// The adapter of the default machine: the GL renderer's name, vendor keywords taken
// from the GL vendor string, a fixed LUID, and marked as the GL adapter.
AdapterConfig MakeDefaultAdapter();

// Replaces the adapter list (in enumeration order); devices already made keep theirs.
void SetAdapters(std::vector<AdapterConfig> adapters);
std::vector<AdapterConfig> GetAdapters();
// The configuration of the adapter with this LUID, if listed.
std::optional<AdapterConfig> FindAdapter(const LUID& luid);

// The GL driver's GL_VENDOR and GL_RENDERER (default "Mesa/X.org", "llvmpipe"); the
// default adapter follows them until SetAdapters replaces the list.
void SetGlDriverStrings(std::string vendor, std::string renderer);
// The LUID GL_DEVICE_LUID_EXT reports: that of the adapter marked glAdapter; empty
// when there is none or SetGlLuidUnknown(true).
std::optional<LUID> GetGlDeviceLuid();
void SetGlLuidUnknown(bool unknown);

// What linking a Direct3D 11 device of that adapter with OpenGL answers; E_FAIL for
// an adapter not listed.
HRESULT GetLinkResult(const LUID& adapter);

// The Direct3D shader compiler (D3ShaderBytecode::IsCompilerLoaded); default present.
void SetCompilerLoaded(bool loaded);
bool IsCompilerLoaded();
// Direct3D 12 on the machine (D12Device::IsAvailable); default available.
void SetD12Available(bool available);
bool IsD12Available();
// What D12Device::GetSDKVersion answers; default 610.
void SetD12SDKVersion(std::optional<unsigned> version);
std::optional<unsigned> GetD12SDKVersion();

// GL extensions (WGL_NV_DX_interop, GL_EXT_memory_object_win32, ...) the emulated GL
// side must report missing.
void SetExtensionMissing(const std::string& name, bool missing);
bool IsExtensionMissing(const std::string& name);
std::set<std::string> GetMissingExtensions();

// Marks every live device on that adapter lost: GetDeviceRemovedReason answers
// `reason`, further work on them throws it. Devices made later are unaffected.
void RemoveDevices(const LUID& adapter, HRESULT reason = DXGI_ERROR_DEVICE_REMOVED);

// The driver calls a shared surface is made of, each of which a test can make fail.
enum class Step {
    D11CreateTexture2D,        // D11Device::CreateTexture2D
    D11CreateSharedTexture,    // D11SharedTexture2D::Create
    D11CreateSharedHandle,     // D11SharedTexture2D::CreateSharedHandle
    D12CreateTexture2D,        // D12Device::CreateTexture2D
    D12CreateSharedHandle,     // D12Device::CreateSharedHandle
    D12OpenSharedResource,     // D12Device::OpenSharedResource
    D12CreateCompletionEvent,  // D12Device::CreateCompletionEvent
    D11OpenSharedEvent,        // D11CompletionEvent::OpenShared
    WglRegisterObject,         // wglDXRegisterObjectNV
    GlCreateMemoryObjects,     // glCreateMemoryObjectsEXT
    GlImportMemory,            // glImportMemoryWin32HandleEXT
    GlTextureStorageMem,       // glTextureStorageMem2DEXT
    GlGenSemaphores,           // glGenSemaphoresEXT
    GlImportSemaphore,         // glImportSemaphoreWin32HandleEXT
};
const char* StepName(Step step);

// Makes the call of `step` after `skip` successful ones fail as a driver's would,
// once: the Direct3D calls throw DirectXException with `result`;
// wglDXRegisterObjectNV returns null with the last error `result` converts from
// (its Win32 code, or `result` itself outside FACILITY_WIN32); the GL creations
// give the name 0 and the GL imports and storage GL_INVALID_OPERATION, without
// doing anything else. A second FailNext of the same step replaces the first.
void FailNext(Step step, HRESULT result = E_FAIL, unsigned skip = 0);
// Whether the failure armed for `step` is still waiting for its call.
bool IsFailurePending(Step step);

// Back to the default machine and no injected failures. Live objects stay as they are.
void Reset();

// The memory behind an emulated texture or resource; null for null or for objects the
// emulation did not make.
std::shared_ptr<EmulatedTexture> GetTextureMemory(ID3D11Resource* resource);
std::shared_ptr<EmulatedTexture> GetTextureMemory(ID3D12Resource* resource);
// The adapter of an emulated Direct3D 11 device; empty for null or foreign devices.
std::optional<LUID> GetDeviceLuid(ID3D11Device* device);

// What a shared handle names. Empty (and the last error ERROR_INVALID_HANDLE) for a
// closed handle or one naming something else.
std::shared_ptr<EmulatedTexture> FindSharedTexture(HANDLE handle);
std::shared_ptr<EmulatedFence> FindSharedFence(HANDLE handle);
// The access a texture handle was made with; empty as above.
std::optional<DWORD> GetSharedHandleAccess(HANDLE handle);
// Handles open in the process's handle table.
std::size_t GetOpenHandleCount();

}  // namespace Kavrin::DX::Emulation
