#include "convert/buffers.h"

#include <gtest/gtest.h>

#include <string>

#include "../support/convert_fixture.h"
#include "convert/convert.h"
#include "platform/codepage.h"
#include "platform/folderentry.h"

namespace {

TEST_F(ConvertTest, WhatALongLineTookIsGivenBackAfterItsFile) {
  // A line of 6 MiB held whole, whose rule sees its ending and its capitals,
  // grows every line buffer of this thread.
  const std::string p = Write("long.pl", std::string(6 << 20, 'x') + "é \n");
  FolderEntry entry;
  ASSERT_EQ(entry.Locate(p), 0);
  const CodePage utf8 = CodePage::Utf8();
  Conversion how;
  how.Kind = LineEnding::Unix;
  how.Rule1 = {true, "é\n", "e\n"};
  how.Cp = &utf8;
  how.Options.WholeLinesUpTo = 8 << 20;
  EXPECT_EQ(ConvertFile(entry, how), ConvertOutcome::kConverted);
  const Buffers& b = SharedBuffers();
  for (const std::string* s : {&b.Carry, &b.Scratch.Line, &b.Scratch.Spare, &b.Scratch.Upper}) {
    EXPECT_LE(s->capacity(), kKeptCapacity);
  }
}

}  // namespace
