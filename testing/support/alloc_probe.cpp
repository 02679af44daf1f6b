#include "alloc_probe.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<std::size_t> g_allocations{0};
// Allocations left before the failing one; negative: none armed.
std::atomic<long long> g_fail_countdown{-1};

void* allocate(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (g_fail_countdown.load(std::memory_order_relaxed) >= 0 &&
        g_fail_countdown.fetch_sub(1, std::memory_order_relaxed) == 0) {
        throw std::bad_alloc();
    }
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

}  // namespace

namespace alloc_probe {

std::size_t allocations() { return g_allocations.load(); }
void fail_allocation_after(std::size_t n) { g_fail_countdown.store(static_cast<long long>(n)); }
void disarm() { g_fail_countdown.store(-1); }

}  // namespace alloc_probe

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
    return operator new(size, tag);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
