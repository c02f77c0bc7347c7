#include "convert/interrupted.h"

std::string InterruptedRewritesText(const std::vector<InterruptedRewrite>& found) {
  std::string restored, changed, lost;
  for (const InterruptedRewrite& f : found) {
    if (f.Restored) {
      restored += "\n" + f.Path;
    } else if (!f.KeptIn.empty()) {
      changed += "\n" + f.Path + "\n    ancien contenu : " + f.KeptIn;
    } else {
      lost += "\n" + f.Path;
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
