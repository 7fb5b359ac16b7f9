// The DirectX stand-in where the interop tests do not reach it (keyed-mutex keys:
// the surface tests).
#include <thread>

#include "DXTestSupport.h"
#include "LogCapture.h"

namespace {

using namespace Kavrin::DX;
using namespace Kavrin::Test;
using namespace std::string_literals;

constexpr D3D12_RESOURCE_STATES kCommon = D3D12_RESOURCE_STATE_COMMON;
constexpr D3D12_RESOURCE_STATES kSource = D3D12_RESOURCE_STATE_COPY_SOURCE;
constexpr D3D12_RESOURCE_STATES kDest = D3D12_RESOURCE_STATE_COPY_DEST;

// Distinct bytes, so that a copy of the wrong rows or of nothing shows.
std::vector<std::byte> Pattern(std::size_t size, unsigned seed) {
    std::vector<std::byte> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::byte>((i * 7 + seed * 31 + 1) & 0xFF);
    return bytes;
}

Emulation::AdapterConfig Adapter(const std::string& name, DWORD luidLow,
                                 std::vector<std::string> keywords) {
    return {{name, {luidLow, 0}, 0x10DE00000001ull, std::move(keywords), 0x10DE}};
}

// Every case starts on the default machine with one device of each kind, a command
// allocator and a keyed-mutex texture, and must leave no object or handle behind.
class DXTest : public ::testing::Test {
protected:
    void SetUp() override {
        Emulation::Reset();
        before = {GetLiveObjectCount(), Emulation::GetOpenHandleCount()};
        d11 = D11Device::Create(FirstAdapter());
        d12 = D12Device::Create(*Emulation::GetGlDeviceLuid());
        allocator = D12CommandAllocator::Create(d12);
        keyed = D11SharedTexture2D::Create(d11, Desc(1, 1));
        memory = Emulation::GetTextureMemory(keyed->GetTexture().p);
    }
    void TearDown() override {
        D12CommandAllocator::WaitAllComplete();
        memory.reset();
        keyed.reset();
        allocator.reset();
        d12.reset();
        d11.reset();
        D12CommandAllocator::WaitAllComplete();
        EXPECT_EQ(std::pair(GetLiveObjectCount(), Emulation::GetOpenHandleCount()), before)
            << ::testing::PrintToString(GetLiveObjects());
        Emulation::Reset();
    }

    CComPtr<ID3D12Resource> Texture(UINT width = 8,
                                    D3D12_RESOURCE_FLAGS flags = D3D12_RESOURCE_FLAG_NONE) {
        return d12->CreateTexture2D(
            {1, width, 4, 1, 1, DXGI_FORMAT_R16G16B16A16_FLOAT, {1, 0}, flags});
    }

    // Submits one closed list of `record`'s commands.
    HRESULT Execute(const std::function<void(D12GraphicsCommandList&)>& record) {
        auto list = allocator->CreateCommandList();
        record(*list);
        list->Close();
        return ResultOf([&] { d12->GetQueue()->ExecuteCommandLists({list}); });
    }

    std::pair<std::size_t, std::size_t> before;
    boost::intrusive_ptr<D11Device> d11;
    boost::intrusive_ptr<D12Device> d12;
    boost::intrusive_ptr<D12CommandAllocator> allocator;
    boost::intrusive_ptr<D11SharedTexture2D> keyed;
    std::shared_ptr<EmulatedTexture> memory;
    const int glClient = 0;  // stands for a GL memory object
};

void Barrier(D12GraphicsCommandList& list, ID3D12Resource* resource, D3D12_RESOURCE_STATES before,
             D3D12_RESOURCE_STATES after, UINT subresource = ~0u) {
    D3D12_RESOURCE_BARRIER barrier{};
    barrier.Type = D3D12_RESOURCE_BARRIER_TYPE_TRANSITION;
    barrier.Transition = {resource, subresource, before, after};
    list.ResourceBarrier(1, &barrier);
}

TEST_F(DXTest, EveryMisuseAndInjectedFailureHasItsResult) {
    CComPtr<ID3D11Texture2D> plain = d11->CreateTexture2D(Desc(1, 1), nullptr);
    CComPtr<ID3D11Texture2D> other = d11->CreateTexture2D(Desc(3, 3), nullptr);
    auto mipmapped = Desc(4, 4);
    mipmapped.MipLevels = 0;
    CComPtr<ID3D12Resource> texture = Texture();
    CComPtr<ID3D12Resource> bigger = Texture(16);
    auto open = allocator->CreateCommandList();
    auto closed = allocator->CreateCommandList();
    closed->Close();
    const auto local = d12->CreateCompletionEvent(D3D12_FENCE_FLAG_NONE);
    const auto copy = [&](ID3D11Texture2D* to, ID3D11Texture2D* from) {
        d11->Encode([&](const auto& context) { context->CopyResource(to, from); });
    };
    constexpr HRESULT kInvalid = E_INVALIDARG;
    constexpr HRESULT kInvalidCall = DXGI_ERROR_INVALID_CALL;
    const std::tuple<const char*, std::function<void()>, HRESULT> rows[] = {
        {"D3D11 copy of another size", [&] { copy(other, plain); }, kInvalid},
        {"keyed copy not acquired", [&] { copy(plain, keyed->GetTexture()); }, kInvalidCall},
        {"mipmapped texture", [&] { d11->CreateTexture2D(mipmapped, nullptr); }, kInvalid},
        {"planar", [&] { d11->CreateTexture2D(Desc(4, 4, DXGI_FORMAT_NV12), nullptr); }, kInvalid},
        {"empty texture", [&] { d11->CreateTexture2D(Desc(0, 4), nullptr); }, kInvalid},
        {"shared handle without access", [&] { keyed->CreateSharedHandle(0); }, kInvalid},
        {"handle with other access", [&] { keyed->CreateSharedHandle(GENERIC_ALL); }, kInvalid},
        {"barrier to the same state", [&] { Barrier(*open, texture, kDest, kDest); }, kInvalid},
        {"subresource barrier", [&] { Barrier(*open, texture, kCommon, kDest, 1); }, kInvalid},
        {"D3D12 copy of another size", [&] { open->CopyResource(bigger, texture); }, kInvalid},
        {"D3D12 copy onto itself", [&] { open->CopyResource(texture, texture); }, kInvalid},
        {"open list run", [&] { d12->GetQueue()->ExecuteCommandLists({open}); }, kInvalidCall},
        {"closing twice", [&] { closed->Close(); }, E_FAIL},
        {"copy into a closed list", [&] { closed->CopyResource(bigger, bigger); }, kInvalid},
        {"closed list barrier", [&] { Barrier(*closed, texture, kCommon, kDest); }, kInvalidCall},
        {"D3D11 opens local fence", [&] { D11CompletionEvent::OpenShared(d11, local); }, kInvalid},
        {"releasing a mutex not held", [&] { keyed->ReleaseSync(0); }, kInvalidCall},
        {"acquiring twice", [&] { keyed->AcquireSync(0, 0), keyed->AcquireSync(0, 0); },
         kInvalidCall},
        {"D3D12 device on no adapter",
         [&] {
             D12Device::Create(LUID{0x999, 9});
         },
         DXGI_ERROR_NOT_FOUND}};
    for (const auto& [what, call, result] : rows)
        EXPECT_EQ(ResultOf(call), result) << what;
    EXPECT_TRUE(open->GetCommands().empty() && closed->GetCommands().empty());
    EXPECT_EQ(memory->GetKeyedMutex()->Release(&glClient, 0), DXGI_ERROR_INVALID_CALL)
        << "held by the other";
    keyed->ReleaseSync(0);
    EXPECT_EQ(std::pair(d11->GetFeatureLevel(), d11->GetLevelName()),
              std::pair(D3D_FEATURE_LEVEL_11_1, std::string("11.1")));
}

TEST_F(DXTest, InjectedDeviceFailuresHaveTheirResults) {
    auto old = Adapter("Old GPU", 1, {"intel"});
    old.featureLevel = D3D_FEATURE_LEVEL_9_3;
    auto failing = Adapter("Failing GPU", 2, {"amd"});
    failing.d11CreateResult = E_OUTOFMEMORY;
    auto refused = Adapter("Refusing GPU", 3, {"amd"});
    refused.d11CreateResult = DXGI_ERROR_UNSUPPORTED;
    refused.d12CreateResult = DXGI_ERROR_DRIVER_INTERNAL_ERROR;
    Emulation::SetAdapters({old, failing, refused});
    const auto adapters = Enumerate();
    ASSERT_EQ(adapters.size(), 3u);
    const std::pair<int, Failure> creations[] = {
        {0,
         {"DirectX 11 device interface or feature level is not supported on Old GPU",
          DXGI_ERROR_UNSUPPORTED, "Create"}},
        {1, {"Failed to create a DirectX 11 device on Failing GPU", E_OUTOFMEMORY, "Create"}},
        {2,
         {"Failed to create a DirectX 11 device on Refusing GPU", DXGI_ERROR_UNSUPPORTED,
          "Create"}}};
    for (const auto& [index, failure] : creations)
        EXPECT_EQ(FailureOf([&] { D11Device::Create(adapters[index]); }), failure) << index;
    EXPECT_EQ(ResultOf([&] { D12Device::Create(LUID{3, 0}); }), DXGI_ERROR_DRIVER_INTERNAL_ERROR);
    auto noFences = Emulation::MakeDefaultAdapter();
    noFences.fencesSupported = false;
    Emulation::SetAdapters({noFences});
    auto withoutFences = D11Device::Create(FirstAdapter());
    EXPECT_FALSE(withoutFences->IsFencesSupported());
    const auto shared = D12Device::Create(noFences.description.luid)
                            ->CreateCompletionEvent(D3D12_FENCE_FLAG_SHARED);
    EXPECT_EQ(ResultOf([&] { D11CompletionEvent::OpenShared(withoutFences, shared); }),
              E_NOINTERFACE);
    Emulation::SetAdapters({});  // the adapter vanishes after enumeration
    EXPECT_EQ(ResultOf([&] { D11Device::Create(adapters[0]); }), DXGI_ERROR_NOT_FOUND);
    Emulation::Reset();
    const LUID luid = *Emulation::GetGlDeviceLuid();
    Emulation::SetD12SDKVersion(std::nullopt);
    EXPECT_FALSE(D12Device::Create(luid)->GetSDKVersion());
    Emulation::SetD12Available(false);
    EXPECT_EQ(std::pair(D12Device::IsAvailable(), ResultOf([&] { D12Device::Create(luid); })),
              std::pair(false, DXGI_ERROR_UNSUPPORTED));
}

TEST_F(DXTest, MachineFollowsTheGlDriverOrTheConfiguredListAndLosesDevices) {
    auto adapters = Enumerate();
    ASSERT_EQ(adapters.size(), 1u);
    const AdapterDescription& description = *adapters[0].GetDescription();
    EXPECT_EQ(
        std::tuple(description.name, description.qualifier != 0, description.GetDriverVersion()),
        std::tuple("llvmpipe"s, true, "22.3.6.0"s));
    // The interop code keeps an adapter whose keyword occurs in the lower-cased GL_VENDOR.
    ASSERT_FALSE(description.vendorKeywords.empty());
    for (const std::string& keyword : description.vendorKeywords)
        EXPECT_NE(std::string("mesa/x.org").find(keyword), std::string::npos) << keyword;
    EXPECT_TRUE(*Emulation::GetGlDeviceLuid() == description.luid);
    EXPECT_TRUE(Enumerate(DXGIEnumFlags::Hardware).empty()) << "llvmpipe is software";
    Emulation::SetGlDriverStrings("NVIDIA Corporation", "NVIDIA GeForce RTX 3060/PCIe/SSE2");
    adapters = Enumerate();
    EXPECT_EQ(adapters.at(0).GetDescription()->name, "NVIDIA GeForce RTX 3060/PCIe/SSE2");
    const auto& keywords = adapters[0].GetDescription()->vendorKeywords;
    EXPECT_NE(std::find(keywords.begin(), keywords.end(), "nvidia"), keywords.end());

    auto first = Adapter("First GPU", 0x10, {"nvidia"});
    first.description.driverVersion = (31ull << 48) | (0ull << 32) | (15ull << 16) | 3623;
    auto marked = Adapter("Unknown GPU", 0x20, {});
    marked.glAdapter = true;
    Emulation::SetAdapters({first, marked});
    adapters = Enumerate(DXGIEnumFlags::Hardware);
    ASSERT_EQ(adapters.size(), 2u);
    EXPECT_EQ(adapters[0].GetDescription()->name, "First GPU");
    EXPECT_TRUE(*Emulation::GetGlDeviceLuid() == (LUID{0x20, 0}));
    auto device = D11Device::Create(adapters[0]);
    EXPECT_EQ(std::pair(device->GetAdapterName(), device->GetDriverVersion()),
              std::pair("First GPU"s, "31.0.15.3623"s));
    EXPECT_TRUE(device->GetAdapterLuid() == (LUID{0x10, 0}) &&
                *Emulation::GetDeviceLuid(device->Get()) == (LUID{0x10, 0}));

    // Removal hits the live devices of that adapter only.
    auto d12 = D12Device::Create(device->GetAdapterLuid());
    auto unaffected = D11Device::Create(adapters[1]);
    auto list = D12CommandAllocator::Create(d12)->CreateCommandList();
    list->Close();
    Emulation::RemoveDevices(device->GetAdapterLuid(), DXGI_ERROR_DEVICE_HUNG);
    constexpr HRESULT kHung = DXGI_ERROR_DEVICE_HUNG;
    EXPECT_EQ(std::tuple(device->Get()->GetDeviceRemovedReason(), d12->GetDeviceRemovedReason(),
                         unaffected->GetDeviceRemovedReason(),
                         ResultOf([&] { device->CreateTexture2D(Desc(2, 2), nullptr); }),
                         ResultOf([&] { d12->GetQueue()->ExecuteCommandLists({list}); }),
                         D11Device::Create(adapters[0])->GetDeviceRemovedReason()),
              std::tuple(kHung, kHung, S_OK, kHung, kHung, S_OK));
    marked.glAdapter = false;
    Emulation::SetAdapters({marked});
    EXPECT_FALSE(Emulation::GetGlDeviceLuid()) << "no adapter carries GL";
    Emulation::Reset();
    Emulation::SetGlLuidUnknown(true);
    EXPECT_FALSE(Emulation::GetGlDeviceLuid());
}

TEST_F(DXTest, InitialDataHonoursThePitchAndContextsStayInsideEncode) {
    // Rows of 3 RGBA8 pixels given with a padded pitch of 16 bytes.
    const std::vector<std::byte> padded = Pattern(16 * 2, 1);
    const D3D11_SUBRESOURCE_DATA data{padded.data(), 16, 0};
    CComPtr<ID3D11Texture2D> source = d11->CreateTexture2D(Desc(3, 2), &data);
    const auto bytes = Emulation::GetTextureMemory(source.p)->ReadAll();
    ASSERT_EQ(bytes.size(), 24u);
    for (std::size_t row = 0; row < 2; ++row)
        EXPECT_TRUE(std::equal(bytes.begin() + row * 12, bytes.begin() + row * 12 + 12,
                               padded.begin() + row * 16));

    boost::intrusive_ptr<D11DeviceContext> escaped;
    d11->Encode([&](const auto& context) { escaped = context; });
    EXPECT_THROW(escaped->CopyResource(source, source), std::logic_error);
    d11->Encode([&](const auto& context) {
        std::thread([&] {
            EXPECT_THROW(context->CopyResource(source, source), std::logic_error);
        }).join();
    });
}

TEST_F(DXTest, HandlesKeepTheirObjectUntilClosedAndCloseOnce) {
    auto shared = D11SharedTexture2D::Create(d11, Desc(4, 4));
    const HANDLE handle =
        shared->CreateSharedHandle(DXGI_SHARED_RESOURCE_READ | DXGI_SHARED_RESOURCE_WRITE);
    ASSERT_NE(handle, nullptr);
    auto texture = Emulation::GetTextureMemory(shared->GetTexture().p);
    EXPECT_EQ(Emulation::FindSharedTexture(handle), texture);
    const std::weak_ptr<EmulatedTexture> weak = texture;
    texture->Write(Pattern(texture->GetSize(), 2));
    texture.reset();
    shared.reset();
    ASSERT_FALSE(weak.expired()) << "the handle must keep the memory alive";
    CComPtr<ID3D12Resource> opened = d12->OpenSharedResource(handle);
    EXPECT_EQ(Emulation::GetTextureMemory(opened.p)->ReadAll(), Pattern(64, 2));
    EXPECT_EQ(opened->GetDesc().Width, 4u);
    const auto close = [](HANDLE closed) {
        SetLastError(ERROR_SUCCESS);
        const BOOL closedNow = CloseHandle(closed);
        return std::pair(closedNow, GetLastError());
    };
    EXPECT_EQ(close(handle), std::pair(TRUE, DWORD(ERROR_SUCCESS)));
    EXPECT_EQ(close(handle), std::pair(FALSE, DWORD(ERROR_INVALID_HANDLE)));
    EXPECT_EQ(Emulation::FindSharedTexture(handle), nullptr);
    EXPECT_EQ(ResultOf([&] { d12->OpenSharedResource(handle); }), E_INVALIDARG);
    std::thread([] { EXPECT_EQ(GetLastError(), ERROR_SUCCESS) << "per thread"; }).join();
    opened = nullptr;
    EXPECT_TRUE(weak.expired());

    // A shared fence's handle is its event's, and goes with it.
    auto event = d12->CreateCompletionEvent(D3D12_FENCE_FLAG_SHARED);
    const HANDLE fence = event->GetSharedHandle();
    EXPECT_TRUE(!Emulation::FindSharedTexture(fence) &&
                Emulation::FindSharedFence(fence) == event->GetFence());
    event.reset();
    EXPECT_EQ(Emulation::FindSharedFence(fence), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// A submission whose barrier names the wrong state is refused whole, naming the
// resource; read-only promotions and simultaneous-access textures decay to COMMON.
TEST_F(DXTest, QueueChecksTheStatesEarlierSubmissionsLeave) {
    CComPtr<ID3D12Resource> texture = Texture();
    texture->SetName(L"checked texture");
    CComPtr<ID3D12Resource> other = Texture();
    const auto otherMemory = Emulation::GetTextureMemory(other.p);
    const std::vector<std::byte> otherBytes = otherMemory->ReadAll();
    ASSERT_EQ(Execute([&](auto& list) { Barrier(list, texture, kCommon, kSource); }), S_OK);
    Emulation::GetTextureMemory(texture.p)->Write(Pattern(otherMemory->GetSize(), 4));
    auto wrong = allocator->CreateCommandList();
    wrong->CopyResource(other, texture);
    Barrier(*wrong, texture, kCommon, kDest);
    wrong->Close();
    const auto refused = FailureOf([&] { d12->GetQueue()->ExecuteCommandLists({wrong}); });
    ASSERT_TRUE(refused) << "a barrier from the wrong state ran";
    EXPECT_EQ(std::get<1>(*refused), E_INVALIDARG);
    EXPECT_NE(std::get<0>(*refused).find("'checked texture'"), std::string::npos);
    D12CommandAllocator::WaitAllComplete();
    EXPECT_EQ(otherMemory->ReadAll(), otherBytes);
    EXPECT_EQ(Execute([&](auto& list) { list.CopyResource(texture, other); }), E_INVALIDARG)
        << "into COPY_SOURCE";
    EXPECT_EQ(Execute([&](auto& list) {
                  Barrier(list, texture, kSource, kDest);
                  list.CopyResource(texture, other);
              }),
              S_OK);

    CComPtr<ID3D12Resource> simultaneous =
        Texture(8, D3D12_RESOURCE_FLAG_ALLOW_SIMULTANEOUS_ACCESS);
    ASSERT_EQ(Execute([&](auto& list) {
                  list.CopyResource(texture, other);
                  list.CopyResource(simultaneous, other);
              }),
              S_OK);
    EXPECT_EQ(Execute([&](auto& list) {
                  Barrier(list, other, kCommon, kDest);
                  Barrier(list, simultaneous, kCommon, kSource);
                  Barrier(list, texture, kDest, kCommon);
              }),
              S_OK);
}

// Fence waits end at the signal or time out; a queue holds work behind a wait,
// and dropping the queue drops that work.
TEST_F(DXTest, FencesAndQueueWaits) {
    auto device = D12Device::Create(*Emulation::GetGlDeviceLuid());  // its queue's only holder
    auto gate = device->CreateCompletionEvent(D3D12_FENCE_FLAG_SHARED);
    auto done = device->CreateCompletionEvent(D3D12_FENCE_FLAG_NONE);
    EXPECT_EQ(done->GetSharedHandle(), nullptr);
    const auto& queue = device->GetQueue();
    queue->Wait(gate, 5);
    queue->Signal(done, 1);
    EXPECT_FALSE(done->Wait(1, 5));
    std::thread([&] { Emulation::FindSharedFence(gate->GetSharedHandle())->Signal(4); }).join();
    EXPECT_FALSE(done->Wait(1, 5));
    gate->Signal(5);
    EXPECT_TRUE(done->Wait(1, 10000));
    EXPECT_FALSE(done->Wait(2, 2));
    queue->Flush();
    queue->Wait(gate, 6);
    queue->Signal(done, 2);
    device.reset();
    EXPECT_EQ(done->GetCompletedValue(), 1u);
    D12CommandAllocator::WaitAllComplete();  // dropped work counts as complete
}

// The leak report names every live object; a CComPtr holds one reference.
TEST_F(DXTest, LeakReportAndReferenceCounts) {
    CComPtr<ID3D12Resource> resource = Texture();
    ASSERT_EQ(resource->SetName(L"Shared DirectX 12 with OpenGL texture"), S_OK);
    Kavrin::Test::LogCapture log;
    const std::size_t reported = ReportDirectXLeaks();
    EXPECT_EQ(reported, GetLiveObjectCount());
    EXPECT_EQ(log.CountPrefix("Live DirectX object: "), static_cast<int>(reported));
    for (const std::string& line : std::vector<std::string>{
             "Live DirectX object: D11Device 'llvmpipe'",
             "Live DirectX object: D12Device 'llvmpipe'",
             "Live DirectX object: ID3D12Resource 'Shared DirectX 12 with OpenGL texture'",
             "DirectX objects still alive: " + std::to_string(reported)})
        EXPECT_TRUE(log.Has(google::GLOG_WARNING, line)) << log.Dump();

    const std::size_t live = GetLiveObjectCount();
    CComPtr<ID3D11Texture2D> first = d11->CreateTexture2D(Desc(2, 2), nullptr);
    EXPECT_EQ(GetLiveObjectCount(), live + 2);  // the texture and its memory
    CComPtr<ID3D11Texture2D> copy = first;
    EXPECT_EQ(first->AddRef(), 3u);
    EXPECT_EQ(first->Release(), 2u);
    CComPtr<ID3D11Texture2D> moved = std::move(copy);
    EXPECT_EQ(copy.p, nullptr);
    EXPECT_EQ(moved.Detach()->Release(), 1u);
    first = nullptr;
    EXPECT_EQ(GetLiveObjectCount(), live);
}

TEST(DXWinTypesTest, ResultsWin32ErrorsBitflagsAndLuids) {
    EXPECT_TRUE(FAILED(E_FAIL) && SUCCEEDED(S_OK) && SUCCEEDED(S_FALSE));
    EXPECT_EQ(static_cast<std::uint32_t>(HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED)), 0x80070032u);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_SUCCESS), S_OK);
    EXPECT_EQ(HRESULT_FROM_WIN32(static_cast<DWORD>(E_FAIL)), E_FAIL);  // already an HRESULT
    EXPECT_EQ(static_cast<std::uint32_t>(HRESULT_FROM_WIN32(0x12345)), 0x80072345u);  // low 16 bits
    using States = Kavrin::bitflags<D3D12_RESOURCE_STATES>;
    States states = States(kSource) | kDest;
    constexpr auto kRead = D3D12_RESOURCE_STATE_GENERIC_READ;
    EXPECT_EQ(std::tuple(states.value(), states.contains(kDest), states.contains(kRead),
                         states.intersects(kRead)),
              std::tuple(0xC00u, true, false, true));
    states &= ~States(kSource);
    EXPECT_TRUE(states == States(kDest) && !States());
    EXPECT_FALSE((LUID{1, 2} == LUID{1, 3}) || (LUID{0, 2} == LUID{1, 2}));
    // Results are named by their Windows SDK values.
    const std::pair<const char*, std::uint32_t> named[] = {
        {"E_FAIL (0x80004005)", 0x80004005},
        {"E_NOTIMPL (0x80004001)", 0x80004001},
        {"E_INVALIDARG (0x80070057)", 0x80070057},
        {"DXGI_ERROR_UNSUPPORTED (0x887A0004)", 0x887A0004},
        {"DXGI_ERROR_DEVICE_REMOVED (0x887A0005)", 0x887A0005},
        {"HRESULT_FROM_WIN32(ERROR_OPEN_FAILED) (0x8007006E)", 0x8007006E},
        {"0x80071234", 0x80071234}};
    for (const auto& [code, value] : named) {
        const auto [name, text] = GetResultInfo(static_cast<HRESULT>(value));
        EXPECT_EQ(name, code);
        EXPECT_TRUE(!text.empty() || value == 0x80071234u) << code;
        EXPECT_EQ(
            (DirectXException() << HResult(static_cast<HRESULT>(value))).GetResultDescription(),
            name + ": " + text);
    }
    EXPECT_NE(GetResultInfo(DXGI_ERROR_UNSUPPORTED).second.find("not supported"),
              std::string::npos);
}

}  // namespace
