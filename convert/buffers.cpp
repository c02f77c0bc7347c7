#include "convert/buffers.h"

Buffers& SharedBuffers() {
  thread_local Buffers buffers;
  return buffers;
}

void ReleaseLongLines(Buffers& b) {
  for (std::string* s : {&b.Carry, &b.Scratch.Line, &b.Scratch.Spare, &b.Scratch.Upper}) {
    if (s->capacity() > kKeptCapacity) std::string().swap(*s);
  }
}
