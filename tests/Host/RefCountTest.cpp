#include "Kavrin/Core/RefCount.h"

#include <atomic>
#include <thread>
#include <vector>

#include <boost/intrusive_ptr.hpp>
#include <gtest/gtest.h>

namespace {

class Counted : public Kavrin::IRefCountable {
public:
    explicit Counted(std::atomic<int>& destroyed) : destroyed(destroyed) {}
    ~Counted() override { ++destroyed; }
    KAVRIN_IMPLEMENT_REFCOUNT(refCount)

private:
    Kavrin::RefCountImpl refCount;
    std::atomic<int>& destroyed;
};

TEST(RefCountTest, LastReleaseDeletesExactlyOnce) {
    std::atomic<int> destroyed = 0;
    auto* object = new Counted(destroyed);
    {
        boost::intrusive_ptr<Counted> first(object);
        boost::intrusive_ptr<Counted> second = first;
        EXPECT_EQ(object->GetRefCount(), 2u);
        second.reset();
        EXPECT_EQ(object->GetRefCount(), 1u);
        EXPECT_EQ(destroyed, 0);
    }
    EXPECT_EQ(destroyed, 1);
    // A copied object starts with no references of its own.
    Kavrin::RefCountImpl original;
    original.AddRef();
    original.AddRef();
    Kavrin::RefCountImpl copy(original);
    EXPECT_EQ(copy.Get(), 0u);
    EXPECT_EQ(original.Get(), 2u);
}

TEST(RefCountTest, ConcurrentCopiesOnManyThreadsBalance) {
    std::atomic<int> destroyed = 0;
    boost::intrusive_ptr<Counted> shared(new Counted(destroyed));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([shared] {
            for (int i = 0; i < 10000; ++i) {
                boost::intrusive_ptr<Counted> copy = shared;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(shared->GetRefCount(), 1u);
    shared.reset();
    EXPECT_EQ(destroyed, 1);
}

}  // namespace
