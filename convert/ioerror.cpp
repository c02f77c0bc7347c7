#include "convert/ioerror.h"

#include <cerrno>

#include "platform/oserror.h"
#include "platform/paths.h"
#include "platform/rewriterecord.h"

EInOutError IoError(int err, const std::string& path) {
  return EInOutError(OsErrorCodeForPath(err, path), path, FileErrorReason(err));
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

Exception CutShortError(const std::string& path, const std::string& kept_in) {
  return Exception(
      "réécriture interrompue par un arrêt du programme : fichier laissé tel quel, son ancien "
      "contenu est gardé dans \"" +
          kept_in + "\"",
      path,
      "une conversion (pas un essai) du compte dont la réécriture a été coupée le remettra en "
      "état ; sinon, remettez-y au besoin l'ancien contenu, puis retirez sa marque (setfattr -x " +
          std::string(kRewriteMarkAttribute) + ")");
}

std::string UnflushedFolderMessage(int err) {
  return "dossier non enregistré sur le disque (" + EInOutError::MessageFor(OsErrorCode(err)) +
         ") ; les fichiers qui viennent d'y être convertis sont en place, mais une coupure de "
         "courant pourrait leur rendre leur ancien contenu";
}

Exception UnflushedFolderError(int err, const std::string& folder) {
  return Exception(folder + " : " + UnflushedFolderMessage(err), std::string(),
                   FileErrorReason(err));
}

bool IsShortage(int code) {
  return code == io_code::kDiskFull || code == io_code::kTooManyOpenFiles;
}

void ThrowOpenError(int err, const std::string& path) {
  if (IsShortage(OsErrorCode(err))) throw IoError(err, path);
  throw EFOpenError(FullPathName(path), SystemErrorText(err));
}
