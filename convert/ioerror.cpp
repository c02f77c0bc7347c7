#include "convert/ioerror.h"

#include <cerrno>

#include "convert/interrupted.h"
#include "platform/folders.h"
#include "platform/oserror.h"
#include "platform/paths.h"
#include "platform/quote.h"
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
