#include "tests/AllocCounter.h"

#include <cstdlib>
#include <new>

// The global operator new of the test binary, counting per thread. ThreadSanitizer's runtime
// defines it itself; there the count stays 0 and the tests that need it are skipped.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define CHRONEL_NO_NEW_REPLACEMENT 1
#endif
#endif

namespace {
thread_local std::size_t allocations = 0;

[[maybe_unused]] void* Allocate(std::size_t size) {
    ++allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) { // NOLINT
        return p;
    }
    throw std::bad_alloc();
}
} // namespace

std::size_t testutil::ThreadAllocations() {
    return allocations;
}

#ifndef CHRONEL_NO_NEW_REPLACEMENT
void* operator new(std::size_t size) {
    return Allocate(size);
}
void* operator new[](std::size_t size) {
    return Allocate(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
#endif
