#include "app/run.h"

#include <QApplication>

#include <clocale>

#include "widgets/forms.h"

int RunTerminelle(int argc, char** argv) {
  // Messages from the system and the charset of file contents follow the user's locale.
  std::setlocale(LC_ALL, "");
  QApplication qapp(argc, argv);
  Application().Title = "Terminelle";
  QApplication::setApplicationName(QString::fromUtf8(Application().Title));
  TForm* form = Application().CreateForm<TForm>();
  form->setWindowTitle(QString::fromUtf8(Application().Title));
  form->show();
  int status = QApplication::exec();
  Application().DestroyForms();
  return status;
}
