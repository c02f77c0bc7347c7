// Opens the main window on the current display and saves a picture of it,
// with any box opened over it, once drawn: for looking at the window (the
// README's and AppStream's picture), not for comparing.
//
// Usage: app_screenshot <output.png> [width height | folder | message]
#include <QApplication>
#include <QDir>
#include <QScreen>
#include <QTimer>

#include <clocale>
#include <cstdio>
#include <cstdlib>

#include "app/form1.h"
#include "app/messages.h"

int main(int argc, char** argv) {
  if (argc < 2 || argc > 4) {
    std::fprintf(stderr, "usage: %s <output.png> [width height | folder | message]\n", argv[0]);
    return 2;
  }
  std::setlocale(LC_ALL, "");
  QApplication app(argc, argv);
  InstallErrorBox();
  TForm1* form = Application().CreateForm<TForm1>();
  const QString extra = argc == 3 ? QString::fromLocal8Bit(argv[2]) : QString();
  if (argc == 4) form->resize(std::atoi(argv[2]), std::atoi(argv[3]));
  form->show();
  // The folder chooser or the end box, opened over the window.
  if (extra == "folder") {
    form->path_c->setText(QDir::homePath());
    QTimer::singleShot(300, [form] { form->SpeedButton2->click(); });
  } else if (extra == "message") {
    QTimer::singleShot(300, [] { ShowMessage("c'est fini"); });
  }
  int status = 1;
  QTimer::singleShot(1500, [&] {
    QRect area;
    for (QWidget* w : QApplication::topLevelWidgets()) {
      if (w->isVisible()) area |= w->frameGeometry();
    }
    QScreen* screen = QGuiApplication::primaryScreen();
    QPixmap shot = screen != nullptr
                       ? screen->grabWindow(0, area.x(), area.y(), area.width(), area.height())
                       : QPixmap();
    if (shot.isNull()) shot = form->grab();
    status = shot.save(QString::fromLocal8Bit(argv[1])) ? 0 : 1;
    if (QWidget* modal = QApplication::activeModalWidget()) modal->close();
    QApplication::quit();
  });
  QApplication::exec();
  Application().DestroyForms();
  return status;
}
