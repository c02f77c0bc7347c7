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

// Why a file failed with errno err, and what the user can do about it: the
// code table's messages say neither, and several errnos share a code.
std::string ReasonFor(int err) {
  switch (err) {
    case ENOSPC:
    case EDQUOT:
      return "plus de place sur le disque (ou quota atteint) : libérez de la place, puis relancez";
    case EBUSY:
      return "un autre programme a modifié ou remplacé ce fichier pendant la conversion : "
             "relancez quand il a fini";
    case ETXTBSY:
      return "ce fichier est un programme en cours d'exécution : relancez quand il s'est arrêté";
    case EAGAIN:
      return "un autre programme verrouille ce fichier : relancez quand il a fini";
    case EACCES:
      return "le fichier est en lecture seule : donnez-lui le droit d'écriture, ou retirez-le du "
             "filtre";
    case EPERM:
      // Special bits that could not be kept are told by UnkeepableError.
      return "le fichier ou son dossier est sans doute immuable ou en ajout seul (voyez lsattr) : "
             "retirez cet attribut (chattr -i ou -a), ou retirez le fichier du filtre";
    case EROFS:
      return "le système de fichiers est monté en lecture seule : remontez-le en lecture-écriture, "
             "puis relancez";
    case EIO:
    case EREMOTEIO:
      return "le disque ou le système de fichiers a signalé une erreur d'entrée-sortie : "
             "vérifiez-le (journal du noyau, dmesg) avant de relancer";
    case ENAMETOOLONG:
      return "nom trop long pour le système de fichiers : raccourcissez-le, puis relancez";
    case EMFILE:
      return SystemErrorText(err) + " : relevez sa limite (ulimit -n), puis relancez";
    case ENFILE:
      return SystemErrorText(err) + " : fermez des programmes, puis relancez";
    case ENOMEM:
      return "mémoire insuffisante : fermez des programmes, puis relancez";
    case EFBIG:
      return "fichier trop grand pour la limite du programme (ulimit -f) ou pour le système de "
             "fichiers : relevez la limite, ou retirez-le du filtre";
    case ENOENT:
    case ENOTDIR:
      return "le fichier ou l'un de ses dossiers a été supprimé ou déplacé pendant la "
             "conversion : relancez";
    case ELOOP:
      return "le fichier a été remplacé par un lien symbolique, que la conversion ne suit "
             "jamais : voyez qui l'a remplacé, puis relancez";
    case EEXIST:
      return "un fichier de ce nom est apparu pendant la conversion : relancez";
    case ESTALE:
      return "le fichier a été supprimé ou remplacé sur le serveur pendant la conversion : "
             "relancez";
    case ENOTCONN:
    case ECONNABORTED:
      // What a FUSE file system gives once its process is gone.
      return "le programme qui sert ce système de fichiers (FUSE : sshfs, bindfs...) s'est "
             "arrêté ou a perdu sa connexion : démontez-le (fusermount -u), montez-le de "
             "nouveau, puis relancez";
    case EXDEV:
      return "un fichier ou un système de fichiers est monté sur ce nom (mount --bind), qui ne "
             "peut donc pas être remplacé : convertissez le fichier là d'où il est monté, ou "
             "retirez-le du filtre";
    case ECONNRESET:
    case ECONNREFUSED:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ENETDOWN:
    case ENETUNREACH:
    case ETIMEDOUT:
    case ENOLINK:
      return "le système de fichiers réseau ne répond plus : vérifiez le réseau et le montage, "
             "puis relancez";
    default:
      return SystemErrorText(err);
  }
}

FileWriter& WriterOf(const Conversion& c) {
  return c.Options.Writer != nullptr ? *c.Options.Writer : SystemFileWriter();
}

const FileClock& ClockOf(const Conversion& c) {
  return c.Options.Clock != nullptr ? *c.Options.Clock : SystemFileClock();
}

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
  // Contents read so soon after their last change that their dates, in the
  // steps their file system keeps, could not tell another, are hashed; so
  // are all those of a file system whose change times cannot be trusted.
  ContentHash hash;
  Input in{src.File.get(), src.Status.st_size};
  FileWriter& writer = WriterOf(c);
  if (!ChangeTimeTrusted(src.Entry, writer) || MayChangeUnseen(src.Status, ClockOf(c))) {
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
  FileWriter& writer = WriterOf(c);
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
    FdDestination to(WriterOf(c), rewrite.Output());
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
  const Input input{src.File.get(), src.Status.st_size};
  FolderEntry dest;
  if (int err = dest.LocateThroughLinks(destination)) throw IoError(err, destination);
  struct stat dest_st {};
  if (int err = dest.Status(&dest_st)) {
    if (err != ENOENT) throw IoError(err, destination);
    Rewrite rewrite(dest, WriterOf(c));
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
  Rewrite rewrite(dest, old.get(), dest_st, WriterOf(c));
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
    if (file.Folder() >= 0 &&
        OpenSource(file, &state->src, WriterOf(conversion), MarkedSources::kSettle)) {
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
    if (file.Folder() < 0 ||
        !OpenSource(file, &src, WriterOf(conversion), MarkedSources::kRefuse)) {
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
    if (file.Folder() < 0 || !OpenSource(file, &src, WriterOf(c), MarkedSources::kSettle)) {
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

EInOutError IoError(int err, const std::string& path) {
  return EInOutError(OsErrorCodeForPath(err, path), path, ReasonFor(err));
}

EInOutError UnkeepableError(const std::string& path) {
  return EInOutError(OsErrorCode(EPERM), path,
                     "seul son propriétaire (ou root) pourrait lui rendre ses bits setuid ou "
                     "setgid ou sa capacité, que l'écriture efface : convertissez-le sous l'un "
                     "de ces comptes, ou retirez-le du filtre");
}

EInOutError UndatableError(const std::string& path) {
  return EInOutError(OsErrorCode(EPERM), path,
                     "seul son propriétaire (ou root) pourrait lui rendre ses dates de "
                     "modification et d'accès, que l'écriture change : convertissez-le sous l'un "
                     "de ces comptes, ou sans garder les dates");
}

Exception CutShortError(const std::string& path, const MarkedCopy& copy) {
  const std::string message =
      "réécriture interrompue par un arrêt du programme : fichier laissé tel quel, son ancien "
      "contenu est gardé ";
  const std::string unmark =
      "retirez sa marque (setfattr -x " + std::string(kRewriteMarkAttribute) + ")";
  if (copy.Name.empty()) {
    return Exception(
        message + "à part par le compte qui le réécrivait", path,
        "ce compte seul peut le lire, dans son dossier d'état : une conversion (pas un "
        "essai) de ce compte remettra le fichier en état ; sinon, demandez-lui cet "
        "ancien contenu, remettez-le, puis " +
            unmark);
  }
  const std::string kept = message + "dans \"" + FolderOf(path) + "/" + copy.Name + "\"";
  if (copy.Readable) {
    return Exception(kept, path,
                     "une conversion (pas un essai) du compte dont la réécriture a été coupée le "
                     "remettra en état ; sinon, remettez-y au besoin l'ancien contenu, puis " +
                         unmark);
  }
  return Exception(kept, path,
                   "seul le compte « " + AccountName(copy.Owner) + " »" +
                       (copy.Owner != 0 ? " (ou root)" : "") +
                       " peut lire cette copie : une conversion (pas un essai) de ce compte "
                       "remettra le fichier en état ; sinon, demandez-lui cet ancien contenu, "
                       "remettez-le, puis " +
                       unmark);
}

EInOutError StateFolderError(int err, const std::string& path) {
  return EInOutError(OsErrorCode(EACCES), path,
                     "il doit être réécrit sur place (il a plusieurs noms, ou ne peut pas être "
                     "remplacé par un nouveau fichier), ce qui demande le dossier d'état " +
                         QuotedName(StateFolderPath()) +
                         " pour garder de quoi le remettre en état : " + StateFolderTrouble(err) +
                         " ; lancez le programme avec l'environnement de votre propre compte "
                         "(sudo -i ou su -, plutôt que sudo -E ou su), ou retirez le fichier du "
                         "filtre");
}

std::string UnflushedFolderMessage(int err) {
  return "dossier non enregistré sur le disque (" + EInOutError::MessageFor(OsErrorCode(err)) +
         ") ; les fichiers qui viennent d'y être convertis sont en place, mais une coupure de "
         "courant pourrait leur rendre leur ancien contenu";
}

Exception UnflushedFolderError(int err, const std::string& folder) {
  return Exception(folder + " : " + UnflushedFolderMessage(err), std::string(), ReasonFor(err));
}
