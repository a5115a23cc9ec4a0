#include "tests/AllocCounter.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <new>
#include <string>

namespace {
thread_local std::size_t allocations = 0;

void* Allocate(std::size_t size) {
    ++allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
} // namespace

std::size_t testutil::ThreadAllocations() {
    return allocations;
}

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

TEST(AllocCounter, SeesAllocationsOfThisThread) {
    const testutil::AllocScope scope;
    auto p = std::make_unique<std::string>(100, 'x');
    EXPECT_GE(scope.count(), 1u);
}
