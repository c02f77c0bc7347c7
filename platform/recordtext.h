#pragma once
// The text of a rewrite's record, as this version writes it and as this
// one and the earlier ones are read back: a magic line, a phase byte, then
// fields each given with its length, so that no name can pass for another
// field.

#include <sys/types.h>

#include <string>

#include "platform/rewriterecord.h"

// The first line of this version's records.
inline constexpr char kRecordMagic[] = "terminelle-reprise 3\n";
// The record's phase byte, right after it: while the old content is being
// copied aside the file is untouched (it may bear its mark already); once
// the copy is safe the file may change, marked or not.
inline constexpr off_t kPhaseOffset = sizeof kRecordMagic - 1;
inline constexpr char kUntouched = '0';
inline constexpr char kUnmarked = '1';
inline constexpr char kMarked = '2';
// Larger records are none of the program's.
inline constexpr off_t kMostRecordBytes = 1 << 24;

// A record as read: what it says, its phase, and whether this version wrote it.
struct ReadRecord {
  RewriteRecord r;
  char phase = kUntouched;
  bool current = false;
};

// The record's text, its phase byte saying the file is untouched.
std::string RecordText(const RewriteRecord& r);
// Reads text, written by this version or an earlier one, into *read; false
// when it is no whole record.
bool ParseRecord(const std::string& text, ReadRecord* read);
