#include "convert/interrupted.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/errors.h"
#include "platform/oserror.h"
#include "platform/quote.h"

std::string InterruptedRewritesText(const std::vector<InterruptedRewrite>& found) {
  std::string restored, changed, lost;
  for (const InterruptedRewrite& f : found) {
    if (f.Restored) {
      restored += "\n" + QuotedName(f.Path);
    } else if (!f.KeptIn.empty()) {
      changed += "\n" + QuotedName(f.Path) + "\n    ancien contenu : " + QuotedName(f.KeptIn);
    } else {
      lost += "\n" + QuotedName(f.Path);
    }
  }
  std::string text = "Terminelle a été arrêté pendant qu'il réécrivait des fichiers.";
  if (!restored.empty()) text += "\n\nCes fichiers ont retrouvé leur contenu d'avant :" + restored;
  if (!changed.empty()) {
    text +=
        "\n\nCes fichiers ont changé depuis ; ils restent tels quels et leur ancien contenu "
        "est gardé à part :" +
        changed;
  }
  if (!lost.empty())
    text += "\n\nCes fichiers n'ont pas pu retrouver leur contenu d'avant :" + lost;
  return text;
}

std::string StateFolderUnreadText(int err) {
  return "Le dossier d'état " + QuotedName(StateFolderPath()) + " n'a pas pu être lu (" +
         SystemErrorText(err) +
         ") : des fichiers qu'un arrêt a laissés à moitié réécrits n'ont peut-être pas retrouvé "
         "leur contenu.";
}

std::string StateFolderTrouble(int err) {
  const std::string path = StateFolderPath();
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) {
    return err == EPERM ? "il serait créé dans un dossier d'un autre compte" : SystemErrorText(err);
  }
  switch (OwnershipOf(st)) {
    case Ownership::kOtherOwner:
      return "il appartient au compte « " + AccountName(st.st_uid) + " »";
    case Ownership::kOpenToOthers:
      return "d'autres comptes peuvent y écrire";
    case Ownership::kOwn:
      break;
  }
  return SystemErrorText(err);
}

std::string UntrustedText(const std::string& what, const Untrusted& u) {
  const std::string me = AccountName(::geteuid());
  if (u.Why == Ownership::kOtherOwner) {
    return AsSentence(what) + " " + QuotedName(u.Path) + " appartient au compte « " +
           AccountName(u.Owner) + " », et non à « " + me + " », qui lance le programme";
  }
  return "D'autres comptes que « " + me + " » peuvent écrire dans " + what + " " +
         QuotedName(u.Path);
}

std::string UntrustedAdvice(const Untrusted& u) {
  return u.Why == Ownership::kOtherOwner
             ? "lancez le programme avec l'environnement de votre propre compte (sudo -i ou su -, "
               "plutôt que sudo -E ou su)"
             : "retirez-leur ce droit (chmod go-w)";
}

std::string UntrustedStateText(const Untrusted& u) {
  return UntrustedText(u.Folder ? "le dossier d'état" : "le fichier de reprise", u) +
         " : il n'est pas lu, rien n'est nettoyé ni converti. " + AsSentence(UntrustedAdvice(u)) +
         ", puis relancez.";
}
