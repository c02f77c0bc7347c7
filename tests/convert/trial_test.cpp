#include "convert/trial.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "../support/convert_fixture.h"
#include "../support/replace_model.h"
#include "base/errors.h"
#include "convert/convert.h"
#include "platform/codepage.h"
#include "platform/fd.h"
#include "platform/folderentry.h"

namespace {

// A line of the model: as it stands, and what it becomes with its ending.
struct ModelLine {
  std::string text, brk, converted;
};

// How the model trims, and what it does with a byte-order mark.
struct ModelOptions {
  bool keep_leading = false;
  bool keep_trailing = false;
  bool remove_mark = false;
};

// A plain model of the conversion: the whole content split into lines, each
// trimmed as asked, ended and passed through the rules; *changed counts the
// lines whose text differs from the line with its own break; *lines gets
// every line. A byte-order mark removed belongs to the first line, or is one
// of its own in a file that holds nothing else.
std::string ModelConversion(const std::string& content, const std::string& ending,
                            const ReplaceRule& r1, const ReplaceRule& r2,
                            const ReplaceModel& folding, std::uint64_t* changed = nullptr,
                            ModelOptions how = {}, std::vector<ModelLine>* lines = nullptr) {
  std::string out;
  std::string mark;
  if (how.remove_mark && content.rfind("\xEF\xBB\xBF", 0) == 0) mark = "\xEF\xBB\xBF";
  std::size_t i = mark.size();
  if (!mark.empty() && i == content.size()) {
    if (changed != nullptr) ++*changed;
    if (lines != nullptr) lines->push_back({mark, "", ""});
  }
  while (i < content.size()) {
    std::size_t j = content.find_first_of("\r\n", i);
    if (j == std::string::npos) j = content.size();
    std::string line = content.substr(i, j - i);
    const std::string raw = mark + line;
    std::size_t b = 0;
    std::size_t e = line.size();
    while (!how.keep_leading && b < e && static_cast<unsigned char>(line[b]) <= 0x20) ++b;
    while (!how.keep_trailing && e > b && static_cast<unsigned char>(line[e - 1]) <= 0x20) --e;
    line = line.substr(b, e - b) + ending;
    for (const ReplaceRule* r : {&r1, &r2}) {
      if (r->Enabled) line = folding.Replace(line, r->Search, r->Replacement);
    }
    out += line;
    const std::size_t start = i - mark.size();
    mark.clear();
    i = j;
    if (i < content.size() && content[i] == '\r') ++i;
    if (i < content.size() && content[i] == '\n') ++i;
    if (changed != nullptr && line != content.substr(start, i - start)) ++*changed;
    if (lines != nullptr) lines->push_back({raw, content.substr(j, i - j), line});
  }
  return out;
}

// Every line a trial tells, kept.
struct ToldLines : TrialListener {
  struct Told {
    TrialLine line;
    std::string text, brk, converted, converted_break;
  };
  void Line(const TrialLine& l) override {
    lines.push_back({l, std::string(l.Text), std::string(l.Break), std::string(l.Converted),
                     std::string(l.ConvertedBreak)});
  }
  std::vector<Told> lines;
};

// Whether what a trial told of each line is what the model says; a line
// streamed is told by its first bytes.
testing::AssertionResult SameLines(const ToldLines& told, const std::vector<ModelLine>& model) {
  if (told.lines.size() != model.size()) {
    return testing::AssertionFailure() << told.lines.size() << " lines told, " << model.size();
  }
  for (std::size_t k = 0; k < model.size(); ++k) {
    const ToldLines::Told& t = told.lines[k];
    const ModelLine& m = model[k];
    std::size_t end = m.converted.size();
    if (end >= 2 && m.converted.compare(end - 2, 2, "\r\n") == 0) {
      end -= 2;
    } else if (end >= 1 && (m.converted[end - 1] == '\n' || m.converted[end - 1] == '\r')) {
      end -= 1;
    }
    const std::string converted = m.converted.substr(0, end);
    const std::size_t head = t.line.Cut ? kTrialLineHead : std::string::npos;
    const bool changed = m.converted != m.text + m.brk;
    if (t.line.Number != k + 1 || t.text != m.text.substr(0, head) || t.brk != m.brk ||
        t.line.TextSize != m.text.size() || t.converted != converted.substr(0, head) ||
        t.converted_break != m.converted.substr(end) || t.line.ConvertedSize != end ||
        t.line.Changed != changed || t.line.OnlyEnding != (changed && converted == m.text)) {
      return testing::AssertionFailure() << "line " << k + 1 << " (cut " << t.line.Cut << ")";
    }
  }
  return testing::AssertionSuccess();
}

TEST_F(ConvertTest, AgreesWithTheModelOnRandomFiles) {
  // With a character of three bytes and a lone continuation byte, a search
  // may fall inside a character that a read cuts in two.
  const std::vector<std::string> pieces = {"a",  "B",    "x",  " ",    "\t",       "\r",
                                           "\n", "\r\n", "é",  "É",    "#!",       "/p",
                                           "€",  "\x82", "ab", "\xA0", "use lib ", "\xEF\xBB\xBF"};
  std::mt19937 rng(7);
  auto make = [&](int max_pieces) {
    std::string s;
    int n = std::uniform_int_distribution<int>(0, max_pieces)(rng);
    for (int k = 0; k < n; ++k) {
      s += pieces[std::uniform_int_distribution<std::size_t>(0, pieces.size() - 1)(rng)];
    }
    return s;
  };
  const CodePage utf8 = CodePage::Utf8();
  // The capitals beyond ASCII that the pieces can form: "â" (E2, from "€"
  // read as Windows-1252) and "é".
  const ReplaceModel model_cp1252{false, {{"\xE2", "\xC2"}}};
  const ReplaceModel model_utf8{true, {{"é", "É"}}};
  for (int round = 0; round < 400; ++round) {
    std::string content = make(round % 50 == 0 ? 20000 : 60);
    if (round % 4 == 1) content.insert(0, "\xEF\xBB\xBF");
    // A first line long enough for a trial to tell it by its first bytes.
    if (round % 100 == 50) content.insert(0, "\xEF\xBB\xBF" + std::string(300, 'x'));
    ReplaceRule r1{rng() % 4 != 0, make(2), make(2)};
    ReplaceRule r2{rng() % 2 != 0, make(3), make(1)};
    const CodePage& cp = round % 2 == 0 ? Cp() : utf8;
    const ReplaceModel& model_cp = round % 2 == 0 ? model_cp1252 : model_utf8;
    auto kind = static_cast<LineEnding>(round % 3);
    const std::string ending = kind == LineEnding::Windows ? "\r\n"
                               : kind == LineEnding::Unix  ? "\n"
                                                           : "\r";
    std::string p = Write("r.txt", content);
    std::uint64_t changed = 0;
    const std::string model = ModelConversion(content, ending, r1, r2, model_cp, &changed);
    // Tiny reads, and lines streamed from a few bytes on: what is held back
    // between pieces (a search's length, a run of blanks, half a character,
    // a CR whose LF is in the next read, a byte-order mark to pass over) must
    // give the same bytes, and the trial must tell the same lines.
    Conversion small;
    small.Kind = kind;
    small.Rule1 = r1;
    small.Rule2 = r2;
    small.Cp = &cp;
    small.Options.ReadChunk = 1 + rng() % 7;
    small.Options.WholeLinesUpTo = rng() % 12;
    small.Options.KeepIndentation = rng() % 2 == 0;
    small.Options.EndingsOnly = rng() % 4 == 0;
    small.Options.RemoveByteOrderMark = rng() % 2 == 0;
    std::uint64_t small_changed = 0;
    std::vector<ModelLine> small_lines;
    const ModelOptions small_how{small.Options.KeepIndentation || small.Options.EndingsOnly,
                                 small.Options.EndingsOnly, small.Options.RemoveByteOrderMark};
    const std::string small_model =
        ModelConversion(content, ending, r1, r2, model_cp, &small_changed, small_how, &small_lines);
    FolderEntry entry;
    ASSERT_EQ(entry.Locate(p), 0);
    ToldLines told;
    const TrialOutcome small_trial = TryConvertFile(entry, small, &told);
    ASSERT_EQ(small_trial.ChangedLines, small_model == content ? 0 : small_changed)
        << "round " << round;
    ASSERT_TRUE(SameLines(told, small_lines)) << "round " << round;
    small.Options.KeepUnchanged = rng() % 2 == 0;
    ConvertFile(entry, small);
    ASSERT_TRUE(Read(p) == small_model) << "round " << round << " streamed";
    p = Write("r.txt", content);
    const TrialOutcome trial = TryConvertFile(p, kind, r1, r2, cp);
    ASSERT_EQ(trial.Outcome,
              model == content ? ConvertOutcome::kUnchanged : ConvertOutcome::kConverted);
    ASSERT_EQ(trial.ChangedLines, model == content ? 0 : changed) << "round " << round;
    ConvertTextFile(p, p, kind, r1, r2, cp);
    ASSERT_TRUE(Read(p) == model) << "round " << round << " search1=" << r1.Search
                                  << " search2=" << r2.Search;
  }
}

TEST_F(ConvertTest, ATrialForeseesTheRefusalOfAnImmutableOrAppendOnlyFile) {
  for (int flag : {FS_IMMUTABLE_FL, FS_APPEND_FL}) {
    const std::string p = Write("f.pl", "x \r\n");
    Fd fd(open(p.c_str(), O_RDONLY | O_CLOEXEC));
    int flags = 0;
    int with = ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) == 0 ? flags | flag : 0;
    if (with == 0 || ioctl(fd.get(), FS_IOC_SETFLAGS, &with) != 0)
      GTEST_SKIP() << "needs root and inode flags";
    // What the trial, then the run, tell the user.
    std::string told[2];
    for (int run = 0; run < 2; ++run) {
      try {
        if (run == 0) TryConvertFile(p, LineEnding::Unix, kNoRule, kNoRule, Cp());
        if (run == 1) ConvertTextFile(p, p, LineEnding::Unix, kNoRule, kNoRule, Cp());
      } catch (const Exception& e) {
        told[run] = e.Message() + " (" + e.Reason() + ")";
      }
    }
    ioctl(fd.get(), FS_IOC_SETFLAGS, &flags);
    EXPECT_EQ(told[0].rfind("Accès au fichier refusé (", 0), 0u) << told[0];
    EXPECT_EQ(told[0], told[1]);
  }
}

}  // namespace
