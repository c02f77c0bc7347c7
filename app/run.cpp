#include "app/run.h"

#include <QApplication>
#include <QIcon>

#include <clocale>
#include <string>
#include <vector>

#include "app/form1.h"
#include "app/messages.h"
#include "platform/rewrite.h"
#include "widgets/forms.h"

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

int RunTerminelle(int argc, char** argv) {
  // Messages from the system and the charset of file contents follow the user's locale.
  std::setlocale(LC_ALL, "");
  QApplication qapp(argc, argv);
  Application().Title = "Terminelle";
  QApplication::setApplicationName(QString::fromUtf8(Application().Title));
  QApplication::setApplicationVersion(QStringLiteral("1.0.0.1"));
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/pictures/terminelle.ico")));
  InstallErrorBox();
  // Before the window reads anything, the settings file included.
  std::vector<InterruptedRewrite> interrupted = RestoreInterruptedRewrites();
  if (!interrupted.empty()) ShowMessage(InterruptedRewritesText(interrupted));
  Application().CreateForm<TForm1>();
  Application().MainForm->show();
  int status = QApplication::exec();
  Application().DestroyForms();
  return status;
}
