#include "platform/processors.h"

#include <sched.h>

#include <thread>

unsigned ProcessorCount() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) {
    return static_cast<unsigned>(CPU_COUNT(&set));
  }
  unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? n : 1;
}
