#pragma once
// A private-profile (INI) settings file: sections "[name]" holding lines
// "key=value". Names match without regard to ASCII letter case. The whole file
// is kept in memory; reads never fail, and a damaged file yields what can be
// read from it.
//
// Layout rules of this implementation:
// - A line ends with LF, CR LF or a lone CR. Lines added to a file take the
//   ending of its first line (LF for a new file); every line not touched keeps
//   its bytes and its own ending. A UTF-8 byte-order mark at the start of the
//   file is read as nothing and kept in front of the file when it is written.
// - Blanks (space, tab) around section and key names are ignored. A value is
//   everything after the first "=" up to the line end, blanks and quotes
//   included: nothing is trimmed or unquoted, so what WriteString stores
//   ReadString gives back. Each CR or LF inside a written value is stored as
//   a blank, since a value is one line.
// - A line starting with ";" is a comment; a line without "=" is no key; a
//   "[" without its "]" opens a section named by the rest of the line. With
//   duplicates, the first section of a name and its first key of a name count.
// - A symbolic link in the file's place is followed: its target is read and
//   written (created when missing), and the link stays.
// - Changes are kept in memory and written by UpdateFile or the destructor,
//   in one safe rewrite (platform/rewrite.h): the file ends with its old
//   content or the new one, keeps its owner, group, mode, attributes and
//   every hard link, and is left alone when another program changed it since
//   it was read, or when its content would not change. The first change after
//   the file is read checks, once, that it may be written: a file without any
//   write permission bit (even for root), one this user may not write, or a
//   missing file in a folder that takes no new file refuses every change with
//   EIniFileException.
// - A file that exists but cannot be read (a folder, no permission, larger
//   than MaxFileSize) reads as empty and refuses every change, so it is never
//   overwritten by a copy that lacks its contents.
// - Once written, the file is read again at its next use.
// - A file opened as the user's own (IniTrust::kOwnOnly) is read and written
//   only when it, and the folder it lies in, are the user's alone
//   (platform/folders.h OwnershipOf); otherwise it reads as empty, refuses
//   every change, and Distrusted() tells what was found.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/errors.h"
#include "platform/fd.h"
#include "platform/fileio.h"
#include "platform/folderentry.h"
#include "platform/folders.h"

// A settings file that cannot be written: "Impossible d'écrire dans <path>".
class EIniFileException : public Exception {
 public:
  using Exception::Exception;
};

// Whom a settings file is trusted from.
enum class IniTrust {
  // Whoever wrote it.
  kAny,
  // Only the user who runs the program: a file another account could have
  // written chooses nothing.
  kOwnOnly,
};

// One settings file, read on first use and written back in one safe rewrite.
class TIniFile {
 public:
  // Size of the key-name list ValueExists looks through, zero bytes included.
  static constexpr std::size_t KeyListSize = 16384;
  // Files larger than this are treated as unreadable.
  static constexpr std::size_t MaxFileSize = 32u << 20;

  // The file at path, read and saved through writer (which must outlive it); nothing
  // is read or written yet. An empty path is a file that reads as empty and
  // cannot be written.
  explicit TIniFile(std::string path, FileWriter& writer = SystemFileWriter(),
                    IniTrust trust = IniTrust::kAny);
  // Writes pending changes; an error is dropped (call UpdateFile to see it).
  ~TIniFile();
  TIniFile(const TIniFile&) = delete;
  TIniFile& operator=(const TIniFile&) = delete;

  const std::string& FileName() const { return path_; }
  // The file or folder found not the user's own, when only theirs is
  // trusted; null when there is none. Reads the file first.
  const Untrusted* Distrusted();

  // Reads are not const: the first one reads the file and holds it open, the
  // copy a later save checks against, and each keeps the index of the section
  // it looked in.

  // The key's value, whole whatever its length, or def when it is missing.
  std::string ReadString(const std::string& Section, const std::string& Ident,
                         const std::string& def);
  // Sets the key, in place if present, else at the end of its section.
  void WriteString(const std::string& Section, const std::string& Ident, const std::string& Value);
  // The key read as a signed 32-bit integer, or def when missing or not a number.
  int32_t ReadInteger(const std::string& Section, const std::string& Ident, int32_t def);
  // Stores the decimal text of Value.
  void WriteInteger(const std::string& Section, const std::string& Ident, int32_t Value);
  // ReadInteger with 1 or 0 as default; true when the integer is not 0.
  bool ReadBool(const std::string& Section, const std::string& Ident, bool def);
  // Stores "1" or "0".
  void WriteBool(const std::string& Section, const std::string& Ident, bool Value);
  // Whether the key is among the section's key names that fit in KeyListSize bytes.
  bool ValueExists(const std::string& Section, const std::string& Ident);
  // Removes every section of that name with its keys.
  void EraseSection(const std::string& Section);
  // Removes the key; a failure is ignored.
  void DeleteKey(const std::string& Section, const std::string& Ident);
  // Writes pending changes to disk; raises EIniFileException on failure.
  void UpdateFile();

  // Integer text as ReadInteger reads it: blanks, sign, decimal or hexadecimal
  // after "$", "x", "X" (or a leading "0x"); false when it does not convert.
  static bool ParseInteger(const std::string& text, int32_t& out);

 private:
  enum class Kind { Other, Section, Key };
  // One line, or a run of lines that are neither headers nor keys (kept as a
  // block, so that a file of empty lines stays small in memory).
  struct Line {
    std::string text;                          // without its last line end
    std::string_view eol;                      // "\n", "\r\n", or "" for a last line without one
    uint32_t name_begin = 0, name_length = 0;  // section or key name in text
    uint32_t value_begin = 0;                  // keys: first byte after "="
    Kind kind = Kind::Other;
  };
  enum class State { NotLoaded, Loaded, Unreadable, Distrusted };
  enum class Access { Unknown, Writable, Refused };
  struct KeyEntry {
    std::size_t line;  // first key line of the name
    std::size_t used;  // bytes of the key-name list up to and including it
  };
  // The keys of the last section looked up or written, so that reading or
  // writing a section key by key stays linear. Writes keep it up to date;
  // removals drop it.
  struct SectionIndex {
    bool valid = false;
    std::string name;  // folded
    std::size_t header = 0;
    std::size_t last_key = 0;  // line of the section's last key, or the header
    std::size_t used = 0;      // bytes of the whole key-name list
    std::unordered_map<std::string, KeyEntry> keys;  // folded name
  };

  void Load();
  // Whether st, the status of path (a folder when folder), may be trusted;
  // when not, the file becomes untrusted, and false.
  bool Trusts(const std::string& path, bool folder, const struct stat& st);
  static Kind KindOf(std::string_view text);
  static Line Parse(std::string text, std::string_view eol);
  std::string_view NameOf(const Line& line) const;
  // Index of the first header of section, or npos.
  std::size_t FindSection(const std::string& section) const;
  // The index of section's keys, or null when there is no such section.
  SectionIndex* Indexed(const std::string& section);
  // Records key line at in the indexed section.
  void IndexKey(std::size_t at);
  // One past the last line of the section opened at header.
  std::size_t SectionEnd(std::size_t header) const;
  void Insert(std::size_t at, std::string text);
  bool MayWrite() const;
  // Whether changes may be made, asked once per reading of the file.
  bool Writable();
  void CheckWritable();
  // Writes the file's new content through one rewrite; 0 or errno.
  int Save(const std::string& data);
  // Marks the file as changed; structural says the index no longer holds.
  void Changed(bool structural);
  [[noreturn]] void Fail() const;

  std::string path_;
  FileWriter* writer_;
  IniTrust trust_;
  State state_ = State::NotLoaded;
  ::Untrusted distrusted_;
  // The file as read: where it is (through links), and while it exists, open
  // with its status and content hash, so that a save can tell another
  // program's change.
  FolderEntry entry_;
  bool located_ = false;
  Fd file_;
  struct stat st_ {};
  std::uint64_t hash_ = 0;
  bool bom_ = false;
  Access access_ = Access::Unknown;
  std::vector<Line> lines_;
  std::string_view eol_ = "\n";
  SectionIndex index_;
  bool dirty_ = false;
  bool flush_failed_ = false;
};
