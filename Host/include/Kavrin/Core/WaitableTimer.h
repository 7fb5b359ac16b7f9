#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace Kavrin::Core {

// Calls a callback periodically on the timer's own thread (made at the first
// start, kept until the timer is destroyed). Thread-safe: start and stop from
// any thread, including from inside the callback.
class WaitableTimer {
public:
    using Callback = std::function<void()>;
    // Makes the timers Create hands out; tests install one to drive time by hand.
    using Factory = std::function<std::unique_ptr<WaitableTimer>(Callback)>;

    // A timer that is not started. Thread-safe.
    static std::unique_ptr<WaitableTimer> Create(Callback callback);
    // Replaces what Create makes; an empty function restores the threaded timer.
    static void SetFactory(Factory factory);

    // Stops and waits for a running callback; never destroy a timer from its own
    // callback (the thread cannot join itself).
    virtual ~WaitableTimer();
    WaitableTimer(const WaitableTimer&) = delete;
    WaitableTimer& operator=(const WaitableTimer&) = delete;

    // Calls the callback every `period`, the first time one period from now. A
    // running timer restarts with the new period.
    virtual void StartPeriodic(const std::chrono::milliseconds& period);
    // No further calls once it returns; with `wait` it also waits for a call in
    // progress, except on the timer's own thread, where that would never end.
    virtual void Stop(bool wait);
    // True from StartPeriodic until Stop.
    bool IsRunning() const;

protected:
    explicit WaitableTimer(Callback callback);
    // For timers that run the callback their own way.
    void SetRunning(bool value);

private:
    void Run();

    const Callback callback;
    // Guards every field below; a leaf lock, never held while the callback runs.
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::thread thread;
    std::chrono::milliseconds period{0};
    std::chrono::steady_clock::time_point due;
    // Raised by every start and stop, so that a wait in progress starts over.
    unsigned generation = 0;
    bool running = false;
    bool inCallback = false;
    bool quitting = false;
};

}  // namespace Kavrin::Core
