#include "allocations.h"

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<std::size_t> calls{0};
std::atomic<std::size_t> bytes{0};
// What is held counts the blocks as the allocator gave them, on the way in
// and on the way out alike.
std::atomic<std::size_t> held{0};
std::atomic<std::size_t> peak{0};
std::atomic<std::size_t> limit{0};

void* Allocate(std::size_t size) {
  calls.fetch_add(1, std::memory_order_relaxed);
  bytes.fetch_add(size, std::memory_order_relaxed);
  const std::size_t most = limit.load(std::memory_order_relaxed);
  if (most != 0 && held.load(std::memory_order_relaxed) + size > most) throw std::bad_alloc();
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  const std::size_t block = malloc_usable_size(p);
  const std::size_t now = held.fetch_add(block, std::memory_order_relaxed) + block;
  std::size_t seen = peak.load(std::memory_order_relaxed);
  while (now > seen && !peak.compare_exchange_weak(seen, now, std::memory_order_relaxed)) {
  }
  return p;
}

void Release(void* p) {
  if (p == nullptr) return;
  held.fetch_sub(malloc_usable_size(p), std::memory_order_relaxed);
  std::free(p);
}

}  // namespace

AllocationCount Allocations() {
  return {calls.load(std::memory_order_relaxed), bytes.load(std::memory_order_relaxed)};
}

AllocationCount AllocatedSince(const AllocationCount& start) {
  AllocationCount now = Allocations();
  return {now.calls - start.calls, now.bytes - start.bytes};
}

std::size_t Held() {
  return held.load(std::memory_order_relaxed);
}

void ResetPeak() {
  peak.store(held.load(std::memory_order_relaxed), std::memory_order_relaxed);
}

std::size_t PeakHeld() {
  return peak.load(std::memory_order_relaxed);
}

void LimitHeld(std::size_t bytes) {
  limit.store(bytes, std::memory_order_relaxed);
}

void* operator new(std::size_t size) {
  return Allocate(size);
}

void* operator new[](std::size_t size) {
  return Allocate(size);
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return Allocate(size);
  } catch (...) {
    return nullptr;
  }
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return Allocate(size);
  } catch (...) {
    return nullptr;
  }
}

void operator delete(void* p) noexcept {
  Release(p);
}

void operator delete[](void* p) noexcept {
  Release(p);
}

void operator delete(void* p, std::size_t) noexcept {
  Release(p);
}

void operator delete[](void* p, std::size_t) noexcept {
  Release(p);
}

void operator delete(void* p, const std::nothrow_t&) noexcept {
  Release(p);
}

void operator delete[](void* p, const std::nothrow_t&) noexcept {
  Release(p);
}
