#include "settings/inifile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/fileio.h"

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
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

std::string BaseOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A hidden temporary file next to target, opened for writing; -1 on failure.
int MakeTemporary(const std::string& target, std::string& name) {
  name = FolderOf(target) + "/." + BaseOf(target) + ".XXXXXX";
  int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) name.clear();
  return fd;
}

}  // namespace

TIniFile::TIniFile(std::string path) : path_(std::move(path)) {}

TIniFile::~TIniFile() {
  if (!dirty_ || flushFailed_) return;
  try {
    UpdateFile();
  } catch (...) {
    // A release has no one to tell; UpdateFile is there for callers that care.
  }
}

void TIniFile::Load() const {
  if (state_ != State::NotLoaded) return;
  lines_.clear();
  state_ = State::Loaded;
  if (path_.empty()) return;
  // Non-blocking, so that a FIFO put in the file's place cannot hang us.
  int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno != ENOENT && errno != ENOTDIR) state_ = State::Unreadable;
    return;
  }
  std::string data;
  struct stat st {};
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
            static_cast<unsigned long long>(st.st_size) <= MaxFileSize;
  if (ok) {
    data.reserve(static_cast<std::size_t>(st.st_size));
    char buffer[65536];
    for (;;) {
      ssize_t n = read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
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
  close(fd);
  if (!ok) {
    state_ = State::Unreadable;
    return;
  }
  std::size_t pos = 0;
  while (pos < data.size()) {
    const void* hit = std::memchr(data.data() + pos, '\n', data.size() - pos);
    std::size_t end =
        hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - data.data()) : data.size();
    std::size_t textEnd = end;
    std::string_view eol;
    if (hit) {
      eol = "\n";
      if (end > pos && data[end - 1] == '\r') {
        --textEnd;
        eol = "\r\n";
      }
      if (lines_.empty() && pos == 0) eol_ = eol;
    }
    std::string_view text(data.data() + pos, textEnd - pos);
    if (!lines_.empty() && lines_.back().kind == Kind::Other && KindOf(text) == Kind::Other) {
      Line& run = lines_.back();
      run.text += run.eol;
      run.text += text;
      run.eol = eol;
    } else {
      lines_.push_back(Parse(std::string(text), eol));
    }
    pos = hit ? end + 1 : data.size();
  }
}

TIniFile::Kind TIniFile::KindOf(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
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
  while (IsBlank(t[i])) ++i;
  std::string_view name;
  if (line.kind == Kind::Section) {
    std::size_t close = t.find(']', i + 1);
    name = Trim(t.substr(i + 1, close == std::string_view::npos ? close : close - i - 1));
  } else {
    std::size_t eq = t.find('=', i);
    name = Trim(t.substr(i, eq - i));
    line.valueBegin = static_cast<uint32_t>(eq + 1);
  }
  line.nameBegin = static_cast<uint32_t>(name.data() - t.data());
  line.nameLength = static_cast<uint32_t>(name.size());
  return line;
}

std::string_view TIniFile::NameOf(const Line& line) const {
  return std::string_view(line.text).substr(line.nameBegin, line.nameLength);
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

TIniFile::SectionIndex* TIniFile::Indexed(const std::string& section) const {
  Load();
  std::string name = Folded(Trim(section));
  if (index_.valid && index_.name == name) return &index_;
  std::size_t header = FindSection(section);
  if (header == std::string::npos) return nullptr;
  index_.keys.clear();
  index_.name = std::move(name);
  index_.header = header;
  index_.lastKey = header;
  index_.used = 0;
  std::size_t end = SectionEnd(header);
  for (std::size_t i = header + 1; i < end; ++i) {
    if (lines_[i].kind == Kind::Key) IndexKey(i);
  }
  index_.valid = true;
  return &index_;
}

void TIniFile::IndexKey(std::size_t at) const {
  index_.used += lines_[at].nameLength + 1;
  index_.lastKey = at;
  index_.keys.try_emplace(Folded(NameOf(lines_[at])), KeyEntry{at, index_.used});
}

std::string TIniFile::ReadString(const std::string& Section, const std::string& Ident,
                                 const std::string& def) const {
  const SectionIndex* index = Indexed(Section);
  if (index == nullptr) return def;
  auto key = index->keys.find(Folded(Trim(Ident)));
  if (key == index->keys.end()) return def;
  const Line& line = lines_[key->second.line];
  return line.text.substr(line.valueBegin, MaxValueLength);
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
    index_.header = index_.lastKey = lines_.size() - 1;
    index_.used = 0;
    Insert(lines_.size(), std::string(ident) + "=" + value);
    IndexKey(lines_.size() - 1);
  } else if (auto key = index->keys.find(Folded(ident)); key != index->keys.end()) {
    Line& line = lines_[key->second.line];
    line.text.replace(line.valueBegin, std::string::npos, value);
  } else {
    // After the section's last key: blank lines and comments that close it stay last.
    std::size_t at = index->lastKey + 1;
    Insert(at, std::string(ident) + "=" + value);
    IndexKey(at);
  }
  Changed(false);
}

bool TIniFile::ParseInteger(const std::string& text, int32_t& out) {
  std::string s = text;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s.replace(0, 2, "$");
  std::size_t i = 0;
  while (i < s.size() && IsBlank(s[i])) ++i;
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

int32_t TIniFile::ReadInteger(const std::string& Section, const std::string& Ident,
                              int32_t def) const {
  int32_t value = 0;
  return ParseInteger(ReadString(Section, Ident, ""), value) ? value : def;
}

void TIniFile::WriteInteger(const std::string& Section, const std::string& Ident, int32_t Value) {
  WriteString(Section, Ident, std::to_string(Value));
}

bool TIniFile::ReadBool(const std::string& Section, const std::string& Ident, bool def) const {
  return ReadInteger(Section, Ident, def ? 1 : 0) != 0;
}

void TIniFile::WriteBool(const std::string& Section, const std::string& Ident, bool Value) {
  WriteString(Section, Ident, Value ? "1" : "0");
}

bool TIniFile::ValueExists(const std::string& Section, const std::string& Ident) const {
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
  try {
    CheckWritable();
  } catch (const EIniFileException&) {
    return;
  }
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

std::string TIniFile::Target() const {
  struct stat st {};
  if (lstat(path_.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    if (char* real = realpath(path_.c_str(), nullptr)) {
      std::string target(real);
      std::free(real);
      return target;
    }
  }
  return path_;
}

void TIniFile::CheckWritable() {
  Load();
  if (path_.empty() || state_ == State::Unreadable) Fail();
  // Proof that the folder takes a new file now, not only at release.
  std::string probe;
  int fd = MakeTemporary(Target(), probe);
  if (fd < 0) Fail();
  close(fd);
  unlink(probe.c_str());
}

void TIniFile::UpdateFile() {
  if (!dirty_) return;
  flushFailed_ = true;
  if (path_.empty() || state_ == State::Unreadable) Fail();
  std::string target = Target();
  struct stat st {};
  mode_t mode = stat(target.c_str(), &st) == 0 ? (st.st_mode & 07777) : NewFileMode();
  std::string data;
  for (const Line& line : lines_) {
    data += line.text;
    data += line.eol;
  }
  std::string temp;
  int fd = MakeTemporary(target, temp);
  if (fd < 0) Fail();
  bool ok = fchmod(fd, mode) == 0 && WriteAll(fd, data) && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  ok = ok && rename(temp.c_str(), target.c_str()) == 0;
  if (!ok) {
    unlink(temp.c_str());
    Fail();
  }
  // Makes the rename itself durable; its failure loses nothing already written.
  int dir = open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  dirty_ = false;
  flushFailed_ = false;
}

bool TIniFile::WriteAll(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void TIniFile::Changed(bool structural) {
  if (structural) index_.valid = false;
  dirty_ = true;
  flushFailed_ = false;
}

void TIniFile::Fail() const {
  throw EIniFileException("Impossible d'écrire dans " + path_);
}
