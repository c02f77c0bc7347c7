#pragma once
// One visit in a schedule's hands, from the walk handing it over to its
// result being told: where it stands, and the new content it holds until
// its commit. Every field is the schedule's, under its lock.

#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <utility>

#include "convert/convert.h"
#include "convert/visit.h"
#include "platform/rewrite.h"

struct VisitSlot {
  enum class Stage {
    // Behind another visit of the same file, until that one is committed.
    kWaiting,
    kReady,
    kRunning,
    // Converted, failed or dropped: its result waits for its turn.
    kDone,
  };
  Visit Item;
  // Its place in the walk's order.
  std::uint64_t Seq = 0;
  Stage State = Stage::kReady;
  VisitResult Result;
  std::unique_ptr<PreparedConversion> Prepared;
  // Its new content has to be flushed to outlive a power cut.
  bool NeedsFlush = true;
  std::uint64_t Bytes = 0;
  // Whether it holds its file's strand.
  bool InStrand = false;
  // In a batch being committed: nothing else may touch its new content.
  bool Committing = false;
  // Converted while no other visit held room or could take any: a full
  // disk then leaves no hope of another try.
  bool Alone = false;
  // When its conversion ended.
  std::chrono::steady_clock::time_point DoneAt;

  // The new content waiting for its commit; null when there is none.
  Rewrite* Pending() const { return Prepared ? Prepared->Pending() : nullptr; }
  // Failed with error, whose program's code is code (0 for none).
  void Fail(std::exception_ptr error, int code) {
    Prepared.reset();
    Result.Failed = true;
    Result.Message = MessageOf(error);
    Result.Code = code;
    Result.Error = std::move(error);
  }
  // Never to be carried out.
  void Drop() {
    Prepared.reset();
    Result.Dropped = true;
    State = Stage::kDone;
  }
  // Gives back what it converted, to be converted again.
  void Reset() {
    Prepared.reset();
    Result = VisitResult();
    Result.Path = Item.Path;
    Result.Run = Item.Run;
    NeedsFlush = true;
    Bytes = 0;
    State = Stage::kReady;
  }
};
