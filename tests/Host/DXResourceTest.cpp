// Textures, shared handles, command lists, keyed mutexes, fences and the leak report of
// the DirectX stand-in: the rules and error codes the interop code does not reach.
#include <atomic>
#include <thread>
#include <variant>

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
    barrier.Transition = {resource, D3D12_RESOURCE_BARRIER_ALL_SUBRESOURCES, before, after};
    return barrier;
}

// One device of each kind, a command allocator, and a keyed-mutex texture.
class DXDeviceTest : public DXTest {
protected:
    void SetUp() override {
        DXTest::SetUp();
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
        DXTest::TearDown();
    }

    CComPtr<ID3D12Resource> Texture(D3D12_RESOURCE_FLAGS flags = D3D12_RESOURCE_FLAG_NONE,
                                    UINT width = 8) {
        return d12->CreateTexture2D(
            {1, width, 4, 1, 1, DXGI_FORMAT_R16G16B16A16_FLOAT, {1, 0}, flags});
    }

    // A closed list of the given barriers and copies (destination, source), in order.
    using Step = std::variant<D3D12_RESOURCE_BARRIER, std::pair<ID3D12Resource*, ID3D12Resource*>>;
    boost::intrusive_ptr<D12GraphicsCommandList> List(const std::vector<Step>& steps) {
        auto list = allocator->CreateCommandList();
        for (const Step& step : steps) {
            if (const auto* barrier = std::get_if<D3D12_RESOURCE_BARRIER>(&step))
                list->ResourceBarrier(1, barrier);
            else
                list->CopyResource(std::get<1>(step).first, std::get<1>(step).second);
        }
        list->Close();
        return list;
    }

    HRESULT Execute(const boost::intrusive_ptr<D12GraphicsCommandList>& list) {
        return ResultOf([&] { d12->GetQueue()->ExecuteCommandLists({list}); });
    }

    boost::intrusive_ptr<D11Device> d11;
    boost::intrusive_ptr<D12Device> d12;
    boost::intrusive_ptr<D12CommandAllocator> allocator;
    boost::intrusive_ptr<D11SharedTexture2D> keyed;
    std::shared_ptr<EmulatedTexture> memory;
    const int glClient = 0;  // stands for a GL memory object
};

TEST_F(DXDeviceTest, InitialDataAndCopyResourceMoveBytes) {
    EXPECT_EQ(d11->GetFeatureLevel(), D3D_FEATURE_LEVEL_11_1);
    EXPECT_EQ(d11->GetLevelName(), "11.1");
    // Rows of 3 RGBA8 pixels given with a padded pitch of 16 bytes.
    const std::vector<std::byte> padded = Pattern(16 * 2, 1);
    const D3D11_SUBRESOURCE_DATA data{padded.data(), 16, 0};
    CComPtr<ID3D11Texture2D> source = d11->CreateTexture2D(Desc(3, 2), &data);
    CComPtr<ID3D11Texture2D> destination = d11->CreateTexture2D(Desc(3, 2), nullptr);
    const auto sourceBytes = Emulation::GetTextureMemory(source.p)->ReadAll();
    ASSERT_EQ(sourceBytes.size(), 24u);
    for (std::size_t row = 0; row < 2; ++row) {
        EXPECT_TRUE(std::equal(sourceBytes.begin() + row * 12, sourceBytes.begin() + row * 12 + 12,
                               padded.begin() + row * 16));
    }
    d11->Encode([&](const auto& context) { context->CopyResource(destination, source); });
    EXPECT_EQ(Emulation::GetTextureMemory(destination.p)->ReadAll(), sourceBytes);

    CComPtr<ID3D11Texture2D> other = d11->CreateTexture2D(Desc(3, 3), nullptr);
    EXPECT_EQ(ResultOf([&] { d11->Encode([&](auto& c) { c->CopyResource(other, source); }); }),
              E_INVALIDARG);
    // Mipmaps, planar formats and empty sizes are refused.
    auto mipmapped = Desc(4, 4);
    mipmapped.MipLevels = 0;
    for (const auto& desc : {mipmapped, Desc(4, 4, DXGI_FORMAT_NV12), Desc(0, 4)})
        EXPECT_EQ(ResultOf([&] { d11->CreateTexture2D(desc, nullptr); }), E_INVALIDARG);
}

TEST_F(DXDeviceTest, ContextOnlyInsideEncodeAndKeyedTexturesOnlyWhenAcquired) {
    boost::intrusive_ptr<D11DeviceContext> escaped;
    d11->Encode([&](const auto& context) { escaped = context; });
    CComPtr<ID3D11Texture2D> plain = d11->CreateTexture2D(Desc(1, 1), nullptr);
    EXPECT_THROW(escaped->CopyResource(plain, keyed->GetTexture()), std::logic_error);
    // Another thread cannot use the context while Encode runs elsewhere either.
    d11->Encode([&](const auto& context) {
        std::thread other(
            [&] { EXPECT_THROW(context->CopyResource(plain, plain), std::logic_error); });
        other.join();
    });
    const auto copyOut = [&] {
        d11->Encode(
            [&](const auto& context) { context->CopyResource(plain, keyed->GetTexture()); });
    };
    EXPECT_EQ(ResultOf(copyOut), DXGI_ERROR_INVALID_CALL);
    ASSERT_TRUE(keyed->AcquireSync(0, 0));
    d11->Encode([&](const auto&) { copyOut(); });  // nested Encode on the same thread
    keyed->ReleaseSync(0);
}

TEST_F(DXDeviceTest, HandlesKeepTheirObjectUntilClosedAndCloseOnce) {
    auto shared = D11SharedTexture2D::Create(d11, Desc(4, 4));
    EXPECT_EQ(ResultOf([&] { shared->CreateSharedHandle(0); }), E_INVALIDARG);
    EXPECT_EQ(ResultOf([&] { shared->CreateSharedHandle(GENERIC_ALL); }), E_INVALIDARG);
    const HANDLE handle =
        shared->CreateSharedHandle(DXGI_SHARED_RESOURCE_READ | DXGI_SHARED_RESOURCE_WRITE);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(Emulation::GetSharedHandleAccess(handle), 0x80000001u);
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

    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(CloseHandle(handle), TRUE);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_EQ(CloseHandle(handle), FALSE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(Emulation::FindSharedTexture(handle), nullptr);
    EXPECT_EQ(ResultOf([&] { d12->OpenSharedResource(handle); }), E_INVALIDARG);
    std::thread other([] { EXPECT_EQ(GetLastError(), ERROR_SUCCESS) << "per thread"; });
    other.join();
    opened = nullptr;
    EXPECT_TRUE(weak.expired());

    // A shared fence's handle is its event's, and goes with it.
    auto event = d12->CreateCompletionEvent(D3D12_FENCE_FLAG_SHARED);
    const HANDLE fence = event->GetSharedHandle();
    EXPECT_EQ(Emulation::FindSharedTexture(fence), nullptr);
    EXPECT_EQ(Emulation::FindSharedFence(fence), event->GetFence());
    event.reset();
    EXPECT_EQ(Emulation::FindSharedFence(fence), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(DXDeviceTest, ListsRecordInOrderAndRecordingRulesAreEnforced) {
    CComPtr<ID3D12Resource> texture = Texture();
    CComPtr<ID3D12Resource> bigger = Texture(D3D12_RESOURCE_FLAG_NONE, 16);
    auto list = allocator->CreateCommandList();
    EXPECT_EQ(ResultOf([&] {
                  const auto barrier = Transition(texture, kDest, kDest);
                  list->ResourceBarrier(1, &barrier);
              }),
              E_INVALIDARG);
    auto subresource = Transition(texture, kCommon, kDest);
    subresource.Transition.Subresource = 1;
    EXPECT_EQ(ResultOf([&] { list->ResourceBarrier(1, &subresource); }), E_INVALIDARG);
    EXPECT_EQ(ResultOf([&] { list->CopyResource(bigger, texture); }), E_INVALIDARG);
    EXPECT_EQ(ResultOf([&] { list->CopyResource(texture, texture); }), E_INVALIDARG);
    EXPECT_EQ(Execute(list), DXGI_ERROR_INVALID_CALL) << "an open list ran";
    list->Close();
    EXPECT_EQ(ResultOf([&] { list->Close(); }), E_FAIL);
    EXPECT_EQ(ResultOf([&] { list->CopyResource(bigger, bigger); }), E_INVALIDARG);
    const auto late = Transition(texture, kCommon, kDest);
    EXPECT_EQ(ResultOf([&] { list->ResourceBarrier(1, &late); }), DXGI_ERROR_INVALID_CALL);
    EXPECT_TRUE(list->GetCommands().empty());

    CComPtr<ID3D12Resource> other = Texture();
    const auto recorded =
        List({Transition(texture, kCommon, kSource), std::pair(other.p, texture.p),
              Transition(texture, kSource, kCommon)})
            ->GetCommands();
    ASSERT_EQ(recorded.size(), 3u);
    EXPECT_EQ(std::get<D12BarrierCommand>(recorded[0]).barrier.Transition.StateAfter, kSource);
    EXPECT_EQ(std::get<D12CopyCommand>(recorded[1]).destination.p, other.p);
    EXPECT_EQ(std::get<D12CopyCommand>(recorded[1]).source.p, texture.p);
    EXPECT_EQ(std::get<D12BarrierCommand>(recorded[2]).barrier.Transition.StateAfter, kCommon);
}

TEST_F(DXDeviceTest, BarriersMustNameTheStateEarlierSubmissionsLeave) {
    CComPtr<ID3D12Resource> texture = Texture();
    texture->SetName(L"checked texture");
    CComPtr<ID3D12Resource> other = Texture();
    const auto otherMemory = Emulation::GetTextureMemory(other.p);
    const std::vector<std::byte> otherBytes = otherMemory->ReadAll();
    ASSERT_EQ(Execute(List({Transition(texture, kCommon, kSource)})), S_OK);

    // Wrong StateBefore: the whole submission is refused, its copy included.
    Emulation::GetTextureMemory(texture.p)->Write(Pattern(otherMemory->GetSize(), 4));
    try {
        d12->GetQueue()->ExecuteCommandLists(
            {List({std::pair(other.p, texture.p), Transition(texture, kCommon, kDest)})});
        FAIL() << "a barrier from the wrong state ran";
    } catch (const DirectXException& error) {
        EXPECT_EQ(error.GetResult(), E_INVALIDARG);
        EXPECT_NE(error.GetErrorDescription().find("'checked texture'"), std::string::npos);
    }
    D12CommandAllocator::WaitAllComplete();
    EXPECT_EQ(otherMemory->ReadAll(), otherBytes);
    EXPECT_EQ(Execute(List({std::pair(texture.p, other.p)})), E_INVALIDARG) << "into COPY_SOURCE";
    EXPECT_EQ(Execute(List({Transition(texture, kSource, kDest), std::pair(texture.p, other.p)})),
              S_OK);
}

// Read-only promotions from COMMON and simultaneous-access textures decay back to
// COMMON after a submission; a plain copy destination stays in COPY_DEST.
TEST_F(DXDeviceTest, ImplicitPromotionFromCommonAndDecay) {
    CComPtr<ID3D12Resource> source = Texture();
    CComPtr<ID3D12Resource> destination = Texture();
    CComPtr<ID3D12Resource> simultaneous = Texture(D3D12_RESOURCE_FLAG_ALLOW_SIMULTANEOUS_ACCESS);
    ASSERT_EQ(
        Execute(List({std::pair(destination.p, source.p), std::pair(simultaneous.p, source.p)})),
        S_OK);
    EXPECT_EQ(Execute(List({Transition(source, kCommon, kDest),
                            Transition(simultaneous, kCommon, kSource),
                            Transition(destination, kDest, kCommon)})),
              S_OK);
}

using DXLeakTest = DXTest;

TEST_F(DXLeakTest, ReportListsLiveObjectsUntilTheyAreReleased) {
    auto d11 = D11Device::Create(FirstAdapter());
    auto d12 = D12Device::Create(d11->GetAdapterLuid());
    CComPtr<ID3D12Resource> resource =
        d12->CreateTexture2D({1, 16, 16, 1, 1, DXGI_FORMAT_R8G8B8A8_UNORM, {1, 0}});
    ASSERT_EQ(resource->SetName(L"Shared DirectX 12 with OpenGL texture"), S_OK);
    {
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
    }
    resource = nullptr;
    d12.reset();
    d11.reset();
    EXPECT_EQ(GetLiveObjectCount(), liveBefore);
}

// Only an acquire with the key of the last release gets the mutex, waiting for
// it if need be; misuse is an invalid call. Waits are short, so that a wrong
// key fails instead of hanging.
TEST_F(DXDeviceTest, KeyedMutexGoesToTheKeyOfTheLastRelease) {
    D3D11_TEXTURE2D_DESC desc{};
    keyed->GetTexture()->GetDesc(&desc);
    EXPECT_EQ(desc.MiscFlags,
              UINT(D3D11_RESOURCE_MISC_SHARED_NTHANDLE | D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX));
    ASSERT_NE(memory->GetKeyedMutex(), nullptr);
    EmulatedKeyedMutex& mutex = *memory->GetKeyedMutex();
    EXPECT_EQ(std::pair(mutex.IsAcquired(), mutex.GetKey()), std::pair(false, UINT64{0}));
    EXPECT_EQ(ResultOf([&] { keyed->ReleaseSync(0); }), DXGI_ERROR_INVALID_CALL) << "not held";
    ASSERT_TRUE(keyed->AcquireSync(0, 0));
    EXPECT_EQ(mutex.GetOwner(), static_cast<const void*>(keyed->GetTexture().p));
    EXPECT_EQ(ResultOf([&] { keyed->AcquireSync(0, 0); }), DXGI_ERROR_INVALID_CALL) << "twice";
    EXPECT_EQ(mutex.Release(&glClient, 0), DXGI_ERROR_INVALID_CALL) << "held by the other";
    EXPECT_EQ(mutex.Acquire(&glClient, 0, 5), static_cast<HRESULT>(WAIT_TIMEOUT)) << "held";

    std::atomic<HRESULT> waited{E_FAIL};
    std::thread gl([&] { waited = mutex.Acquire(&glClient, 1, 10000); });
    keyed->ReleaseSync(1);
    gl.join();
    EXPECT_EQ(waited.load(), S_OK);
    EXPECT_EQ(mutex.GetOwner(), static_cast<const void*>(&glClient));
    ASSERT_EQ(mutex.Release(&glClient, 0), S_OK);
    EXPECT_EQ(mutex.Acquire(&glClient, 1, 5), static_cast<HRESULT>(WAIT_TIMEOUT)) << "key 0";
    EXPECT_FALSE(mutex.IsAcquired());

    // Destroying the holder frees the mutex with the key it held.
    ASSERT_TRUE(keyed->AcquireSync(0, 0));
    keyed->ReleaseSync(4);
    ASSERT_TRUE(keyed->AcquireSync(4, 0));
    auto kept = memory;
    keyed.reset();
    EXPECT_FALSE(kept->GetKeyedMutex()->IsAcquired());
    EXPECT_EQ(kept->GetKeyedMutex()->Acquire(&glClient, 4, 0), S_OK);
    EXPECT_EQ(kept->GetKeyedMutex()->Release(&glClient, 0), S_OK);
}

TEST_F(DXDeviceTest, FenceValuesCountUpAndWaitsEndAtTheSignal) {
    auto event = d12->CreateCompletionEvent(D3D12_FENCE_FLAG_NONE);
    EXPECT_EQ(event->GetSharedHandle(), nullptr);
    EXPECT_EQ(event->PreIncrementValue(), 1u);
    EXPECT_EQ(event->PreIncrementValue(), 2u);
    EXPECT_EQ(std::pair(event->GetValue(), event->GetCompletedValue()), std::pair(UINT64{2}, UINT64{0}));
    std::atomic<UINT64> seen{0};
    std::thread waiter([&] {
        EXPECT_TRUE(event->Wait(2, 10000));
        seen = event->GetCompletedValue();
    });
    event->Signal(1);
    EXPECT_FALSE(event->Wait(2, 1));
    event->Signal(2);
    waiter.join();
    EXPECT_EQ(seen.load(), 2u);
    EXPECT_TRUE(event->Wait(1, 0));
    EXPECT_FALSE(event->Wait(3, 2));

    // Direct3D 11 opens only shared fences, and only with fence support.
    EXPECT_EQ(ResultOf([&] { D11CompletionEvent::OpenShared(d11, event); }), E_INVALIDARG);
    auto adapter = Emulation::MakeDefaultAdapter();
    adapter.fencesSupported = false;
    Emulation::SetAdapters({adapter});
    auto withoutFences = D11Device::Create(FirstAdapter());
    EXPECT_FALSE(withoutFences->IsFencesSupported());
    auto shared = d12->CreateCompletionEvent(D3D12_FENCE_FLAG_SHARED);
    EXPECT_EQ(ResultOf([&] { D11CompletionEvent::OpenShared(withoutFences, shared); }),
              E_NOINTERFACE);
}

TEST_F(DXDeviceTest, QueueWaitHoldsLaterWorkUntilTheFenceIsReached) {
    auto device = D12Device::Create(*Emulation::GetGlDeviceLuid());  // its queue's only holder
    auto gate = device->CreateCompletionEvent(D3D12_FENCE_FLAG_SHARED);
    auto done = device->CreateCompletionEvent(D3D12_FENCE_FLAG_NONE);
    const auto& queue = device->GetQueue();
    queue->Wait(gate, 5);
    queue->Signal(done, 1);
    EXPECT_FALSE(done->Wait(1, 5));
    // Another thread, standing for GL signalling the imported semaphore.
    std::thread gl([&] { Emulation::FindSharedFence(gate->GetSharedHandle())->Signal(5); });
    gl.join();
    EXPECT_TRUE(done->Wait(1, 10000));
    queue->Flush();

    // Destroying a queue drops work behind an unsatisfied wait.
    queue->Wait(gate, 6);
    queue->Signal(done, 2);
    device.reset();
    EXPECT_EQ(done->GetCompletedValue(), 1u);
    D12CommandAllocator::WaitAllComplete();  // dropped work counts as complete
}

}  // namespace
