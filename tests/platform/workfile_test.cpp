#include "platform/workfile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "../support/rewrite_fixture.h"

namespace {

using WorkFileTest = RewriteFixture;

TEST_F(WorkFileTest, OnlyTheProgramsOwnWorkFilesAreSwept) {
  // Named as a person names files, or as the previous version did.
  const std::set<std::string> users = {".terminelle-README",
                                       ".terminelle-ignore",
                                       ".terminelle-abc123",
                                       ".terminelle-ancien-x1Y2z3",
                                       ".terminelle~aaaaaaaaaaaaaaaaaaaa",
                                       ".terminelle~Ab3cD4eF5gH6iJ7kL8mN9"};
  for (const std::string& name : users) {
    Write(name, "");
    EXPECT_FALSE(IsWorkFileName(name.c_str())) << name;
  }
  // Left by killed runs: temporary files (of this version and the one
  // before), an empty copy, and a copy that may be the only one of a file's
  // old content.
  const std::string temp = ".terminelle~neuf~Ab3cD4eF5gH6iJ7kL8mN";
  const std::string earlier = ".terminelle~Ab3cD4eF5gH6iJ7kL8mN";
  const std::string empty = ".terminelle~ancien~Zy9xW8vU7tS6rQ5pO4nM";
  const std::string kept = ".terminelle~ancien~Qq1Ww2Ee3Rr4Tt5Yy6Uu";
  Write(temp, "t");
  Write(earlier, "t");
  Write(empty, "");
  Write(kept, "old content");
  for (const std::string& name : {temp, earlier, empty, kept}) {
    EXPECT_TRUE(IsWorkFileName(name.c_str())) << name;
  }
  SweepStaleWorkFiles(dir_);
  std::set<std::string> expected = users;
  expected.insert(kept);
  EXPECT_EQ(Entries(), expected);
}

TEST_F(WorkFileTest, AKillAtTheFirstStepsLeavesNoWorkFileAfterOneSweep) {
  // Whoever the user, with unnamed files or without.
  for (bool unnamed : {true, false}) {
    for (WriteStep step : {WriteStep::kWorkFileMade, WriteStep::kBeforeReplace}) {
      SCOPED_TRACE(testing::Message()
                   << "unnamed " << unnamed << ", step " << static_cast<int>(step));
      const std::string p = Write("f.pl", "old");
      if (root_) {
        ASSERT_EQ(chown(p.c_str(), kNobody, kNobody), 0);
      }
      AsOrdinaryUser([&] {
        KillAt kill(step, unnamed);
        RewriteTo(p, "new", kill);
        return 0;
      });
      EXPECT_EQ(AsOrdinaryUser([&] {
                  SweepStaleWorkFiles(dir_);
                  return 0;
                }),
                0);
      EXPECT_EQ(Read(p), "old");
      EXPECT_EQ(Entries(), std::set<std::string>{"f.pl"});
    }
  }
}

}  // namespace
