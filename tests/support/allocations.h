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

// Bytes held now through operator new, all threads together.
std::size_t Held();
// Starts the peak afresh from what is held now.
void ResetPeak();
// The most bytes held at once since ResetPeak (or since the program started).
std::size_t PeakHeld();
// Makes operator new fail (std::bad_alloc) where it would hold more than
// bytes in all; 0 lifts the limit. A test that bounds what an operation
// holds fails then, rather than taking the machine's memory.
void LimitHeld(std::size_t bytes);
