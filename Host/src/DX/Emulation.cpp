#include "Kavrin/DX/Emulation.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <mutex>
#include <utility>

#include "Kavrin/DX/DirectXException.h"
#include "Kavrin/Win/WinBase.h"

#include "Details/DeviceState.h"
#include "Details/EmulatedObjects.h"
#include "Details/Faults.h"
#include "Details/HandleTable.h"

namespace Kavrin::DX {
namespace {

// Mesa's Khronos vendor id: llvmpipe has no PCI vendor.
constexpr UINT kMesaVendorId = 0x10005;
constexpr LUID kDefaultLuid{0x0001C8E4, 0};

struct State {
    // Guards every field; a leaf lock.
    std::mutex mutex;
    std::string glVendor = "Mesa/X.org";
    std::string glRenderer = "llvmpipe";
    // Empty: the default adapter, which follows the GL driver strings.
    std::optional<std::vector<Emulation::AdapterConfig>> adapters;
    bool glLuidUnknown = false;
    bool compilerLoaded = true;
    bool d12Available = true;
    std::optional<unsigned> sdkVersion = 610;
    std::set<std::string> missingExtensions;
    std::vector<std::weak_ptr<Details::DeviceState>> devices;
    struct Failure {
        HRESULT result;
        unsigned skip;
    };
    std::map<Emulation::Step, Failure> failures;
};

State& GetState() {
    static State* state = new State();  // never destroyed: devices may outlive statics
    return *state;
}

// Lower-case words of a GL vendor string ("Mesa/X.org" gives "mesa" and "x.org").
std::vector<std::string> KeywordsOf(const std::string& vendor) {
    std::vector<std::string> words;
    std::string word;
    for (char c : vendor + ' ') {
        if (c == ' ' || c == '/' || c == ',' || c == '(' || c == ')') {
            if (word.size() > 1)
                words.push_back(word);
            word.clear();
        } else {
            word += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
    }
    return words;
}

Emulation::AdapterConfig MakeDefaultAdapterLocked(const State& state) {
    Emulation::AdapterConfig adapter;
    adapter.description.name = state.glRenderer;
    adapter.description.luid = kDefaultLuid;
    adapter.description.vendorId = kMesaVendorId;
    adapter.description.deviceId = 1;
    adapter.description.qualifier = (std::uint64_t(kMesaVendorId) << 32) | 1;
    adapter.description.vendorKeywords = KeywordsOf(state.glVendor);
    adapter.description.software = true;
    adapter.description.driverVersion = (22ull << 48) | (3ull << 32) | (6ull << 16);
    adapter.glAdapter = true;
    return adapter;
}

std::vector<Emulation::AdapterConfig> AdaptersLocked(const State& state) {
    if (state.adapters)
        return *state.adapters;
    return {MakeDefaultAdapterLocked(state)};
}

}  // namespace

namespace Details {

std::shared_ptr<DeviceState> MakeDeviceState(std::shared_ptr<const AdapterDescription> adapter) {
    auto device = std::make_shared<DeviceState>(std::move(adapter));
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    std::erase_if(state.devices, [](const auto& weak) { return weak.expired(); });
    state.devices.push_back(device);
    return device;
}

void RemoveDevices(const LUID& adapter, HRESULT reason) {
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    for (const auto& weak : state.devices) {
        if (auto device = weak.lock(); device && device->Luid() == adapter)
            device->removedReason.store(reason);
    }
}

std::optional<HRESULT> TakeFailure(Emulation::Step step) {
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    const auto found = state.failures.find(step);
    if (found == state.failures.end())
        return std::nullopt;
    if (found->second.skip > 0) {
        --found->second.skip;
        return std::nullopt;
    }
    const HRESULT result = found->second.result;
    state.failures.erase(found);
    return result;
}

void ThrowIfFailing(Emulation::Step step, const char* function) {
    if (const std::optional<HRESULT> result = TakeFailure(step)) {
        KAVRIN_THROW_DX(function, *result, std::string(Emulation::StepName(step)) + " failed");
    }
}

void CheckNotRemoved(const DeviceState& device, const char* function) {
    const HRESULT reason = device.removedReason.load();
    if (reason != S_OK)
        KAVRIN_THROW_DX(function, reason, "The Direct3D device was removed");
}

}  // namespace Details

namespace Emulation {

AdapterConfig MakeDefaultAdapter() {
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    return MakeDefaultAdapterLocked(state);
}

void SetAdapters(std::vector<AdapterConfig> adapters) {
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    state.adapters = std::move(adapters);
}

std::vector<AdapterConfig> GetAdapters() {
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    return AdaptersLocked(state);
}

std::optional<AdapterConfig> FindAdapter(const LUID& luid) {
    for (AdapterConfig& adapter : GetAdapters()) {
        if (adapter.description.luid == luid)
            return std::move(adapter);
    }
    return std::nullopt;
}

void SetGlDriverStrings(std::string vendor, std::string renderer) {
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    state.glVendor = std::move(vendor);
    state.glRenderer = std::move(renderer);
}

std::optional<LUID> GetGlDeviceLuid() {
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    if (state.glLuidUnknown)
        return std::nullopt;
    for (const AdapterConfig& adapter : AdaptersLocked(state)) {
        if (adapter.glAdapter)
            return adapter.description.luid;
    }
    return std::nullopt;
}

void SetGlLuidUnknown(bool unknown) {
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    state.glLuidUnknown = unknown;
}

HRESULT GetLinkResult(const LUID& adapter) {
    const std::optional<AdapterConfig> config = FindAdapter(adapter);
    return config ? config->linkResult : E_FAIL;
}

void SetCompilerLoaded(bool loaded) {
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    state.compilerLoaded = loaded;
}

bool IsCompilerLoaded() {
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    return state.compilerLoaded;
}

void SetD12Available(bool available) {
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    state.d12Available = available;
}

bool IsD12Available() {
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    return state.d12Available;
}

void SetD12SDKVersion(std::optional<unsigned> version) {
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    state.sdkVersion = version;
}

std::optional<unsigned> GetD12SDKVersion() {
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    return state.sdkVersion;
}

void SetExtensionMissing(const std::string& name, bool missing) {
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    if (missing)
        state.missingExtensions.insert(name);
    else
        state.missingExtensions.erase(name);
}

bool IsExtensionMissing(const std::string& name) {
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    return state.missingExtensions.count(name) != 0;
}

std::set<std::string> GetMissingExtensions() {
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    return state.missingExtensions;
}

void RemoveDevices(const LUID& adapter, HRESULT reason) { Details::RemoveDevices(adapter, reason); }

const char* StepName(Step step) {
    switch (step) {
        case Step::D11CreateTexture2D:
            return "D11Device::CreateTexture2D";
        case Step::D11CreateSharedTexture:
            return "D11SharedTexture2D::Create";
        case Step::D11CreateSharedHandle:
            return "D11SharedTexture2D::CreateSharedHandle";
        case Step::D12CreateTexture2D:
            return "D12Device::CreateTexture2D";
        case Step::D12CreateSharedHandle:
            return "D12Device::CreateSharedHandle";
        case Step::D12OpenSharedResource:
            return "D12Device::OpenSharedResource";
        case Step::D12CreateCompletionEvent:
            return "D12Device::CreateCompletionEvent";
        case Step::D11OpenSharedEvent:
            return "D11CompletionEvent::OpenShared";
        case Step::WglRegisterObject:
            return "wglDXRegisterObjectNV";
        case Step::GlCreateMemoryObjects:
            return "glCreateMemoryObjectsEXT";
        case Step::GlImportMemory:
            return "glImportMemoryWin32HandleEXT";
        case Step::GlTextureStorageMem:
            return "glTextureStorageMem2DEXT";
        case Step::GlGenSemaphores:
            return "glGenSemaphoresEXT";
        case Step::GlImportSemaphore:
            return "glImportSemaphoreWin32HandleEXT";
    }
    return "unknown step";
}

void FailNext(Step step, HRESULT result, unsigned skip) {
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    state.failures.insert_or_assign(step, State::Failure{result, skip});
}

bool IsFailurePending(Step step) {
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    return state.failures.count(step) != 0;
}

void Reset() {
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    state.failures.clear();
    state.glVendor = "Mesa/X.org";
    state.glRenderer = "llvmpipe";
    state.adapters.reset();
    state.glLuidUnknown = false;
    state.compilerLoaded = true;
    state.d12Available = true;
    state.sdkVersion = 610;
    state.missingExtensions.clear();
}

std::shared_ptr<EmulatedTexture> GetTextureMemory(ID3D11Resource* resource) {
    const Details::D11TextureImpl* texture = Details::AsEmulated(resource);
    return texture ? texture->memory : nullptr;
}

std::shared_ptr<EmulatedTexture> GetTextureMemory(ID3D12Resource* resource) {
    const Details::D12ResourceImpl* emulated = Details::AsEmulated(resource);
    return emulated ? emulated->memory : nullptr;
}

std::optional<LUID> GetDeviceLuid(ID3D11Device* device) {
    const auto* emulated = dynamic_cast<Details::D11DeviceImpl*>(device);
    if (!emulated)
        return std::nullopt;
    return emulated->state->Luid();
}

std::shared_ptr<EmulatedTexture> FindSharedTexture(HANDLE handle) {
    const std::optional<Details::HandleEntry> entry = Details::LookupHandle(handle);
    if (entry) {
        if (const auto* texture = std::get_if<std::shared_ptr<EmulatedTexture>>(&entry->object))
            return *texture;
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
}

std::shared_ptr<EmulatedFence> FindSharedFence(HANDLE handle) {
    const std::optional<Details::HandleEntry> entry = Details::LookupHandle(handle);
    if (entry) {
        if (const auto* fence = std::get_if<std::shared_ptr<EmulatedFence>>(&entry->object))
            return *fence;
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
}

std::optional<DWORD> GetSharedHandleAccess(HANDLE handle) {
    const std::optional<Details::HandleEntry> entry = Details::LookupHandle(handle);
    if (!entry) {
        SetLastError(ERROR_INVALID_HANDLE);
        return std::nullopt;
    }
    return entry->access;
}

std::size_t GetOpenHandleCount() { return Details::OpenHandleCount(); }

}  // namespace Emulation
}  // namespace Kavrin::DX
