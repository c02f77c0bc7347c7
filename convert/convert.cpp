#include "convert/convert.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "base/errors.h"
#include "convert/buffers.h"
#include "convert/interrupted.h"
#include "convert/lineconverter.h"
#include "convert/lines.h"
#include "convert/output.h"
#include "convert/source.h"
#include "convert/trial.h"
#include "convert/unchanged.h"
#include "platform/contenthash.h"
#include "platform/fd.h"
#include "platform/fileio.h"
#include "platform/folderentry.h"
#include "platform/folders.h"
#include "platform/oserror.h"
#include "platform/paths.h"
#include "platform/quote.h"
#include "platform/rewrite.h"
#include "platform/rewriterecord.h"

namespace {

// The conversion's lines: the break each line had plays no part.
template <class Converter>
class ConvertLines {
 public:
  explicit ConvertLines(Converter& conv) : conv_(conv) {}
  void BeginBlock(const char* begin, const char* end) { conv_.BeginBlock(begin, end); }
  void BlockLine(const char* p, std::size_t n, Break) { conv_.BlockLine(p, n); }
  void Line(const char* p, std::size_t n, Break) { conv_.Line(p, n); }
  void LongBegin(off_t) { conv_.LongBegin(); }
  void LongPiece(const char* p, std::size_t n, off_t at) { conv_.LongPiece(p, n, at); }
  void LongEnd(Break) { conv_.LongEnd(); }

 private:
  Converter& conv_;
};

// Produce, with a converter that trims blanks or one that leaves them all.
template <bool kTrims>
bool ProduceTrimming(Input in, Destination& to, const Conversion& c) {
  Buffers& buffers = SharedBuffers();
  Output out(to, buffers.Out.get());
  LineConverter<Output, kTrims> conv(out, buffers.Scratch, c, in.File);
  ConvertLines lines(conv);
  if (SplitLines(in, lines, buffers, c.Options) == StreamResult::kBinary) return false;
  out.Flush();
  return true;
}

// Writes the converted content of in to `to`; false, with nothing written,
// for a binary file.
bool Produce(Input in, Destination& to, const Conversion& c) {
  return c.Options.EndingsOnly ? ProduceTrimming<false>(in, to, c)
                               : ProduceTrimming<true>(in, to, c);
}

// Converts the open source into a rewrite of itself that keeps the old
// content whole until the new one is complete, and stops there; kConverted
// when rewrite then holds the new content, not committed yet.
ConvertOutcome PrepareOverItself(const Source& src, const Conversion& c,
                                 std::optional<Rewrite>& rewrite) {
  RefuseMarked(src);
  // Contents read so soon after their last change that their dates, in the
  // steps their file system keeps, could not tell another, are hashed; so
  // are all those of a file system whose change times cannot be trusted.
  ContentHash hash;
  Input in{src.File.get(), src.Status.st_size};
  FileWriter& writer = WriterOf(c.Options);
  if (!ChangeTimeTrusted(src.Entry, writer) || MayChangeUnseen(src.Status, ClockOf(c.Options))) {
    in.Hash = &hash;
  }
  try {
    if (c.Options.KeepUnchanged) {
      UnlessUnchanged to(src, writer, c.Options.KeepDates, rewrite, SharedBuffers());
      if (!Produce(in, to, c)) {
        rewrite.reset();
        return ConvertOutcome::kBinary;
      }
      if (to.Unchanged()) return ConvertOutcome::kUnchanged;
      to.Finish();
    } else {
      BeginRewrite(src, writer, c.Options.KeepDates, rewrite);
      FdDestination to(writer, rewrite->Output());
      if (!Produce(in, to, c)) {
        rewrite.reset();
        return ConvertOutcome::kBinary;
      }
    }
  } catch (const WriteFailure& f) {
    rewrite.reset();
    throw IoError(f.Error, src.Entry.Path());
  } catch (...) {
    rewrite.reset();
    throw;
  }
  if (in.Hash != nullptr) rewrite->SetContentHash(hash.Value());
  rewrite->FinishOutput();
  return ConvertOutcome::kConverted;
}

// A destination that is a device or a pipe is written straight through.
ConvertOutcome ConvertToStream(Input in, const FolderEntry& dest, const struct stat& st,
                               const Conversion& c) {
  if (!S_ISCHR(st.st_mode) && !S_ISFIFO(st.st_mode)) {
    throw EInOutError(io_code::kNotOpenForOutput, dest.Path(),
                      "ni un fichier, ni un périphérique, ni un tube : choisissez une autre "
                      "destination");
  }
  // A pipe without a reader would block the program for good.
  Fd out_fd(::openat(dest.Folder(), dest.Name().c_str(),
                     O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW));
  if (out_fd.get() < 0) throw IoError(errno, dest.Path());
  int flags = ::fcntl(out_fd.get(), F_GETFL);
  if (flags >= 0) ::fcntl(out_fd.get(), F_SETFL, flags & ~O_NONBLOCK);
  FileWriter& writer = WriterOf(c.Options);
  bool text = true;
  try {
    FdDestination to(writer, out_fd.get());
    text = Produce(in, to, c);
  } catch (const WriteFailure& f) {
    throw IoError(f.Error, dest.Path());
  }
  if (writer.Close(out_fd.release()) != 0) throw IoError(errno, dest.Path());
  return text ? ConvertOutcome::kConverted : ConvertOutcome::kBinary;
}

// Begins rewrite, writes the converted content of in through it and commits
// it; destination is the file as the user named it.
ConvertOutcome ConvertThrough(Input in, Rewrite& rewrite, const Conversion& c,
                              const std::string& destination) {
  const std::string& path = rewrite.Entry().Path();
  if (int err = rewrite.Begin()) throw IoError(err, path);
  try {
    FdDestination to(WriterOf(c.Options), rewrite.Output());
    if (!Produce(in, to, c)) return ConvertOutcome::kBinary;
  } catch (const WriteFailure& f) {
    throw IoError(f.Error, destination);
  }
  if (int err = rewrite.Commit()) throw IoError(err, path);
  return ConvertOutcome::kConverted;
}

// Converts an open source into another file, written through the links that
// name it (both paths are the user's own).
ConvertOutcome ConvertElsewhere(const Source& src, const std::string& destination,
                                const Conversion& c) {
  RefuseMarked(src);
  const Input input{src.File.get(), src.Status.st_size};
  FolderEntry dest;
  if (int err = dest.LocateThroughLinks(destination)) throw IoError(err, destination);
  struct stat dest_st {};
  if (int err = dest.Status(&dest_st)) {
    if (err != ENOENT) throw IoError(err, destination);
    Rewrite rewrite(dest, WriterOf(c.Options));
    return ConvertThrough(input, rewrite, c, destination);
  }
  if (S_ISDIR(dest_st.st_mode)) throw IoError(EISDIR, destination);
  if (!S_ISREG(dest_st.st_mode)) return ConvertToStream(input, dest, dest_st, c);
  Fd old;
  if (int err = dest.OpenForReading(&old)) throw IoError(err, destination);
  if (::fstat(old.get(), &dest_st) != 0 || !S_ISREG(dest_st.st_mode)) {
    throw IoError(EBUSY, destination);
  }
  if (int err = RefuseUnwritable(dest, dest_st)) throw IoError(err, dest.Path());
  Rewrite rewrite(dest, old.get(), dest_st, WriterOf(c.Options));
  return ConvertThrough(input, rewrite, c, destination);
}

// Runs one conversion or trial of file, giving back the memory a long line
// took and telling an exhausted memory in the program's own words.
template <class Work>
auto WithBuffers(const FolderEntry& file, Work work) -> decltype(work()) {
  try {
    auto outcome = work();
    ReleaseLongLines(SharedBuffers());
    return outcome;
  } catch (const std::bad_alloc&) {
    ReleaseLongLines(SharedBuffers());
    throw EOutOfMemory();
  } catch (const EInOutError& e) {
    ReleaseLongLines(SharedBuffers());
    // A read deep in the lines knows no path: what it read is the file.
    if (!e.Path().empty()) throw;
    throw EInOutError(e.ErrorCode, file.Path(), e.Reason());
  } catch (...) {
    ReleaseLongLines(SharedBuffers());
    throw;
  }
}

Conversion MakeConversion(LineEnding kind, const ReplaceRule& rule1, const ReplaceRule& rule2,
                          const CodePage& cp, const ConvertOptions& options) {
  Conversion c;
  c.Kind = kind;
  c.Rule1 = rule1;
  c.Rule2 = rule2;
  c.Cp = &cp;
  c.Options = options;
  return c;
}

}  // namespace

struct PreparedConversion::State {
  Source src;
  std::optional<Rewrite> rewrite;
};

PreparedConversion::PreparedConversion(std::unique_ptr<State> state, ConvertOutcome outcome)
    : state_(std::move(state)), outcome_(outcome) {}

PreparedConversion::~PreparedConversion() = default;

Rewrite* PreparedConversion::Pending() const {
  return state_ && state_->rewrite ? &*state_->rewrite : nullptr;
}

std::int64_t PreparedConversion::Bytes() const {
  return state_ ? static_cast<std::int64_t>(state_->src.Status.st_size) : 0;
}

std::unique_ptr<PreparedConversion> PrepareConversion(const FolderEntry& file,
                                                      const Conversion& conversion) {
  return WithBuffers(file, [&] {
    auto state = std::make_unique<PreparedConversion::State>();
    ConvertOutcome outcome = ConvertOutcome::kLeftAlone;
    if (file.Folder() >= 0 && OpenSource(file, &state->src, WriterOf(conversion.Options)) &&
        SettleMarked(&state->src, WriterOf(conversion.Options))) {
      outcome = PrepareOverItself(state->src, conversion, state->rewrite);
    }
    if (!state->rewrite) state.reset();
    return std::unique_ptr<PreparedConversion>(new PreparedConversion(std::move(state), outcome));
  });
}

ConvertOutcome ConvertFile(const FolderEntry& file, const Conversion& conversion) {
  std::unique_ptr<PreparedConversion> prepared = PrepareConversion(file, conversion);
  if (Rewrite* pending = prepared->Pending()) {
    int err = 0, folder_err = 0;
    try {
      err = pending->Commit(&folder_err);
    } catch (const std::bad_alloc&) {
      throw EOutOfMemory();
    }
    if (err != 0) throw IoError(err, pending->Entry().Path());
    if (folder_err != 0) throw UnflushedFolderError(folder_err, FolderOf(pending->Entry().Path()));
  }
  return prepared->Outcome();
}

TrialOutcome TryConvertFile(const FolderEntry& file, const Conversion& conversion,
                            TrialListener* listener) {
  return WithBuffers(file, [&] {
    Source src;
    if (file.Folder() < 0 || !OpenSource(file, &src, WriterOf(conversion.Options))) {
      return TrialOutcome{};
    }
    return TrySource(src, conversion, listener);
  });
}

ConvertOutcome ConvertFile(const std::string& source, const std::string& destination,
                           LineEnding kind, const ReplaceRule& rule1, const ReplaceRule& rule2,
                           const CodePage& code_page, const ConvertOptions& options) {
  const Conversion c = MakeConversion(kind, rule1, rule2, code_page, options);
  const FolderEntry file = Located(source);
  if (destination == source) return ConvertFile(file, c);
  return WithBuffers(file, [&] {
    Source src;
    if (file.Folder() < 0 || !OpenSource(file, &src, WriterOf(c.Options)) ||
        !SettleMarked(&src, WriterOf(c.Options))) {
      return ConvertOutcome::kLeftAlone;
    }
    return ConvertElsewhere(src, destination, c);
  });
}

TrialOutcome TryConvertFile(const std::string& source, LineEnding kind, const ReplaceRule& rule1,
                            const ReplaceRule& rule2, const CodePage& code_page) {
  return TryConvertFile(Located(source),
                        MakeConversion(kind, rule1, rule2, code_page, ConvertOptions{true}));
}

void ConvertTextFile(const std::string& source, const std::string& destination, LineEnding kind,
                     const ReplaceRule& rule1, const ReplaceRule& rule2,
                     const CodePage& code_page) {
  ConvertFile(source, destination, kind, rule1, rule2, code_page, ConvertOptions{});
}
