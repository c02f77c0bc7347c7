#include "convert/interrupted.h"

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
