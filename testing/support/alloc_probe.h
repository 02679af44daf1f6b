// Replaces the global allocation functions of the test process (and so of the
// plug-in and jsoncpp loaded into it) with ones that count allocations and can
// be told to fail, to show what a request leaves behind when memory runs out.
// Link only into tests that need it.
#pragma once

#include <cstddef>

namespace alloc_probe {

// Allocations made by operator new since the process started.
std::size_t allocations();
// The allocation `n` calls from now (0: the next one) throws std::bad_alloc,
// once; the ones after it succeed again.
void fail_allocation_after(std::size_t n);
// Cancels a pending failure.
void disarm();

}  // namespace alloc_probe
