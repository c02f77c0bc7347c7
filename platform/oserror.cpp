#include "platform/oserror.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "base/errors.h"

int OsErrorCode(int err) {
  switch (err) {
    case ENOENT:
      return io_code::kFileNotFound;
    case ENOTDIR:
      return io_code::kPathNotFound;
    case EMFILE:
    case ENFILE:
      return io_code::kTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EISDIR:
      return io_code::kAccessDenied;
    case ENOMEM:
      return io_code::kNotEnoughMemory;
    case EXDEV:
      return io_code::kNotSameDevice;
    case EROFS:
      return io_code::kWriteProtected;
    case ENXIO:
      return io_code::kNotReady;
    case EBUSY:
    case ETXTBSY:
      return io_code::kSharingViolation;
    case EAGAIN:
      return io_code::kLockViolation;
    case EEXIST:
      return io_code::kFileExists;
    case EINVAL:
      return io_code::kInvalidParameter;
    case ENOSPC:
    case EDQUOT:
      return io_code::kDiskFull;
    case ENAMETOOLONG:
      return io_code::kNameTooLong;
    case EFBIG:
      return io_code::kFileTooLarge;
    case EIO:
      return io_code::kDeviceError;
    case ELOOP:
      return io_code::kCannotResolveName;
    default:
      return io_code::kGeneralFailure;
  }
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

namespace {

// The program's own words: under the C locale, as servers and services run,
// the system would speak English.
const char* FrenchText(int err) {
  switch (err) {
    // Opening, and names.
    case ENOENT:
      return "aucun fichier ou dossier de ce nom";
    case ENOTDIR:
      return "pas un dossier";
    case EISDIR:
      return "c'est un dossier";
    case ENAMETOOLONG:
      return "nom trop long";
    case ELOOP:
      return "lien symbolique non suivi, ou trop de liens en chaîne";
    case ENXIO:
      return "périphérique ou adresse inexistant";
    case ENODEV:
      return "aucun périphérique de ce type";
    case ENOMEDIUM:
      return "aucun support dans le lecteur";
    // Rights.
    case EACCES:
      return "permission refusée";
    case EPERM:
      return "opération non permise";
    case EROFS:
      return "système de fichiers en lecture seule";
    // Reading and writing.
    case EIO:
      return "erreur d'entrée-sortie";
    case ENOSPC:
      return "plus de place sur le disque";
    case EDQUOT:
      return "quota de disque atteint";
    case EFBIG:
      return "fichier trop grand";
    case EBUSY:
      return "ressource occupée";
    case ETXTBSY:
      return "programme en cours d'exécution";
    case EINTR:
      return "appel interrompu par un signal";
    case EBADF:
      return "descripteur de fichier invalide";
    case EPIPE:
      return "tube fermé par son lecteur";
    case ESPIPE:
      return "position impossible dans un tube";
    case EOVERFLOW:
      return "valeur trop grande pour son type";
    case EINVAL:
      return "argument invalide";
    case EUCLEAN:
      return "système de fichiers à réparer";
    case EILSEQ:
      return "suite d'octets invalide";
    // Listing, renaming, links.
    case EEXIST:
      return "le fichier existe déjà";
    case EXDEV:
      return "pas sur le même système de fichiers";
    case ENOTEMPTY:
      return "dossier non vide";
    case EMLINK:
      return "trop de liens";
    // Attributes and what a file system may lack.
    case ENODATA:
      return "attribut absent";
    case ERANGE:
      return "valeur hors limites";
    case E2BIG:
      return "liste trop longue";
    case ENOTSUP:  // EOPNOTSUPP on Linux
      return "opération non prise en charge";
    case ENOSYS:
      return "fonction non prise en charge par le système";
    // Locks.
    case EAGAIN:  // EWOULDBLOCK on Linux
      return "ressource momentanément indisponible";
    case ENOLCK:
      return "plus de verrou disponible";
    case EDEADLK:
      return "blocage mutuel évité";
    // Limits.
    case EMFILE:
      return "le programme n'a plus de descripteur de fichier libre";
    case ENFILE:
      return "le système n'a plus de descripteur de fichier libre";
    case ENOMEM:
      return "mémoire insuffisante";
    // Network file systems.
    case ESTALE:
      return "fichier réseau périmé";
    case ECONNABORTED:
      return "connexion abandonnée";
    case ECONNRESET:
      return "connexion coupée par le serveur";
    case ECONNREFUSED:
      return "connexion refusée";
    case ENOTCONN:
      return "système de fichiers déconnecté";
    case EHOSTDOWN:
      return "serveur éteint";
    case EHOSTUNREACH:
      return "serveur injoignable";
    case ENETDOWN:
      return "réseau hors service";
    case ENETUNREACH:
      return "réseau injoignable";
    case ETIMEDOUT:
      return "délai d'attente dépassé";
    case ENOLINK:
      return "lien réseau rompu";
    case EREMOTEIO:
      return "erreur d'entrée-sortie distante";
    default:
      return nullptr;
  }
}

}  // namespace

std::string SystemErrorText(int err) {
  if (const char* text = FrenchText(err)) return text;
  char buf[512];
  // The GNU strerror_r may return a static string instead of filling buf.
  const char* text = strerror_r(err, buf, sizeof buf);
  std::string s = text != nullptr ? text : "";
  while (!s.empty() && (static_cast<unsigned char>(s.back()) <= 0x20 || s.back() == '.')) {
    s.pop_back();
  }
  return s;
}
