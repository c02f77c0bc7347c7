#pragma once
// How many processors the program may run on, for the threads that convert.

// The processors this process may run on; at least 1.
unsigned ProcessorCount();
