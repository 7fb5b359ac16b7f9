// Textures, shared handles, command lists and the leak report of the DirectX stand-in.
#include <thread>

#include <glog/logging.h>
#include <gtest/gtest.h>

#include "Kavrin/DX/DirectX.h"

#include "DXTestSupport.h"
#include "LogCapture.h"

namespace {

using namespace Kavrin::DX;
using Kavrin::Test::DXTest;
using Kavrin::Test::ResultOf;

constexpr D3D12_RESOURCE_STATES kCommon = D3D12_RESOURCE_STATE_COMMON;
constexpr D3D12_RESOURCE_STATES kSource = D3D12_RESOURCE_STATE_COPY_SOURCE;
constexpr D3D12_RESOURCE_STATES kDest = D3D12_RESOURCE_STATE_COPY_DEST;

D3D12_RESOURCE_BARRIER Transition(ID3D12Resource* resource, D3D12_RESOURCE_STATES before,
                                  D3D12_RESOURCE_STATES after) {
    D3D12_RESOURCE_BARRIER barrier{};
    barrier.Type = D3D12_RESOURCE_BARRIER_TYPE_TRANSITION;
    barrier.Flags = D3D12_RESOURCE_BARRIER_FLAG_NONE;
    barrier.Transition = {resource, D3D12_RESOURCE_BARRIER_ALL_SUBRESOURCES, before, after};
    return barrier;
}

using DXTextureTest = DXTest;

TEST_F(DXTextureTest, InitialDataAndCopyResourceMoveBytes) {
    auto device = D11Device::Create(FirstAdapter());
    EXPECT_EQ(device->GetFeatureLevel(), D3D_FEATURE_LEVEL_11_1);
    EXPECT_EQ(device->GetLevelName(), "11.1");
    // Rows of 3 RGBA8 pixels given with a padded pitch of 16 bytes.
    const std::vector<std::byte> padded = Pattern(16 * 2, 1);
    const D3D11_SUBRESOURCE_DATA data{padded.data(), 16, 0};
    CComPtr<ID3D11Texture2D> source = device->CreateTexture2D(Desc(3, 2), &data);
    CComPtr<ID3D11Texture2D> destination = device->CreateTexture2D(Desc(3, 2), nullptr);
    const auto sourceBytes = Emulation::GetTextureMemory(source.p)->ReadAll();
    ASSERT_EQ(sourceBytes.size(), 24u);
    for (std::size_t row = 0; row < 2; ++row) {
        EXPECT_TRUE(std::equal(sourceBytes.begin() + row * 12, sourceBytes.begin() + row * 12 + 12,
                               padded.begin() + row * 16));
    }
    device->Encode([&](const auto& context) { context->CopyResource(destination, source); });
    EXPECT_EQ(Emulation::GetTextureMemory(destination.p)->ReadAll(), sourceBytes);

    CComPtr<ID3D11Texture2D> other = device->CreateTexture2D(Desc(3, 3), nullptr);
    EXPECT_EQ(ResultOf([&] { device->Encode([&](auto& c) { c->CopyResource(other, source); }); }),
              E_INVALIDARG);
    // Mipmaps, planar formats and empty sizes are refused.
    auto mipmapped = Desc(4, 4);
    mipmapped.MipLevels = 0;
    for (const auto& desc : {mipmapped, Desc(4, 4, DXGI_FORMAT_NV12), Desc(0, 4)})
        EXPECT_EQ(ResultOf([&] { device->CreateTexture2D(desc, nullptr); }), E_INVALIDARG);
}

TEST_F(DXTextureTest, ContextOnlyInsideEncodeAndKeyedTexturesOnlyWhenAcquired) {
    auto device = D11Device::Create(FirstAdapter());
    boost::intrusive_ptr<D11DeviceContext> escaped;
    device->Encode([&](const auto& context) { escaped = context; });
    CComPtr<ID3D11Texture2D> plain = device->CreateTexture2D(Desc(2, 2), nullptr);
    auto shared = D11SharedTexture2D::Create(device, Desc(2, 2));
    EXPECT_THROW(escaped->CopyResource(plain, shared->GetTexture()), std::logic_error);
    // Another thread cannot use the context while Encode runs elsewhere either.
    device->Encode([&](const auto& context) {
        std::thread other(
            [&] { EXPECT_THROW(context->CopyResource(plain, plain), std::logic_error); });
        other.join();
    });
    EXPECT_EQ(ResultOf([&] {
                  device->Encode([&](const auto& context) {
                      context->CopyResource(plain, shared->GetTexture());
                  });
              }),
              DXGI_ERROR_INVALID_CALL);
    ASSERT_TRUE(shared->AcquireSync(0, INFINITE));
    device->Encode([&](const auto& context) {
        // Nested Encode on the same thread keeps the context usable.
        device->Encode(
            [&](const auto& inner) { inner->CopyResource(plain, shared->GetTexture()); });
        context->CopyResource(shared->GetTexture(), plain);
    });
    shared->ReleaseSync(0);
}

using DXHandleTest = DXTest;

TEST_F(DXHandleTest, HandleKeepsTheMemoryUntilClosedAndClosesOnce) {
    auto d11 = D11Device::Create(FirstAdapter());
    auto shared = D11SharedTexture2D::Create(d11, Desc(4, 4));
    const HANDLE handle =
        shared->CreateSharedHandle(DXGI_SHARED_RESOURCE_READ | DXGI_SHARED_RESOURCE_WRITE);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(Emulation::GetSharedHandleAccess(handle), 0x80000001u);
    auto memory = Emulation::GetTextureMemory(shared->GetTexture().p);
    EXPECT_EQ(Emulation::FindSharedTexture(handle), memory);
    const std::weak_ptr<EmulatedTexture> weak = memory;
    memory->Write(Pattern(memory->GetSize(), 2));

    memory.reset();
    shared.reset();
    ASSERT_FALSE(weak.expired()) << "the handle must keep the memory alive";
    auto d12 = D12Device::Create(d11->GetAdapterLuid());
    CComPtr<ID3D12Resource> opened = d12->OpenSharedResource(handle);
    EXPECT_EQ(Emulation::GetTextureMemory(opened.p)->ReadAll(), Pattern(64, 2));
    EXPECT_EQ(opened->GetDesc().Width, 4u);

    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(CloseHandle(handle), TRUE);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_EQ(CloseHandle(handle), FALSE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(Emulation::FindSharedTexture(handle), nullptr);
    EXPECT_EQ(ResultOf([&] { d12->OpenSharedResource(handle); }), E_INVALIDARG);
    // The last error belongs to the thread that failed.
    std::thread other([] { EXPECT_EQ(GetLastError(), ERROR_SUCCESS); });
    other.join();
    opened = nullptr;
    EXPECT_TRUE(weak.expired());
}

TEST_F(DXHandleTest, EventOwnsItsFenceHandleAndBadAccessIsRefused) {
    auto d12 = D12Device::Create(*Emulation::GetGlDeviceLuid());
    auto event = d12->CreateCompletionEvent(D3D12_FENCE_FLAG_SHARED);
    const HANDLE handle = event->GetSharedHandle();
    EXPECT_EQ(Emulation::FindSharedTexture(handle), nullptr);
    EXPECT_NE(Emulation::FindSharedFence(handle), nullptr);
    event.reset();
    EXPECT_EQ(Emulation::FindSharedFence(handle), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    auto shared = D11SharedTexture2D::Create(D11Device::Create(FirstAdapter()), Desc(1, 1));
    EXPECT_EQ(ResultOf([&] { shared->CreateSharedHandle(0); }), E_INVALIDARG);
    EXPECT_EQ(ResultOf([&] { shared->CreateSharedHandle(GENERIC_ALL); }), E_INVALIDARG);
}

class DXCommandListTest : public DXTest {
protected:
    void SetUp() override {
        DXTest::SetUp();
        device = D12Device::Create(*Emulation::GetGlDeviceLuid());
        allocator = D12CommandAllocator::Create(device);
    }
    void TearDown() override {
        D12CommandAllocator::WaitAllComplete();
        allocator.reset();
        device.reset();
        DXTest::TearDown();
    }

    CComPtr<ID3D12Resource> Texture(D3D12_RESOURCE_FLAGS flags = D3D12_RESOURCE_FLAG_NONE) {
        return device->CreateTexture2D(
            {1, 8, 4, 1, 1, DXGI_FORMAT_R16G16B16A16_FLOAT, {1, 0}, flags});
    }

    static void Barrier(const boost::intrusive_ptr<D12GraphicsCommandList>& list,
                        ID3D12Resource* resource, D3D12_RESOURCE_STATES before,
                        D3D12_RESOURCE_STATES after) {
        const auto barrier = Transition(resource, before, after);
        list->ResourceBarrier(1, &barrier);
    }

    HRESULT Execute(const boost::intrusive_ptr<D12GraphicsCommandList>& list) {
        return ResultOf([&] { device->GetQueue()->ExecuteCommandLists({list}); });
    }

    boost::intrusive_ptr<D12Device> device;
    boost::intrusive_ptr<D12CommandAllocator> allocator;
};

TEST_F(DXCommandListTest, ClosedListsRecordInOrderAndCopiesReallyCopy) {
    // The source comes from Direct3D 11 through a shared handle.
    auto shared = D11SharedTexture2D::Create(D11Device::Create(FirstAdapter()),
                                             Desc(8, 4, DXGI_FORMAT_R16G16B16A16_FLOAT));
    const HANDLE handle =
        shared->CreateSharedHandle(DXGI_SHARED_RESOURCE_READ | DXGI_SHARED_RESOURCE_WRITE);
    CComPtr<ID3D12Resource> source = device->OpenSharedResource(handle);
    CloseHandle(handle);
    CComPtr<ID3D12Resource> destination = Texture();
    const auto sourceMemory = Emulation::GetTextureMemory(source.p);
    sourceMemory->Write(Pattern(sourceMemory->GetSize(), 3));

    auto list = allocator->CreateCommandList();
    Barrier(list, source, kCommon, kSource);
    list->CopyResource(destination, source);
    Barrier(list, source, kSource, kCommon);
    list->Close();

    const std::vector<D12Command> commands = list->GetCommands();
    ASSERT_EQ(commands.size(), 3u);
    const auto& first = std::get<D12BarrierCommand>(commands[0]).barrier.Transition;
    EXPECT_EQ(first.pResource, source.p);
    EXPECT_EQ(first.StateBefore, kCommon);
    EXPECT_EQ(first.StateAfter, kSource);
    EXPECT_EQ(std::get<D12CopyCommand>(commands[1]).destination.p, destination.p);
    EXPECT_EQ(std::get<D12CopyCommand>(commands[1]).source.p, source.p);
    EXPECT_EQ(std::get<D12BarrierCommand>(commands[2]).barrier.Transition.StateAfter, kCommon);

    ASSERT_EQ(Execute(list), S_OK);
    D12CommandAllocator::WaitAllComplete();
    EXPECT_EQ(Emulation::GetTextureMemory(destination.p)->ReadAll(), sourceMemory->ReadAll());
}

TEST_F(DXCommandListTest, RecordingRulesAreEnforced) {
    CComPtr<ID3D12Resource> texture = Texture();
    auto list = allocator->CreateCommandList();
    EXPECT_EQ(ResultOf([&] { Barrier(list, texture, kDest, kDest); }), E_INVALIDARG);
    auto subresource = Transition(texture, kCommon, kDest);
    subresource.Transition.Subresource = 1;
    EXPECT_EQ(ResultOf([&] { list->ResourceBarrier(1, &subresource); }), E_INVALIDARG);
    CComPtr<ID3D12Resource> bigger =
        device->CreateTexture2D({1, 16, 4, 1, 1, DXGI_FORMAT_R16G16B16A16_FLOAT, {1, 0}});
    EXPECT_EQ(ResultOf([&] { list->CopyResource(bigger, texture); }), E_INVALIDARG);
    EXPECT_EQ(Execute(list), DXGI_ERROR_INVALID_CALL) << "an open list ran";
    list->Close();
    EXPECT_EQ(ResultOf([&] { list->Close(); }), E_FAIL);
    EXPECT_EQ(ResultOf([&] { list->CopyResource(texture, texture); }), E_INVALIDARG);
    EXPECT_EQ(ResultOf([&] { list->CopyResource(bigger, bigger); }), E_INVALIDARG);
    EXPECT_EQ(ResultOf([&] { Barrier(list, texture, kCommon, kDest); }), DXGI_ERROR_INVALID_CALL);
    EXPECT_TRUE(list->GetCommands().empty());
}

TEST_F(DXCommandListTest, BarriersMustNameTheStateEarlierSubmissionsLeave) {
    CComPtr<ID3D12Resource> texture = Texture();
    texture->SetName(L"checked texture");
    CComPtr<ID3D12Resource> other = Texture();
    const auto otherMemory = Emulation::GetTextureMemory(other.p);
    const std::vector<std::byte> otherBytes = otherMemory->ReadAll();

    auto toSource = allocator->CreateCommandList();
    Barrier(toSource, texture, kCommon, kSource);
    toSource->Close();
    ASSERT_EQ(Execute(toSource), S_OK);

    // Wrong StateBefore: the whole submission is refused, its copy included.
    Emulation::GetTextureMemory(texture.p)->Write(Pattern(otherMemory->GetSize(), 4));
    auto wrong = allocator->CreateCommandList();
    wrong->CopyResource(other, texture);
    Barrier(wrong, texture, kCommon, kDest);
    wrong->Close();
    try {
        device->GetQueue()->ExecuteCommandLists({wrong});
        FAIL() << "a barrier from the wrong state ran";
    } catch (const DirectXException& error) {
        EXPECT_EQ(error.GetResult(), E_INVALIDARG);
        EXPECT_NE(error.GetErrorDescription().find("'checked texture'"), std::string::npos);
    }
    D12CommandAllocator::WaitAllComplete();
    EXPECT_EQ(otherMemory->ReadAll(), otherBytes);

    // A copy into a resource left in COPY_SOURCE is refused as well.
    auto intoSource = allocator->CreateCommandList();
    intoSource->CopyResource(texture, other);
    intoSource->Close();
    EXPECT_EQ(Execute(intoSource), E_INVALIDARG);

    // From the state it really is in, the same list shape passes.
    auto back = allocator->CreateCommandList();
    Barrier(back, texture, kSource, kDest);
    back->CopyResource(texture, other);
    back->Close();
    EXPECT_EQ(Execute(back), S_OK);
}

TEST_F(DXCommandListTest, ImplicitPromotionFromCommonAndDecay) {
    CComPtr<ID3D12Resource> source = Texture();
    CComPtr<ID3D12Resource> destination = Texture();
    CComPtr<ID3D12Resource> simultaneous = Texture(D3D12_RESOURCE_FLAG_ALLOW_SIMULTANEOUS_ACCESS);
    auto copies = allocator->CreateCommandList();
    copies->CopyResource(destination, source);
    copies->CopyResource(simultaneous, source);
    copies->Close();
    ASSERT_EQ(Execute(copies), S_OK);

    // The read-only promotion of `source` and the simultaneous-access texture decayed to
    // COMMON; the plain destination stays in COPY_DEST.
    auto check = allocator->CreateCommandList();
    const std::array barriers{Transition(source, kCommon, kDest),
                              Transition(simultaneous, kCommon, kSource),
                              Transition(destination, kDest, kCommon)};
    check->ResourceBarrier(static_cast<UINT>(barriers.size()), barriers.data());
    check->Close();
    EXPECT_EQ(Execute(check), S_OK);
}

using DXLeakTest = DXTest;

TEST_F(DXLeakTest, ReportListsLiveObjectsUntilTheyAreReleased) {
    {
        Kavrin::Test::LogCapture log;
        EXPECT_EQ(ReportDirectXLeaks(), liveBefore);
        EXPECT_EQ(log.CountPrefix("Live DirectX object: "), static_cast<int>(liveBefore));
    }
    auto d11 = D11Device::Create(FirstAdapter());
    auto d12 = D12Device::Create(d11->GetAdapterLuid());
    CComPtr<ID3D12Resource> resource =
        d12->CreateTexture2D({1, 16, 16, 1, 1, DXGI_FORMAT_R8G8B8A8_UNORM, {1, 0}});
    ASSERT_EQ(resource->SetName(L"Shared DirectX 12 with OpenGL texture"), S_OK);
    EXPECT_GT(GetLiveObjectCount(), liveBefore);
    {
        Kavrin::Test::LogCapture log;
        const std::size_t reported = ReportDirectXLeaks();
        EXPECT_EQ(reported, GetLiveObjectCount());
        for (const std::string& line : std::vector<std::string>{
                 "Live DirectX object: D11Device 'llvmpipe'",
                 "Live DirectX object: D12Device 'llvmpipe'",
                 "Live DirectX object: ID3D12Resource 'Shared DirectX 12 with OpenGL texture'",
                 "DirectX objects still alive: " + std::to_string(reported)})
            EXPECT_TRUE(log.Has(google::GLOG_WARNING, line)) << log.Dump();
    }
    resource = nullptr;
    d12.reset();
    d11.reset();
    EXPECT_EQ(GetLiveObjectCount(), liveBefore);
}

}  // namespace
