// One conversion run through the window, offscreen, as a program of its own,
// so that a benchmark times it beside other programs:
//   window_run unix|windows|mac FOLDER
// The first-start rules are on; sub-folders are included. Exits 0 once
// "c'est fini" was shown, 1 otherwise; prints the run's seconds.
#include <QApplication>
#include <QTemporaryDir>

#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/form1.h"
#include "app/messages.h"
#include "framework/localtext.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  std::setlocale(LC_ALL, "");
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QTemporaryDir config;
  if (!config.isValid()) return 1;
  qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
  bool finished = false;
  SetBoxHook([&](TBoxKind kind, const std::string& text) {
    if (kind == TBoxKind::Message && text == "c'est fini") {
      finished = true;
    } else {
      std::fprintf(stderr, "box: %s\n", text.c_str());
    }
  });
  TForm1 form;
  form.path_c->setText(FromLocalBytes(argv[2]));
  form.filtre_c->setText("*.pl");
  TCheckBox* format = std::strcmp(argv[1], "windows") == 0 ? form.windows_c
                      : std::strcmp(argv[1], "mac") == 0   ? form.Mac_c
                                                           : form.unix_c;
  format->SetChecked(true);
  // The run alone, from the click to the end box, apart from the toolkit's
  // start-up: what a user waits for.
  const auto start = std::chrono::steady_clock::now();
  form.Button1->click();
  std::printf("%.6f\n",
              std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  return finished ? 0 : 1;
}
