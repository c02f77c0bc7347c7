#include "platform/recordtext.h"

#include <cstdio>
#include <cstdlib>

#include "platform/paths.h"

namespace {

// Earlier versions: without the file's owner, group and mark, which was the
// copy's path; the first also without the identities of the work files.
constexpr char kSecondRecordMagic[] = "terminelle-reprise 2\n";
constexpr char kFirstRecordMagic[] = "terminelle-reprise 1\n";
static_assert(sizeof kRecordMagic == sizeof kSecondRecordMagic &&
              sizeof kRecordMagic == sizeof kFirstRecordMagic);
// Where a work file lies, as a record writes it.
constexpr char kBeside[] = "b";
constexpr char kInStateFolder[] = "s";

void AppendField(std::string* record, const std::string& value) {
  *record += std::to_string(value.size());
  *record += ':';
  *record += value;
  *record += '\n';
}

bool ReadField(const std::string& record, std::size_t* pos, std::string* value) {
  std::size_t colon = record.find(':', *pos);
  if (colon == std::string::npos || colon == *pos || colon - *pos > 12) return false;
  std::size_t len = 0;
  for (std::size_t i = *pos; i < colon; ++i) {
    if (record[i] < '0' || record[i] > '9') return false;
    len = len * 10 + static_cast<std::size_t>(record[i] - '0');
  }
  if (len > record.size() - colon - 1 || record.size() - colon - 1 - len < 1 ||
      record[colon + 1 + len] != '\n') {
    return false;
  }
  value->assign(record, colon + 1, len);
  *pos = colon + 2 + len;
  return true;
}

// The fields at *pos, in order, as numbers in base.
template <class... Number>
bool ReadNumbers(const std::string& record, std::size_t* pos, int base, Number*... numbers) {
  std::string text;
  return ((ReadField(record, pos, &text) &&
           (*numbers = static_cast<Number>(std::strtoull(text.c_str(), nullptr, base)), true)) &&
          ...);
}

void AppendIdentity(std::string* record, const RecordedFile& f) {
  AppendField(record, std::to_string(f.Device));
  AppendField(record, std::to_string(f.Inode));
  AppendField(record, std::to_string(f.Owner));
}

bool ReadIdentity(const std::string& record, std::size_t* pos, RecordedFile* f) {
  f->Known = true;
  return ReadNumbers(record, pos, 10, &f->Device, &f->Inode, &f->Owner);
}

bool ReadWorkFile(const std::string& record, std::size_t* pos, RecordedFile* f) {
  std::string place;
  if (!ReadField(record, pos, &place) || !ReadField(record, pos, &f->Name)) return false;
  f->InStateFolder = place == kInStateFolder;
  return (f->InStateFolder || place == kBeside) && ReadIdentity(record, pos, f);
}

// A work file an earlier version's record names by its path, beside the
// file at target or in the state folder.
RecordedFile Placed(const std::string& path, const std::string& target) {
  RecordedFile f;
  const std::string folder = FolderOf(path);
  f.InStateFolder = folder == StateFolderPath();
  if (f.InStateFolder || folder == FolderOf(target)) f.Name = NameOf(path);
  return f;
}

}  // namespace

std::string RecordText(const RewriteRecord& r) {
  std::string text = kRecordMagic;
  text += kUntouched;
  text += '\n';
  AppendField(&text, r.Target);
  AppendField(&text, std::to_string(r.Device));
  AppendField(&text, std::to_string(r.Inode));
  AppendField(&text, std::to_string(r.Owner));
  AppendField(&text, std::to_string(r.Group));
  char mode[16];
  std::snprintf(mode, sizeof mode, "%o", static_cast<unsigned>(r.Mode & 07777));
  AppendField(&text, mode);
  AppendField(&text, r.Capability);
  AppendField(&text, r.Mark);
  for (const RecordedFile* f : {&r.Backup, &r.Temp}) {
    AppendField(&text, f->InStateFolder ? kInStateFolder : kBeside);
    AppendField(&text, f->Name);
    AppendIdentity(&text, *f);
  }
  return text;
}

bool ParseCurrent(const std::string& text, std::size_t pos, RewriteRecord* r) {
  r->Owned = true;
  return ReadField(text, &pos, &r->Target) &&
         ReadNumbers(text, &pos, 10, &r->Device, &r->Inode, &r->Owner, &r->Group) &&
         ReadNumbers(text, &pos, 8, &r->Mode) && ReadField(text, &pos, &r->Capability) &&
         ReadField(text, &pos, &r->Mark) && ReadWorkFile(text, &pos, &r->Backup) &&
         ReadWorkFile(text, &pos, &r->Temp);
}

bool ParseEarlier(const std::string& text, std::size_t pos, bool second, RewriteRecord* r) {
  std::string backup, temp;
  if (!ReadField(text, &pos, &r->Target) || !ReadField(text, &pos, &backup) ||
      !ReadField(text, &pos, &temp) || !ReadNumbers(text, &pos, 10, &r->Device, &r->Inode) ||
      !ReadNumbers(text, &pos, 8, &r->Mode) || !ReadField(text, &pos, &r->Capability)) {
    return false;
  }
  r->Backup = Placed(backup, r->Target);
  r->Temp = Placed(temp, r->Target);
  // They marked the file with the copy's path.
  r->Mark = backup;
  return !second || (ReadIdentity(text, &pos, &r->Backup) && ReadIdentity(text, &pos, &r->Temp));
}

bool ParseRecord(const std::string& text, ReadRecord* read) {
  if (text.size() < kPhaseOffset + 2 || text[kPhaseOffset + 1] != '\n') return false;
  read->phase = text[kPhaseOffset];
  const std::size_t pos = kPhaseOffset + 2;
  const std::string magic = text.substr(0, kPhaseOffset);
  read->current = magic == kRecordMagic;
  if (read->current) return ParseCurrent(text, pos, &read->r);
  if (magic != kSecondRecordMagic && magic != kFirstRecordMagic) return false;
  return ParseEarlier(text, pos, magic == kSecondRecordMagic, &read->r);
}
