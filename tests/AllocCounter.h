// Counts the heap allocations made by the current thread, for tests that require a function
// to allocate nothing. The global operator new of the test binary is replaced once, in
// AllocCounter_test.cpp.
#pragma once

#include <cstddef>

namespace testutil {

// Allocations made by this thread since the program started.
std::size_t ThreadAllocations();

// Allocations made by this thread while the scope was alive.
class AllocScope {
  public:
    AllocScope() : start_(ThreadAllocations()) {}
    [[nodiscard]] std::size_t count() const { return ThreadAllocations() - start_; }

  private:
    std::size_t start_;
};

} // namespace testutil
