#pragma once
// Counts the heap allocations of a test program, so that a test bounds the
// work and memory an operation takes rather than its time. A program that
// includes this links allocations.cpp, which replaces operator new.

#include <cstddef>

// Allocations made through operator new since the program started.
struct AllocationCount {
  std::size_t calls = 0;  // how many
  std::size_t bytes = 0;  // their sizes added up
};

// The count so far, all threads together.
AllocationCount Allocations();
// What was allocated since start.
AllocationCount AllocatedSince(const AllocationCount& start);
