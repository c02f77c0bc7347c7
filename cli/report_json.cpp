#include "cli/report_json.h"

#include <cstdint>

#include "base/errors.h"
#include "cli/json.h"

namespace {

const char* MarkName(ByteOrderMark mark) {
  switch (mark) {
    case ByteOrderMark::kUtf8:
      return "utf-8";
    case ByteOrderMark::kUtf16Le:
      return "utf-16le";
    case ByteOrderMark::kUtf16Be:
      return "utf-16be";
    case ByteOrderMark::kUtf32Le:
      return "utf-32le";
    case ByteOrderMark::kUtf32Be:
      return "utf-32be";
    case ByteOrderMark::kNone:
      break;
  }
  return nullptr;
}

}  // namespace

JsonReport::JsonReport(const RunSettings& run)
    : trial_(run.Trial), info_(run.Info), check_perl_(run.CheckPerl) {}

const char* JsonReport::Outcome(const VisitResult& d) const {
  if (d.Failed) return IsRefusal(d) ? "refused" : "failed";
  switch (d.Outcome) {
    case ConvertOutcome::kConverted:
      return trial_ ? "would_change" : "converted";
    case ConvertOutcome::kUnchanged:
      return info_ ? "inspected" : "unchanged";
    case ConvertOutcome::kBinary:
      return "binary";
    case ConvertOutcome::kLeftAlone:
      break;
  }
  return "left_alone";
}

std::string JsonReport::File(const VisitResult& d) const {
  JsonObject o;
  o.Text("type", d.Folder ? "folder" : "file");
  o.Bytes("path", d.Path.Text());
  o.Text("outcome", Outcome(d));
  // Counted by trials only; a file unchanged has none.
  if (!d.Failed && !info_) {
    if (trial_ && d.Outcome == ConvertOutcome::kConverted) {
      o.Number("changed_lines", d.ChangedLines);
    } else if (d.Outcome == ConvertOutcome::kUnchanged) {
      o.Number("changed_lines", 0);
    }
  }
  if (d.Failed) {
    JsonObject e;
    if (d.Code != 0) {
      e.Number("code", static_cast<std::uint64_t>(d.Code));
    } else {
      e.Null("code");
    }
    e.Text("message", d.Message);
    const std::string reason = DetailOf(d.Error).Reason;
    if (reason.empty()) {
      e.Null("reason");
    } else {
      e.Text("reason", reason);
    }
    o.Raw("error", e.Close());
  }
  if (info_ && !d.Failed && d.Outcome != ConvertOutcome::kLeftAlone) {
    const FileInfo& i = d.Info;
    if (const char* mark = MarkName(i.Mark)) {
      o.Text("bom", mark);
    } else {
      o.Null("bom");
    }
    o.Bool("binary", i.Binary);
    if (i.Binary) {
      o.Number("nul_offset", i.NulAt);
    } else {
      o.Number("crlf", i.CrLf).Number("lf", i.Lf).Number("cr", i.Cr);
      o.Bool("final_newline", !i.LastLineUnended);
      o.Number("trailing_blanks", i.TrailingBlanks);
    }
  }
  if (check_perl_) {
    std::string list = "[";
    for (const TrialWarning& w : d.Warnings) {
      JsonObject item;
      if (w.Line != 0) {
        item.Number("line", w.Line);
      } else {
        item.Null("line");
      }
      if (list.size() > 1) list += ", ";
      list += item.Text("text", w.Text).Close();
    }
    o.Raw("warnings", list + "]");
  }
  return o.Close();
}

std::string JsonReport::Summary(const RunCounts& counts, int status) const {
  const Tally& tally = counts.Files;
  JsonObject o;
  o.Text("type", "summary");
  o.Number("converted", trial_ ? 0 : tally.Converted);
  o.Number("would_change", trial_ ? tally.Converted : 0);
  o.Number("unchanged", info_ ? 0 : tally.Unchanged);
  if (info_) o.Number("inspected", counts.TextFiles);
  o.Number("binary", counts.Binary);
  o.Number("left_alone", tally.LeftAlone - counts.Binary);
  o.Number("refused", tally.Refused);
  o.Number("failed", tally.Failed);
  o.Number("warnings", counts.Warned);
  if (info_) {
    o.Number("crlf", counts.CrLf).Number("lf", counts.Lf).Number("cr", counts.Cr);
    o.Number("mixed", counts.Mixed).Number("bom", counts.Marked);
    o.Number("no_final_newline", counts.Unended);
    o.Number("trailing_blanks", counts.BlankLines);
  }
  o.Number("status", static_cast<std::uint64_t>(status));
  return o.Close();
}
