// Textures, shared handles, command lists, keyed mutexes, fences and the leak report of
// the DirectX stand-in.
#include <atomic>
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

    CComPtr<ID3D12Resource> Texture(D3D12_RESOURCE_FLAGS flags = D3D12_RESOURCE_FLAG_NONE) {
        return d12->CreateTexture2D({1, 8, 4, 1, 1, DXGI_FORMAT_R16G16B16A16_FLOAT, {1, 0}, flags});
    }

    static void Barrier(const boost::intrusive_ptr<D12GraphicsCommandList>& list,
                        ID3D12Resource* resource, D3D12_RESOURCE_STATES before,
                        D3D12_RESOURCE_STATES after) {
        const auto barrier = Transition(resource, before, after);
        list->ResourceBarrier(1, &barrier);
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
    CComPtr<ID3D11Texture2D> plain = d11->CreateTexture2D(Desc(2, 2), nullptr);
    auto shared = D11SharedTexture2D::Create(d11, Desc(2, 2));
    EXPECT_THROW(escaped->CopyResource(plain, shared->GetTexture()), std::logic_error);
    // Another thread cannot use the context while Encode runs elsewhere either.
    d11->Encode([&](const auto& context) {
        std::thread other(
            [&] { EXPECT_THROW(context->CopyResource(plain, plain), std::logic_error); });
        other.join();
    });
    EXPECT_EQ(ResultOf([&] {
                  d11->Encode([&](const auto& context) {
                      context->CopyResource(plain, shared->GetTexture());
                  });
              }),
              DXGI_ERROR_INVALID_CALL);
    ASSERT_TRUE(shared->AcquireSync(0, INFINITE));
    d11->Encode([&](const auto& context) {
        // Nested Encode on the same thread keeps the context usable.
        d11->Encode([&](const auto& inner) { inner->CopyResource(plain, shared->GetTexture()); });
        context->CopyResource(shared->GetTexture(), plain);
    });
    shared->ReleaseSync(0);
}

TEST_F(DXDeviceTest, HandleKeepsTheMemoryUntilClosedAndClosesOnce) {
    auto shared = D11SharedTexture2D::Create(d11, Desc(4, 4));
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
    // The last error belongs to the thread that failed.
    std::thread other([] { EXPECT_EQ(GetLastError(), ERROR_SUCCESS); });
    other.join();
    opened = nullptr;
    EXPECT_TRUE(weak.expired());
}

TEST_F(DXDeviceTest, EventOwnsItsFenceHandleAndBadAccessIsRefused) {
    auto event = d12->CreateCompletionEvent(D3D12_FENCE_FLAG_SHARED);
    const HANDLE handle = event->GetSharedHandle();
    EXPECT_EQ(Emulation::FindSharedTexture(handle), nullptr);
    EXPECT_NE(Emulation::FindSharedFence(handle), nullptr);
    event.reset();
    EXPECT_EQ(Emulation::FindSharedFence(handle), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    auto shared = D11SharedTexture2D::Create(d11, Desc(1, 1));
    EXPECT_EQ(ResultOf([&] { shared->CreateSharedHandle(0); }), E_INVALIDARG);
    EXPECT_EQ(ResultOf([&] { shared->CreateSharedHandle(GENERIC_ALL); }), E_INVALIDARG);
}

TEST_F(DXDeviceTest, ClosedListsRecordInOrderAndCopiesReallyCopy) {
    // The source comes from Direct3D 11 through a shared handle.
    auto shared = D11SharedTexture2D::Create(d11, Desc(8, 4, DXGI_FORMAT_R16G16B16A16_FLOAT));
    const HANDLE handle =
        shared->CreateSharedHandle(DXGI_SHARED_RESOURCE_READ | DXGI_SHARED_RESOURCE_WRITE);
    CComPtr<ID3D12Resource> source = d12->OpenSharedResource(handle);
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

TEST_F(DXDeviceTest, RecordingRulesAreEnforced) {
    CComPtr<ID3D12Resource> texture = Texture();
    auto list = allocator->CreateCommandList();
    EXPECT_EQ(ResultOf([&] { Barrier(list, texture, kDest, kDest); }), E_INVALIDARG);
    auto subresource = Transition(texture, kCommon, kDest);
    subresource.Transition.Subresource = 1;
    EXPECT_EQ(ResultOf([&] { list->ResourceBarrier(1, &subresource); }), E_INVALIDARG);
    CComPtr<ID3D12Resource> bigger =
        d12->CreateTexture2D({1, 16, 4, 1, 1, DXGI_FORMAT_R16G16B16A16_FLOAT, {1, 0}});
    EXPECT_EQ(ResultOf([&] { list->CopyResource(bigger, texture); }), E_INVALIDARG);
    EXPECT_EQ(Execute(list), DXGI_ERROR_INVALID_CALL) << "an open list ran";
    list->Close();
    EXPECT_EQ(ResultOf([&] { list->Close(); }), E_FAIL);
    EXPECT_EQ(ResultOf([&] { list->CopyResource(texture, texture); }), E_INVALIDARG);
    EXPECT_EQ(ResultOf([&] { list->CopyResource(bigger, bigger); }), E_INVALIDARG);
    EXPECT_EQ(ResultOf([&] { Barrier(list, texture, kCommon, kDest); }), DXGI_ERROR_INVALID_CALL);
    EXPECT_TRUE(list->GetCommands().empty());
}

TEST_F(DXDeviceTest, BarriersMustNameTheStateEarlierSubmissionsLeave) {
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
        d12->GetQueue()->ExecuteCommandLists({wrong});
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

TEST_F(DXDeviceTest, ImplicitPromotionFromCommonAndDecay) {
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

TEST_F(DXDeviceTest, AcquireWaitsForTheReleaseWithItsKey) {
    D3D11_TEXTURE2D_DESC desc{};
    keyed->GetTexture()->GetDesc(&desc);
    EXPECT_EQ(desc.MiscFlags,
              UINT(D3D11_RESOURCE_MISC_SHARED_NTHANDLE | D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX));
    ASSERT_NE(memory->GetKeyedMutex(), nullptr);
    EmulatedKeyedMutex& mutex = *memory->GetKeyedMutex();
    EXPECT_FALSE(mutex.IsAcquired());
    EXPECT_EQ(mutex.GetKey(), 0u);
    ASSERT_TRUE(keyed->AcquireSync(0, INFINITE));
    EXPECT_EQ(mutex.GetOwner(), static_cast<const void*>(keyed->GetTexture().p));
    // Held: another client times out, whatever the key.
    EXPECT_EQ(mutex.Acquire(&glClient, 0, 5), static_cast<HRESULT>(WAIT_TIMEOUT));

    std::atomic<HRESULT> waited{E_FAIL};
    std::thread gl([&] { waited = mutex.Acquire(&glClient, 1, INFINITE); });
    keyed->ReleaseSync(1);
    gl.join();
    EXPECT_EQ(waited.load(), S_OK);
    EXPECT_EQ(mutex.GetOwner(), static_cast<const void*>(&glClient));

    // Free but released with key 0: an acquire with key 1 times out.
    ASSERT_EQ(mutex.Release(&glClient, 0), S_OK);
    EXPECT_EQ(mutex.Acquire(&glClient, 1, 5), static_cast<HRESULT>(WAIT_TIMEOUT));
    EXPECT_FALSE(mutex.IsAcquired());
    EXPECT_TRUE(keyed->AcquireSync(0, 0));
    keyed->ReleaseSync(0);
}

// Two threads hand the texture to each other by key; each bumps a counter kept in
// the texture's memory. Without exclusion, increments would be lost.
TEST_F(DXDeviceTest, HandOffByKeysExcludesTheOtherSide) {
    constexpr int kRounds = 120;
    EmulatedKeyedMutex& mutex = *memory->GetKeyedMutex();
    const auto bump = [&] {
        std::vector<std::byte> bytes = memory->ReadAll();
        bytes[0] = static_cast<std::byte>(static_cast<int>(bytes[0]) + 1);  // a byte: 2 x 120 fits
        memory->Write(bytes);
    };
    std::thread gl([&] {
        for (int i = 0; i < kRounds; ++i) {
            ASSERT_EQ(mutex.Acquire(&glClient, 1, INFINITE), S_OK);
            bump();
            ASSERT_EQ(mutex.Release(&glClient, 0), S_OK);
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        ASSERT_TRUE(keyed->AcquireSync(0, INFINITE));
        bump();
        keyed->ReleaseSync(1);
    }
    gl.join();
    ASSERT_TRUE(keyed->AcquireSync(0, INFINITE));
    EXPECT_EQ(static_cast<int>(memory->ReadAll()[0]), 2 * kRounds);
    keyed->ReleaseSync(0);
}

TEST_F(DXDeviceTest, MisuseIsAnInvalidCallAndDestroyingTheHolderFreesTheMutex) {
    EmulatedKeyedMutex& mutex = *memory->GetKeyedMutex();
    EXPECT_EQ(ResultOf([&] { keyed->ReleaseSync(0); }), DXGI_ERROR_INVALID_CALL) << "not held";
    ASSERT_TRUE(keyed->AcquireSync(0, INFINITE));
    EXPECT_EQ(ResultOf([&] { keyed->AcquireSync(0, 0); }), DXGI_ERROR_INVALID_CALL) << "twice";
    EXPECT_EQ(mutex.Release(&glClient, 0), DXGI_ERROR_INVALID_CALL) << "held by the other";
    keyed->ReleaseSync(4);
    ASSERT_TRUE(keyed->AcquireSync(4, 0));
    auto kept = memory;
    keyed.reset();
    EXPECT_FALSE(kept->GetKeyedMutex()->IsAcquired());
    EXPECT_EQ(kept->GetKeyedMutex()->Acquire(&glClient, 4, 0), S_OK);
    EXPECT_EQ(kept->GetKeyedMutex()->Release(&glClient, 0), S_OK);
}

TEST_F(DXDeviceTest, ValuesCountUpAndWaitsEndAtTheSignal) {
    auto event = d12->CreateCompletionEvent(D3D12_FENCE_FLAG_NONE);
    EXPECT_EQ(event->GetValue(), 0u);
    EXPECT_EQ(event->GetSharedHandle(), nullptr);
    EXPECT_EQ(event->PreIncrementValue(), 1u);
    EXPECT_EQ(event->PreIncrementValue(), 2u);
    EXPECT_EQ(event->GetValue(), 2u);
    EXPECT_EQ(event->GetCompletedValue(), 0u);

    std::atomic<UINT64> seen{0};
    std::thread waiter([&] {
        ASSERT_TRUE(event->Wait(2, INFINITE));
        seen = event->GetCompletedValue();
    });
    event->Signal(1);
    EXPECT_FALSE(event->Wait(2, 1));
    event->Signal(2);
    waiter.join();
    EXPECT_EQ(seen.load(), 2u);
    EXPECT_TRUE(event->Wait(1, 0));
    EXPECT_FALSE(event->Wait(3, 2));
}

TEST_F(DXDeviceTest, Direct3D11SignalsTheSharedFence) {
    auto event = d12->CreateCompletionEvent(D3D12_FENCE_FLAG_SHARED);
    ASSERT_NE(event->GetSharedHandle(), nullptr);
    EXPECT_EQ(Emulation::FindSharedFence(event->GetSharedHandle()), event->GetFence());
    auto d11Event = D11CompletionEvent::OpenShared(d11, event);
    EXPECT_EQ(d11Event->GetFence(), event->GetFence());

    std::thread waiter([&] { EXPECT_TRUE(event->Wait(2, INFINITE)); });
    EXPECT_EQ(event->PreIncrementValue(), 1u);
    d11->Encode([&](const auto& context) { context->Signal(d11Event); });
    waiter.join();
    // Signal took the next value, 2, and signalled it.
    EXPECT_EQ(event->GetValue(), 2u);
    EXPECT_EQ(d11Event->GetCompletedValue(), 2u);

    auto local = d12->CreateCompletionEvent(D3D12_FENCE_FLAG_NONE);
    EXPECT_EQ(ResultOf([&] { D11CompletionEvent::OpenShared(d11, local); }), E_INVALIDARG);
    auto adapter = Emulation::MakeDefaultAdapter();
    adapter.fencesSupported = false;
    Emulation::SetAdapters({adapter});
    auto withoutFences = D11Device::Create(FirstAdapter());
    EXPECT_FALSE(withoutFences->IsFencesSupported());
    auto sharedEvent = d12->CreateCompletionEvent(D3D12_FENCE_FLAG_SHARED);
    EXPECT_EQ(ResultOf([&] { D11CompletionEvent::OpenShared(withoutFences, sharedEvent); }),
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
    EXPECT_TRUE(done->Wait(1, INFINITE));
    queue->Flush();

    // Destroying a queue drops work behind an unsatisfied wait.
    queue->Wait(gate, 6);
    queue->Signal(done, 2);
    device.reset();
    EXPECT_EQ(done->GetCompletedValue(), 1u);
    D12CommandAllocator::WaitAllComplete();  // dropped work counts as complete
}

}  // namespace
