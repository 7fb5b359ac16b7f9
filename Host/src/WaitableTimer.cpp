#include "Kavrin/Core/WaitableTimer.h"

#include <utility>

namespace Kavrin::Core {
namespace {

// Guards `factory`; a leaf lock.
std::mutex factoryMutex;
WaitableTimer::Factory factory;

// The plain threaded timer; the constructor is protected for test timers.
class ThreadedTimer : public WaitableTimer {
public:
    explicit ThreadedTimer(Callback callback) : WaitableTimer(std::move(callback)) {}
};

}  // namespace

std::unique_ptr<WaitableTimer> WaitableTimer::Create(Callback callback) {
    Factory current;
    {
        std::lock_guard lock(factoryMutex);
        current = factory;
    }
    if (current) {
        return current(std::move(callback));
    }
    return std::make_unique<ThreadedTimer>(std::move(callback));
}

void WaitableTimer::SetFactory(Factory replacement) {
    std::lock_guard lock(factoryMutex);
    factory = std::move(replacement);
}

WaitableTimer::WaitableTimer(Callback callback) : callback(std::move(callback)) {}

WaitableTimer::~WaitableTimer() {
    std::thread worker;
    {
        std::lock_guard lock(mutex);
        quitting = true;
        running = false;
        ++generation;
        worker = std::move(thread);
    }
    changed.notify_all();
    if (worker.joinable()) {
        worker.join();
    }
}

void WaitableTimer::StartPeriodic(const std::chrono::milliseconds& newPeriod) {
    {
        std::lock_guard lock(mutex);
        period = newPeriod;
        due = std::chrono::steady_clock::now() + newPeriod;
        running = true;
        ++generation;
        if (!thread.joinable()) {
            thread = std::thread([this] { Run(); });
        }
    }
    changed.notify_all();
}

void WaitableTimer::Stop(bool wait) {
    std::unique_lock lock(mutex);
    running = false;
    ++generation;
    const bool ownThread = thread.get_id() == std::this_thread::get_id();
    lock.unlock();
    changed.notify_all();
    if (wait && !ownThread) {
        lock.lock();
        changed.wait(lock, [this] { return !inCallback; });
    }
}

bool WaitableTimer::IsRunning() const {
    std::lock_guard lock(mutex);
    return running;
}

void WaitableTimer::SetRunning(bool value) {
    std::lock_guard lock(mutex);
    running = value;
    ++generation;
}

void WaitableTimer::Run() {
    std::unique_lock lock(mutex);
    while (!quitting) {
        if (!running) {
            changed.wait(lock, [this] { return quitting || running; });
            continue;
        }
        const unsigned started = generation;
        if (changed.wait_until(lock, due, [&] { return quitting || generation != started; })) {
            continue;
        }
        due += period;
        inCallback = true;
        lock.unlock();
        callback();
        lock.lock();
        inCallback = false;
        lock.unlock();
        changed.notify_all();
        lock.lock();
    }
}

}  // namespace Kavrin::Core
