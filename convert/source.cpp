#include "convert/source.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "base/errors.h"
#include "convert/ioerror.h"
#include "platform/dosdate.h"
#include "platform/rewriterecord.h"
#include "platform/workfile.h"
#include "platform/writeover.h"

namespace {

// Whether a source that cannot be looked at counts as absent, which is not
// reported; anything else (no handle left, no memory) stops the run.
bool Absent(int err) {
  return err == ENOENT || err == ENOTDIR || err == EACCES || err == ELOOP || err == ENAMETOOLONG;
}

}  // namespace

bool OpenSource(const FolderEntry& entry, Source* s, FileWriter& writer) {
  s->Entry = entry;
  struct stat named {};
  if (const struct stat* listed = entry.Listed()) {
    named = *listed;
  } else if (int err = s->Entry.Status(&named)) {
    if (Absent(err)) return false;
    throw IoError(err, entry.Path());
  }
  int32_t dos = 0;
  if (!S_ISREG(named.st_mode) || !DosDateTime(named.st_mtime, &dos) ||
      IsWorkFileName(s->Entry.Name().c_str())) {
    return false;
  }
  // Read without moving its access time where this process could set it
  // back: a file found unchanged keeps all its dates.
  if (int err = s->Entry.OpenForReading(&s->File, RefuseUndatable(named) == 0)) {
    if (err == ELOOP || err == ENOENT) return false;  // replaced by a link, or gone, since
    ThrowOpenError(err, entry.Path());
  }
  if (::fstat(s->File.get(), &s->Status) != 0 || !S_ISREG(s->Status.st_mode)) return false;
  // Listed once: its rewrite takes the names from here.
  s->AttributesListed = ListAttributes(writer, s->File.get(), &s->Attributes);
  s->Mark.clear();
  std::string mark;
  if (std::find(s->Attributes.begin(), s->Attributes.end(), kRewriteMarkAttribute) !=
          s->Attributes.end() &&
      ReadAttribute(writer, s->File.get(), kRewriteMarkAttribute, &mark)) {
    s->Mark = std::move(mark);
  }
  return true;
}

bool SettleMarked(Source* s, FileWriter& writer) {
  if (s->Mark.empty()) return true;
  const MarkedFile state = SettleMarkedFile(writer, s->Entry, s->Status, s->Mark);
  if (state == MarkedFile::kBeingRewritten) throw IoError(EBUSY, s->Entry.Path());
  if (state == MarkedFile::kCutShort) RefuseMarked(*s);
  // Put back or found whole: read as it is now.
  s->Mark.clear();
  s->AttributesListed = ListAttributes(writer, s->File.get(), &s->Attributes);
  return ::fstat(s->File.get(), &s->Status) == 0 && S_ISREG(s->Status.st_mode);
}

void RefuseMarked(const Source& s) {
  if (!s.Mark.empty())
    throw CutShortError(s.Entry.Path(), FindMarkedCopy(s.Entry.Folder(), s.Mark));
}

FolderEntry Located(const std::string& path) {
  FolderEntry entry;
  if (int err = entry.Locate(path)) {
    // Absent, or no file: left alone as a missing file is.
    if (Absent(err) || err == EISDIR) return FolderEntry();
    throw IoError(err, path);
  }
  return entry;
}

void RefuseRewrite(const Source& src, FileWriter& writer, bool keep_dates) {
  if (int err = RefuseUnwritable(src.Entry, src.Status)) throw IoError(err, src.Entry.Path());
  // Special bits or dates that could not be kept and inode flags all
  // refuse with EPERM; only the first two are cured by converting as the
  // owner.
  if (RefuseUnkeepable(writer, src.File.get(), src.Status) != 0) {
    throw UnkeepableError(src.Entry.Path());
  }
  if (keep_dates && RefuseUndatable(src.Status) != 0) throw UndatableError(src.Entry.Path());
  if (int err = RefuseFlagged(writer, src.File.get())) throw IoError(err, src.Entry.Path());
}

void BeginRewrite(const Source& src, FileWriter& writer, bool keep_dates,
                  std::optional<Rewrite>& rewrite) {
  if (int err = RefuseUnwritable(src.Entry, src.Status)) throw IoError(err, src.Entry.Path());
  rewrite.emplace(src.Entry, src.File.get(), src.Status, writer);
  if (src.AttributesListed) rewrite->SetAttributeNames(src.Attributes);
  if (keep_dates) rewrite->KeepDates();
  if (int err = rewrite->Begin()) {
    const int state_error = rewrite->StateFolderError();
    rewrite.reset();
    if (state_error != 0) throw StateFolderError(state_error, src.Entry.Path());
    // Begin's gate refuses with EPERM whatever refused: told by its cause.
    if (err == EPERM) RefuseRewrite(src, writer, keep_dates);
    throw IoError(err, src.Entry.Path());
  }
}
