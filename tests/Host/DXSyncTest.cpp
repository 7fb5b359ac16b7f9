// Keyed mutexes and fences of the DirectX stand-in across threads.
#include <atomic>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "Kavrin/DX/DirectX.h"

#include "DXTestSupport.h"

namespace {

using namespace Kavrin::DX;
using Kavrin::Test::DXTest;
using Kavrin::Test::ResultOf;

class DXKeyedMutexTest : public DXTest {
protected:
    void SetUp() override {
        DXTest::SetUp();
        device = D11Device::Create(FirstAdapter());
        shared = D11SharedTexture2D::Create(device, Desc(1, 1));
        memory = Emulation::GetTextureMemory(shared->GetTexture().p);
    }
    void TearDown() override {
        memory.reset();
        shared.reset();
        device.reset();
        DXTest::TearDown();
    }

    boost::intrusive_ptr<D11Device> device;
    boost::intrusive_ptr<D11SharedTexture2D> shared;
    std::shared_ptr<EmulatedTexture> memory;
    const int glClient = 0;  // stands for a GL memory object
};

TEST_F(DXKeyedMutexTest, AcquireWaitsForTheReleaseWithItsKey) {
    D3D11_TEXTURE2D_DESC desc{};
    shared->GetTexture()->GetDesc(&desc);
    EXPECT_EQ(desc.MiscFlags,
              UINT(D3D11_RESOURCE_MISC_SHARED_NTHANDLE | D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX));
    ASSERT_NE(memory->GetKeyedMutex(), nullptr);
    EmulatedKeyedMutex& mutex = *memory->GetKeyedMutex();
    EXPECT_FALSE(mutex.IsAcquired());
    EXPECT_EQ(mutex.GetKey(), 0u);
    ASSERT_TRUE(shared->AcquireSync(0, INFINITE));
    EXPECT_EQ(mutex.GetOwner(), static_cast<const void*>(shared->GetTexture().p));
    // Held: another client times out, whatever the key.
    EXPECT_EQ(mutex.Acquire(&glClient, 0, 5), static_cast<HRESULT>(WAIT_TIMEOUT));

    std::atomic<HRESULT> waited{E_FAIL};
    std::thread gl([&] { waited = mutex.Acquire(&glClient, 1, INFINITE); });
    shared->ReleaseSync(1);
    gl.join();
    EXPECT_EQ(waited.load(), S_OK);
    EXPECT_EQ(mutex.GetOwner(), static_cast<const void*>(&glClient));

    // Free but released with key 0: an acquire with key 1 times out.
    ASSERT_EQ(mutex.Release(&glClient, 0), S_OK);
    EXPECT_EQ(mutex.Acquire(&glClient, 1, 5), static_cast<HRESULT>(WAIT_TIMEOUT));
    EXPECT_FALSE(mutex.IsAcquired());
    EXPECT_TRUE(shared->AcquireSync(0, 0));
    shared->ReleaseSync(0);
}

// Two threads hand the texture to each other by key; each bumps a counter kept in
// the texture's memory. Without exclusion, increments would be lost.
TEST_F(DXKeyedMutexTest, HandOffByKeysExcludesTheOtherSide) {
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
        ASSERT_TRUE(shared->AcquireSync(0, INFINITE));
        bump();
        shared->ReleaseSync(1);
    }
    gl.join();
    ASSERT_TRUE(shared->AcquireSync(0, INFINITE));
    EXPECT_EQ(static_cast<int>(memory->ReadAll()[0]), 2 * kRounds);
    shared->ReleaseSync(0);
}

TEST_F(DXKeyedMutexTest, MisuseIsAnInvalidCallAndDestroyingTheHolderFreesTheMutex) {
    EmulatedKeyedMutex& mutex = *memory->GetKeyedMutex();
    EXPECT_EQ(ResultOf([&] { shared->ReleaseSync(0); }), DXGI_ERROR_INVALID_CALL) << "not held";
    ASSERT_TRUE(shared->AcquireSync(0, INFINITE));
    EXPECT_EQ(ResultOf([&] { shared->AcquireSync(0, 0); }), DXGI_ERROR_INVALID_CALL) << "twice";
    EXPECT_EQ(mutex.Release(&glClient, 0), DXGI_ERROR_INVALID_CALL) << "held by the other";
    shared->ReleaseSync(4);
    ASSERT_TRUE(shared->AcquireSync(4, 0));
    auto kept = memory;
    shared.reset();
    EXPECT_FALSE(kept->GetKeyedMutex()->IsAcquired());
    EXPECT_EQ(kept->GetKeyedMutex()->Acquire(&glClient, 4, 0), S_OK);
    EXPECT_EQ(kept->GetKeyedMutex()->Release(&glClient, 0), S_OK);
}

class DXFenceTest : public DXTest {
protected:
    void SetUp() override {
        DXTest::SetUp();
        device = D12Device::Create(*Emulation::GetGlDeviceLuid());
    }
    void TearDown() override {
        device.reset();
        DXTest::TearDown();
    }

    boost::intrusive_ptr<D12Device> device;
};

TEST_F(DXFenceTest, ValuesCountUpAndWaitsEndAtTheSignal) {
    auto event = device->CreateCompletionEvent(D3D12_FENCE_FLAG_NONE);
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

TEST_F(DXFenceTest, Direct3D11SignalsTheSharedFence) {
    auto event = device->CreateCompletionEvent(D3D12_FENCE_FLAG_SHARED);
    ASSERT_NE(event->GetSharedHandle(), nullptr);
    EXPECT_EQ(Emulation::FindSharedFence(event->GetSharedHandle()), event->GetFence());
    auto d11 = D11Device::Create(FirstAdapter());
    auto d11Event = D11CompletionEvent::OpenShared(d11, event);
    EXPECT_EQ(d11Event->GetFence(), event->GetFence());

    std::thread waiter([&] { EXPECT_TRUE(event->Wait(2, INFINITE)); });
    EXPECT_EQ(event->PreIncrementValue(), 1u);
    d11->Encode([&](const auto& context) { context->Signal(d11Event); });
    waiter.join();
    // Signal took the next value, 2, and signalled it.
    EXPECT_EQ(event->GetValue(), 2u);
    EXPECT_EQ(d11Event->GetCompletedValue(), 2u);

    auto local = device->CreateCompletionEvent(D3D12_FENCE_FLAG_NONE);
    EXPECT_EQ(ResultOf([&] { D11CompletionEvent::OpenShared(d11, local); }), E_INVALIDARG);
    auto adapter = Emulation::MakeDefaultAdapter();
    adapter.fencesSupported = false;
    Emulation::SetAdapters({adapter});
    auto withoutFences = D11Device::Create(FirstAdapter());
    EXPECT_FALSE(withoutFences->IsFencesSupported());
    auto sharedEvent = device->CreateCompletionEvent(D3D12_FENCE_FLAG_SHARED);
    EXPECT_EQ(ResultOf([&] { D11CompletionEvent::OpenShared(withoutFences, sharedEvent); }),
              E_NOINTERFACE);
}

TEST_F(DXFenceTest, QueueWaitHoldsLaterWorkUntilTheFenceIsReached) {
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
    device.reset();  // the device held the only queue reference
    EXPECT_EQ(done->GetCompletedValue(), 1u);
    D12CommandAllocator::WaitAllComplete();  // dropped work counts as complete
}

}  // namespace
