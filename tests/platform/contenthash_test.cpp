#include "platform/contenthash.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

std::uint64_t HashInPieces(const std::string& s, std::size_t piece) {
  ContentHash hash;
  for (std::size_t i = 0; i < s.size(); i += piece)
    hash.Add(s.data() + i, std::min(piece, s.size() - i));
  return hash.Value();
}

TEST(ContentHash, IgnoresHowTheContentIsCutAndTellsAnyChange) {
  std::string text = "#!/perl/bin/perl\r\nprint \"x\";\r\n";
  const std::uint64_t whole = HashInPieces(text, text.size());
  for (std::size_t piece : {1, 3, 7, 8, 9}) EXPECT_EQ(HashInPieces(text, piece), whole) << piece;
  std::string changed = text;
  changed[20] ^= 1;
  EXPECT_NE(HashInPieces(changed, 5), whole);
  EXPECT_NE(HashInPieces(text + std::string(1, '\0'), 5), whole);
}

}  // namespace

// A clock that reads a given time, with the system's tick.
class ClockAt : public FileClock {
 public:
  explicit ClockAt(const struct timespec& now) : now_(now) {}
  struct timespec Now() const override {
    return now_;
  }

 private:
  struct timespec now_;
};

TEST(MayChangeUnseen, AllowsForTheStepOfTheFileSystemsDates) {
  struct stat st {};
  const auto at = [](time_t sec, long nsec) { return timespec{sec, nsec}; };
  // Dates of whole seconds (ext4 with small inodes, FAT): a save within the
  // next two seconds may keep them.
  st.st_ctim = at(1000, 0);
  EXPECT_TRUE(MayChangeUnseen(st, ClockAt(at(1001, 900000000))));
  EXPECT_FALSE(MayChangeUnseen(st, ClockAt(at(1002, 100000000))));
  // Dates of hundredths of a second (exFAT): only the next hundredth or so.
  st.st_ctim = at(1000, 250000000);
  EXPECT_FALSE(MayChangeUnseen(st, ClockAt(at(1000, 300000000))));
  // Exact dates: only within the clock's tick.
  st.st_ctim = at(1000, 123456789);
  EXPECT_TRUE(MayChangeUnseen(st, ClockAt(at(1000, 123456789))));
  EXPECT_FALSE(MayChangeUnseen(st, ClockAt(at(1001, 123456789))));
}
