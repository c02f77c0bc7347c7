#include "platform/oserror.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "base/errors.h"

namespace {

// What the program says of one errno: its code, the system's text in the
// program's own words (under the C locale, as servers and services run,
// the system would speak English), and, for a file that failed so, why in
// more words than that text when there are any, and what the user can do.
struct ErrnoWords {
  int err;
  int code;
  const char* text;
  const char* why;
  const char* advice;
};

constexpr const char* kNoRoom = "plus de place sur le disque (ou quota atteint)";
constexpr const char* kFreeRoom = "libérez de la place, puis relancez";
constexpr const char* kIoWhy =
    "le disque ou le système de fichiers a signalé une erreur d'entrée-sortie";
constexpr const char* kIoAdvice = "vérifiez-le (journal du noyau, dmesg) avant de relancer";
constexpr const char* kGone =
    "le fichier ou l'un de ses dossiers a été supprimé ou déplacé pendant la conversion";
constexpr const char* kFuseWhy =
    "le programme qui sert ce système de fichiers (FUSE : sshfs, bindfs...) s'est arrêté ou a "
    "perdu sa connexion";
constexpr const char* kFuseAdvice =
    "démontez-le (fusermount -u), montez-le de nouveau, puis relancez";
constexpr const char* kNetWhy = "le système de fichiers réseau ne répond plus";
constexpr const char* kNetAdvice = "vérifiez le réseau et le montage, puis relancez";
constexpr int kNone = io_code::kGeneralFailure;

constexpr ErrnoWords kWords[] = {
    // Opening, and names.
    {ENOENT, io_code::kFileNotFound, "aucun fichier ou dossier de ce nom", kGone, "relancez"},
    {ENOTDIR, io_code::kPathNotFound, "pas un dossier", kGone, "relancez"},
    {EISDIR, io_code::kAccessDenied, "c'est un dossier", nullptr, nullptr},
    {ENAMETOOLONG, io_code::kNameTooLong, "nom trop long",
     "nom trop long pour le système de fichiers", "raccourcissez-le, puis relancez"},
    {ELOOP, io_code::kCannotResolveName, "lien symbolique non suivi, ou trop de liens en chaîne",
     "le fichier a été remplacé par un lien symbolique, que la conversion ne suit jamais",
     "voyez qui l'a remplacé, puis relancez"},
    {ENXIO, io_code::kNotReady, "périphérique ou adresse inexistant", nullptr, nullptr},
    {ENODEV, kNone, "aucun périphérique de ce type", nullptr, nullptr},
    {ENOMEDIUM, kNone, "aucun support dans le lecteur", nullptr, nullptr},
    // Rights.
    {EACCES, io_code::kAccessDenied, "permission refusée", "le fichier est en lecture seule",
     "donnez-lui le droit d'écriture, ou retirez-le du filtre"},
    // Special bits or dates that could not be kept are told apart, by
    // convert/ioerror.h's own errors.
    {EPERM, io_code::kAccessDenied, "opération non permise",
     "le fichier ou son dossier est sans doute immuable ou en ajout seul (voyez lsattr)",
     "retirez cet attribut (chattr -i ou -a), ou retirez le fichier du filtre"},
    {EROFS, io_code::kWriteProtected, "système de fichiers en lecture seule",
     "le système de fichiers est monté en lecture seule",
     "remontez-le en lecture-écriture, puis relancez"},
    // Reading and writing.
    {EIO, io_code::kDeviceError, "erreur d'entrée-sortie", kIoWhy, kIoAdvice},
    {ENOSPC, io_code::kDiskFull, "plus de place sur le disque", kNoRoom, kFreeRoom},
    {EDQUOT, io_code::kDiskFull, "quota de disque atteint", kNoRoom, kFreeRoom},
    {EFBIG, io_code::kFileTooLarge, "fichier trop grand",
     "fichier trop grand pour la limite du programme (ulimit -f) ou pour le système de "
     "fichiers",
     "relevez la limite, ou retirez-le du filtre"},
    {EBUSY, io_code::kSharingViolation, "ressource occupée",
     "un autre programme a modifié ou remplacé ce fichier pendant la conversion",
     "relancez quand il a fini"},
    {ETXTBSY, io_code::kSharingViolation, "programme en cours d'exécution",
     "ce fichier est un programme en cours d'exécution", "relancez quand il s'est arrêté"},
    {EINTR, kNone, "appel interrompu par un signal", nullptr, nullptr},
    {EBADF, kNone, "descripteur de fichier invalide", nullptr, nullptr},
    {EPIPE, kNone, "tube fermé par son lecteur", nullptr, nullptr},
    {ESPIPE, kNone, "position impossible dans un tube", nullptr, nullptr},
    {EOVERFLOW, kNone, "valeur trop grande pour son type", nullptr, nullptr},
    {EINVAL, io_code::kInvalidParameter, "argument invalide", nullptr, nullptr},
    {EUCLEAN, kNone, "système de fichiers à réparer", nullptr, nullptr},
    {EILSEQ, kNone, "suite d'octets invalide", nullptr, nullptr},
    // Listing, renaming, links.
    {EEXIST, io_code::kFileExists, "le fichier existe déjà",
     "un fichier de ce nom est apparu pendant la conversion", "relancez"},
    {EXDEV, io_code::kNotSameDevice, "pas sur le même système de fichiers",
     "un fichier ou un système de fichiers est monté sur ce nom (mount --bind), qui ne peut donc "
     "pas être remplacé",
     "convertissez le fichier là d'où il est monté, ou retirez-le du filtre"},
    {ENOTEMPTY, kNone, "dossier non vide", nullptr, nullptr},
    {EMLINK, kNone, "trop de liens", nullptr, nullptr},
    // Attributes and what a file system may lack.
    {ENODATA, kNone, "attribut absent", nullptr, nullptr},
    {ERANGE, kNone, "valeur hors limites", nullptr, nullptr},
    {E2BIG, kNone, "liste trop longue", nullptr, nullptr},
    {ENOTSUP, kNone, "opération non prise en charge", nullptr, nullptr},  // EOPNOTSUPP on Linux
    {ENOSYS, kNone, "fonction non prise en charge par le système", nullptr, nullptr},
    // Locks.
    {EAGAIN, io_code::kLockViolation, "ressource momentanément indisponible",  // EWOULDBLOCK
     "un autre programme verrouille ce fichier", "relancez quand il a fini"},
    {ENOLCK, kNone, "plus de verrou disponible", nullptr, nullptr},
    {EDEADLK, kNone, "blocage mutuel évité", nullptr, nullptr},
    // Limits.
    {EMFILE, io_code::kTooManyOpenFiles, "le programme n'a plus de descripteur de fichier libre",
     nullptr, "relevez sa limite (ulimit -n), puis relancez"},
    {ENFILE, io_code::kTooManyOpenFiles, "le système n'a plus de descripteur de fichier libre",
     nullptr, "fermez des programmes, puis relancez"},
    {ENOMEM, io_code::kNotEnoughMemory, "mémoire insuffisante", nullptr,
     "fermez des programmes, puis relancez"},
    // Network file systems, and FUSE's once its process is gone.
    {ESTALE, kNone, "fichier réseau périmé",
     "le fichier a été supprimé ou remplacé sur le serveur pendant la conversion", "relancez"},
    {ECONNABORTED, kNone, "connexion abandonnée", kFuseWhy, kFuseAdvice},
    {ENOTCONN, kNone, "système de fichiers déconnecté", kFuseWhy, kFuseAdvice},
    {ECONNRESET, kNone, "connexion coupée par le serveur", kNetWhy, kNetAdvice},
    {ECONNREFUSED, kNone, "connexion refusée", kNetWhy, kNetAdvice},
    {EHOSTDOWN, kNone, "serveur éteint", kNetWhy, kNetAdvice},
    {EHOSTUNREACH, kNone, "serveur injoignable", kNetWhy, kNetAdvice},
    {ENETDOWN, kNone, "réseau hors service", kNetWhy, kNetAdvice},
    {ENETUNREACH, kNone, "réseau injoignable", kNetWhy, kNetAdvice},
    {ETIMEDOUT, kNone, "délai d'attente dépassé", kNetWhy, kNetAdvice},
    {ENOLINK, kNone, "lien réseau rompu", kNetWhy, kNetAdvice},
    {EREMOTEIO, kNone, "erreur d'entrée-sortie distante", kIoWhy, kIoAdvice},
};

const ErrnoWords* WordsFor(int err) {
  for (const ErrnoWords& w : kWords) {
    if (w.err == err) return &w;
  }
  return nullptr;
}

}  // namespace

int OsErrorCode(int err) {
  const ErrnoWords* w = WordsFor(err);
  return w != nullptr ? w->code : io_code::kGeneralFailure;
}

int OsErrorCodeForPath(int err, const std::string& path) {
  if (err == ENOENT) {
    std::string::size_type slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
      struct stat st {};
      std::string parent = path.substr(0, slash);
      if (stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return io_code::kPathNotFound;
    }
  }
  return OsErrorCode(err);
}

std::string SystemErrorText(int err) {
  if (const ErrnoWords* w = WordsFor(err)) return w->text;
  char buf[512];
  // The GNU strerror_r may return a static string instead of filling buf.
  const char* text = strerror_r(err, buf, sizeof buf);
  std::string s = text != nullptr ? text : "";
  while (!s.empty() && (static_cast<unsigned char>(s.back()) <= 0x20 || s.back() == '.')) {
    s.pop_back();
  }
  return s;
}

std::string FileErrorReason(int err) {
  const ErrnoWords* w = WordsFor(err);
  if (w == nullptr || w->advice == nullptr) return SystemErrorText(err);
  return std::string(w->why != nullptr ? w->why : w->text) + " : " + w->advice;
}
