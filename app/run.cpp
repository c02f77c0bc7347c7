#include "app/run.h"

#include <QApplication>
#include <QIcon>

#include <clocale>
#include <vector>

#include "app/form1.h"
#include "app/messages.h"
#include "platform/interrupted.h"
#include "platform/rewrite.h"
#include "widgets/forms.h"

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
