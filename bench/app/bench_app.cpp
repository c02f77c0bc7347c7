// A conversion run through the window (offscreen, status bar and pumping
// included) against the conversion core alone walking the same files.
// Prints both times and their ratio; the window should cost at most 1.2x.
#include <QApplication>
#include <QDir>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <fstream>
#include <string>

#include "app/form1.h"
#include "app/messages.h"
#include "convert/convert.h"
#include "framework/localtext.h"
#include "scan/scrutedossier.h"

namespace {

constexpr int kFolders = 20;
constexpr int kFilesPerFolder = 1000;
constexpr int kRounds = 2;

// 2 kB of Perl-looking text with LF ends and blanks to trim.
std::string Content() {
  std::string text = "#!/perl/bin/perl\n";
  int i = 0;
  while (text.size() < 2048 - 40) {
    text += "  print \"line " + std::to_string(i++) + " of a small script\";  \n";
  }
  text.resize(2047);
  text += "\n";
  return text;
}

void Populate(const std::string& root) {
  const std::string content = Content();
  for (int d = 0; d < kFolders; ++d) {
    const std::string folder = root + "/d" + std::to_string(d);
    QDir().mkpath(QString::fromLocal8Bit(folder));
    for (int f = 0; f < kFilesPerFolder; ++f) {
      std::ofstream(folder + "/f" + std::to_string(f) + ".pl", std::ios::binary) << content;
    }
  }
}

double Seconds(const std::function<void()>& work) {
  auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QTemporaryDir config;
  QTemporaryDir work;
  if (!config.isValid() || !work.isValid()) return 1;
  qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
  const std::string root = work.path().toLocal8Bit().toStdString();

  int finished = 0;
  SetBoxHook([&](TBoxKind kind, const std::string& text) {
    if (kind == TBoxKind::Message && text == "c'est fini")
      ++finished;
    else
      std::fprintf(stderr, "box: %s\n", text.c_str());
  });
  TForm1 form;
  form.show();
  QApplication::processEvents();
  form.path_c->setText(FromLocalBytes(root));
  form.filtre_c->setText("*.pl");
  const ReplaceRule rule1{form.remplacer_1->Checked(), ToLocalBytes(form.remplacer_1e->text()),
                          ToLocalBytes(form.remplacer_1l->text())};
  const ReplaceRule rule2{form.remplacer_2->Checked(), ToLocalBytes(form.remplacer_2e->text()),
                          ToLocalBytes(form.remplacer_2l->text())};

  double core = 1e9;
  double window = 1e9;
  long coreFiles = 0;
  for (int round = 0; round < kRounds; ++round) {
    Populate(root);
    TScruteDossier scanner;
    scanner.SetDossier(root);
    scanner.SetFiltre("*.pl");
    coreFiles = 0;
    scanner.OnFichier = [&](TObject*, std::string nom) {
      ConvertTextFile(nom, nom, LineEnding::Windows, rule1, rule2);
      ++coreFiles;
    };
    core = std::min(core, Seconds([&] { scanner.Execute(); }));

    Populate(root);
    window = std::min(window, Seconds([&] { form.Button1->click(); }));
  }
  std::printf("files: %ld of 2 kB, best of %d rounds\n", coreFiles, kRounds);
  std::printf("core alone: %.3f s\nthrough the window: %.3f s\n", core, window);
  std::printf("ratio window/core: %.2f (target <= 1.20)\n", window / core);
  return finished == kRounds ? 0 : 1;
}
