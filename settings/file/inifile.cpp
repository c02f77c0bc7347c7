#include "settings/file/inifile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "platform/contenthash.h"
#include "platform/paths.h"
#include "platform/rewrite.h"

namespace {

bool IsSpaceOrTab(char c) {
  return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsSpaceOrTab(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpaceOrTab(s.back())) s.remove_suffix(1);
  return s;
}

char Fold(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Folded(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = Fold(c);
  return out;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Fold(a[i]) != Fold(b[i])) return false;
  }
  return true;
}

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

}  // namespace

TIniFile::TIniFile(std::string path, FileWriter& writer, IniTrust trust)
    : path_(std::move(path)), writer_(&writer), trust_(trust) {}

TIniFile::~TIniFile() {
  if (!dirty_ || flush_failed_) return;
  try {
    UpdateFile();
  } catch (...) {
    // A release has no one to tell; UpdateFile is there for callers that care.
  }
}

void TIniFile::Load() {
  if (state_ != State::NotLoaded) return;
  lines_.clear();
  eol_ = "\n";
  index_.valid = false;
  file_.reset();
  bom_ = false;
  access_ = Access::Unknown;
  state_ = State::Loaded;
  // A folder that cannot be opened holds no file, and takes none.
  located_ = !path_.empty() && entry_.LocateThroughLinks(path_) == 0;
  if (!located_) return;
  // Where it is, then what it is, through what is read: nothing another
  // account could have written or will write through.
  struct stat folder {};
  if (::fstat(entry_.Folder(), &folder) != 0) {
    state_ = State::Unreadable;
    return;
  }
  if (!Trusts(FolderOf(entry_.Path()), true, folder)) return;
  // Never through a link swapped in since, nor blocking on a FIFO.
  Fd fd;
  if (int err = entry_.OpenForReading(&fd)) {
    if (err != ENOENT) state_ = State::Unreadable;
    return;
  }
  std::string data;
  bool ok = ::fstat(fd.get(), &st_) == 0 && S_ISREG(st_.st_mode) &&
            static_cast<unsigned long long>(st_.st_size) <= MaxFileSize;
  if (ok && !Trusts(entry_.Path(), false, st_)) return;
  if (ok) {
    data.reserve(static_cast<std::size_t>(st_.st_size));
    char buffer[65536];
    for (;;) {
      ssize_t n = ReadSome(*writer_, fd.get(), buffer, sizeof buffer);
      if (n < 0) {
        ok = false;
        break;
      }
      if (n == 0) break;
      data.append(buffer, static_cast<std::size_t>(n));
      if (data.size() > MaxFileSize) {
        ok = false;
        break;
      }
    }
  }
  if (!ok) {
    state_ = State::Unreadable;
    return;
  }
  file_ = std::move(fd);
  ContentHash hash;
  hash.Add(data.data(), data.size());
  hash_ = hash.Value();
  std::size_t pos = 0;
  if (std::string_view(data).substr(0, kByteOrderMark.size()) == kByteOrderMark) {
    bom_ = true;
    pos = kByteOrderMark.size();
  }
  bool first = true;
  while (pos < data.size()) {
    std::size_t end = data.find_first_of("\r\n", pos);
    std::size_t next = end + 1;
    std::string_view eol;
    if (end == std::string::npos) {
      end = next = data.size();
    } else if (data[end] == '\n') {
      eol = "\n";
    } else if (next < data.size() && data[next] == '\n') {
      eol = "\r\n";
      ++next;
    } else {
      eol = "\r";
    }
    if (first && !eol.empty()) eol_ = eol;
    first = false;
    std::string_view text(data.data() + pos, end - pos);
    if (!lines_.empty() && lines_.back().kind == Kind::Other && KindOf(text) == Kind::Other) {
      Line& run = lines_.back();
      run.text += run.eol;
      run.text += text;
      run.eol = eol;
    } else {
      lines_.push_back(Parse(std::string(text), eol));
    }
    pos = next;
  }
}

bool TIniFile::Trusts(const std::string& path, bool folder, const struct stat& st) {
  const Ownership why = trust_ == IniTrust::kAny ? Ownership::kOwn : OwnershipOf(st);
  if (why == Ownership::kOwn) return true;
  distrusted_ = ::Untrusted{path, folder, why, st.st_uid};
  state_ = State::Distrusted;
  return false;
}

const Untrusted* TIniFile::Distrusted() {
  Load();
  return state_ == State::Distrusted ? &distrusted_ : nullptr;
}

TIniFile::Kind TIniFile::KindOf(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsSpaceOrTab(text[i])) ++i;
  if (i == text.size() || text[i] == ';') return Kind::Other;
  if (text[i] == '[') return Kind::Section;
  return text.find('=', i) == std::string_view::npos ? Kind::Other : Kind::Key;
}

TIniFile::Line TIniFile::Parse(std::string text, std::string_view eol) {
  Line line;
  line.text = std::move(text);
  line.eol = eol;
  line.kind = KindOf(line.text);
  if (line.kind == Kind::Other) return line;
  std::string_view t = line.text;
  std::size_t i = 0;
  while (IsSpaceOrTab(t[i])) ++i;
  std::string_view name;
  if (line.kind == Kind::Section) {
    std::size_t close = t.find(']', i + 1);
    name = Trim(t.substr(i + 1, close == std::string_view::npos ? close : close - i - 1));
  } else {
    std::size_t eq = t.find('=', i);
    name = Trim(t.substr(i, eq - i));
    line.value_begin = static_cast<uint32_t>(eq + 1);
  }
  line.name_begin = static_cast<uint32_t>(name.data() - t.data());
  line.name_length = static_cast<uint32_t>(name.size());
  return line;
}

std::string_view TIniFile::NameOf(const Line& line) const {
  return std::string_view(line.text).substr(line.name_begin, line.name_length);
}

std::size_t TIniFile::FindSection(const std::string& section) const {
  std::string_view wanted = Trim(section);
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    if (lines_[i].kind == Kind::Section && SameName(NameOf(lines_[i]), wanted)) return i;
  }
  return std::string::npos;
}

std::size_t TIniFile::SectionEnd(std::size_t header) const {
  std::size_t i = header + 1;
  while (i < lines_.size() && lines_[i].kind != Kind::Section) ++i;
  return i;
}

TIniFile::SectionIndex* TIniFile::Indexed(const std::string& section) {
  Load();
  std::string name = Folded(Trim(section));
  if (index_.valid && index_.name == name) return &index_;
  std::size_t header = FindSection(section);
  if (header == std::string::npos) return nullptr;
  index_.keys.clear();
  index_.name = std::move(name);
  index_.header = header;
  index_.last_key = header;
  index_.used = 0;
  std::size_t end = SectionEnd(header);
  for (std::size_t i = header + 1; i < end; ++i) {
    if (lines_[i].kind == Kind::Key) IndexKey(i);
  }
  index_.valid = true;
  return &index_;
}

void TIniFile::IndexKey(std::size_t at) {
  index_.used += lines_[at].name_length + 1;
  index_.last_key = at;
  index_.keys.try_emplace(Folded(NameOf(lines_[at])), KeyEntry{at, index_.used});
}

std::string TIniFile::ReadString(const std::string& Section, const std::string& Ident,
                                 const std::string& def) {
  const SectionIndex* index = Indexed(Section);
  if (index == nullptr) return def;
  auto key = index->keys.find(Folded(Trim(Ident)));
  if (key == index->keys.end()) return def;
  const Line& line = lines_[key->second.line];
  return line.text.substr(line.value_begin);
}

void TIniFile::Insert(std::size_t at, std::string text) {
  // The line before the new one may be a last line without an end.
  if (at > 0 && lines_[at - 1].eol.empty()) lines_[at - 1].eol = eol_;
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at), Parse(std::move(text), eol_));
}

void TIniFile::WriteString(const std::string& Section, const std::string& Ident,
                           const std::string& Value) {
  std::string_view section = Trim(Section);
  std::string_view ident = Trim(Ident);
  // Names that would read back as something else cannot be stored.
  if (section.find_first_of("]\r\n") != std::string_view::npos ||
      ident.find_first_of("=\r\n") != std::string_view::npos ||
      (!ident.empty() && (ident.front() == '[' || ident.front() == ';'))) {
    Fail();
  }
  CheckWritable();
  std::string value = Value;
  for (char& c : value) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  SectionIndex* index = Indexed(Section);
  if (index == nullptr) {
    Insert(lines_.size(), "[" + std::string(section) + "]");
    index_.valid = true;
    index_.keys.clear();
    index_.name = Folded(section);
    index_.header = index_.last_key = lines_.size() - 1;
    index_.used = 0;
    Insert(lines_.size(), std::string(ident) + "=" + value);
    IndexKey(lines_.size() - 1);
  } else if (auto key = index->keys.find(Folded(ident)); key != index->keys.end()) {
    Line& line = lines_[key->second.line];
    line.text.replace(line.value_begin, std::string::npos, value);
  } else {
    // After the section's last key: blank lines and comments that close it stay last.
    std::size_t at = index->last_key + 1;
    Insert(at, std::string(ident) + "=" + value);
    IndexKey(at);
  }
  Changed(false);
}

bool TIniFile::ParseInteger(const std::string& text, int32_t& out) {
  std::string s = text;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s.replace(0, 2, "$");
  std::size_t i = 0;
  while (i < s.size() && IsSpaceOrTab(s[i])) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  bool hex = i < s.size() && (s[i] == '$' || s[i] == 'x' || s[i] == 'X');
  if (hex) ++i;
  if (i == s.size()) return false;
  // Hexadecimal is a 32-bit pattern ("$FFFFFFFF" is -1); decimal must fit as signed.
  const uint64_t limit = hex ? 0xFFFFFFFFull : (negative ? 2147483648ull : 2147483647ull);
  uint64_t magnitude = 0;
  for (; i < s.size(); ++i) {
    char c = s[i];
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (hex && c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (hex && c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return false;
    }
    magnitude = magnitude * (hex ? 16 : 10) + digit;
    if (magnitude > limit) return false;
  }
  uint32_t bits = static_cast<uint32_t>(magnitude);
  if (negative) bits = 0u - bits;
  out = static_cast<int32_t>(bits);
  return true;
}

int32_t TIniFile::ReadInteger(const std::string& Section, const std::string& Ident, int32_t def) {
  int32_t value = 0;
  return ParseInteger(ReadString(Section, Ident, ""), value) ? value : def;
}

void TIniFile::WriteInteger(const std::string& Section, const std::string& Ident, int32_t Value) {
  WriteString(Section, Ident, std::to_string(Value));
}

bool TIniFile::ReadBool(const std::string& Section, const std::string& Ident, bool def) {
  return ReadInteger(Section, Ident, def ? 1 : 0) != 0;
}

void TIniFile::WriteBool(const std::string& Section, const std::string& Ident, bool Value) {
  WriteString(Section, Ident, Value ? "1" : "0");
}

bool TIniFile::ValueExists(const std::string& Section, const std::string& Ident) {
  const SectionIndex* index = Indexed(Section);
  if (index == nullptr) return false;
  auto key = index->keys.find(Folded(Trim(Ident)));
  // Each name takes its length and a zero byte; one byte closes the list.
  return key != index->keys.end() && key->second.used <= KeyListSize - 1;
}

void TIniFile::EraseSection(const std::string& Section) {
  CheckWritable();
  for (std::size_t header = FindSection(Section); header != std::string::npos;
       header = FindSection(Section)) {
    lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(header),
                 lines_.begin() + static_cast<std::ptrdiff_t>(SectionEnd(header)));
    Changed(true);
  }
}

void TIniFile::DeleteKey(const std::string& Section, const std::string& Ident) {
  if (!Writable()) return;
  std::size_t header = FindSection(Section);
  if (header == std::string::npos) return;
  std::string_view wanted = Trim(Ident);
  bool removed = false;
  for (std::size_t i = SectionEnd(header); i-- > header + 1;) {
    if (lines_[i].kind == Kind::Key && SameName(NameOf(lines_[i]), wanted)) {
      lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(i));
      removed = true;
    }
  }
  if (removed) Changed(true);
}

bool TIniFile::MayWrite() const {
  if (path_.empty() || !located_ || state_ == State::Unreadable || state_ == State::Distrusted) {
    return false;
  }
  if (file_.get() < 0) {
    // A new file is made beside it, then renamed to its name.
    return ::faccessat(entry_.Folder(), ".", W_OK | X_OK, AT_EACCESS) == 0;
  }
  return RefuseUnwritable(entry_, st_) == 0;
}

bool TIniFile::Writable() {
  Load();
  // Once per reading of the file: a save of many keys asks the system once.
  if (access_ == Access::Unknown) access_ = MayWrite() ? Access::Writable : Access::Refused;
  return access_ == Access::Writable;
}

void TIniFile::CheckWritable() {
  if (!Writable()) Fail();
}

void TIniFile::UpdateFile() {
  if (!dirty_) return;
  flush_failed_ = true;
  CheckWritable();
  std::string data = bom_ ? std::string(kByteOrderMark) : std::string();
  for (const Line& line : lines_) {
    data += line.text;
    data += line.eol;
  }
  // Whatever failed (a full disk, another program's change meanwhile), the
  // file holds what it held.
  if (Save(data) != 0) Fail();
  dirty_ = false;
  flush_failed_ = false;
  // The file is read again when next used, as it now stands on disk.
  state_ = State::NotLoaded;
  file_.reset();
}

int TIniFile::Save(const std::string& data) {
  std::optional<Rewrite> rewrite;
  if (file_.get() >= 0) {
    rewrite.emplace(entry_, file_.get(), st_, *writer_);
    rewrite->SetContentHash(hash_);
  } else {
    rewrite.emplace(entry_, *writer_);
  }
  if (int err = rewrite->Begin()) return err;
  if (int err = WriteFully(*writer_, rewrite->Output(), data.data(), data.size())) return err;
  return rewrite->SameAsOld() ? 0 : rewrite->Commit();
}

void TIniFile::Changed(bool structural) {
  if (structural) index_.valid = false;
  dirty_ = true;
  flush_failed_ = false;
}

void TIniFile::Fail() const {
  throw EIniFileException("Impossible d'écrire dans " + path_);
}
