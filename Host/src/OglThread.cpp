#include "Kavrin/Ogl/OglThread.h"

#include <atomic>
#include <thread>

namespace Kavrin::Ogl {
namespace {

std::atomic<std::thread::id> oglThread{};

}  // namespace

void RegisterOglThread() { oglThread.store(std::this_thread::get_id(), std::memory_order_release); }

void UnregisterOglThread() {
    std::thread::id self = std::this_thread::get_id();
    oglThread.compare_exchange_strong(self, std::thread::id{}, std::memory_order_acq_rel);
}

bool IsOpenGLThread() {
    return oglThread.load(std::memory_order_acquire) == std::this_thread::get_id();
}

}  // namespace Kavrin::Ogl
