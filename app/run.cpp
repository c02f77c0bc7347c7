#include "app/run.h"

#include <QApplication>
#include <QIcon>
#include <QLibraryInfo>
#include <QSessionManager>
#include <QSocketNotifier>
#include <QTranslator>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <vector>

#include "app/form1.h"
#include "app/messages.h"
#include "convert/interrupted.h"
#include "framework/forms.h"
#include "framework/localtext.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/quote.h"
#include "platform/rewriterecord.h"
#include "platform/workfile.h"
#include "settings/file/iniform1.h"
#include "settings/store/svgeditini.h"

namespace {

// The signal handler only wakes the event loop; the closing runs there.
int signalPipe[2] = {-1, -1};

// The signals that close the window, those the program was not started to
// ignore (nohup).
std::vector<int> closingSignals;

void OnSignal(int sig) {
  const int saved = errno;
  const char byte = static_cast<char>(sig);
  [[maybe_unused]] ssize_t n = write(signalPipe[1], &byte, 1);
  // The second signal, of whatever kind, finds the default action again: a
  // window that does not close (a run under way) can still be ended.
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  for (int other : closingSignals) sigaction(other, &fallback, nullptr);
  errno = saved;
}

void CloseMainForm() {
  Guarded([] {
    if (TForm* form = Application().MainForm) form->close();
  });
}

}  // namespace

bool LoadQtFrench() {
  auto* translator = new QTranslator(QCoreApplication::instance());
  if (!translator->load(QStringLiteral("qtbase_fr"),
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    delete translator;
    return false;
  }
  return QCoreApplication::installTranslator(translator);
}

void CloseOnSessionEnd() {
  QObject::connect(qApp, &QGuiApplication::commitDataRequest, qApp,
                   [](QSessionManager&) { CloseMainForm(); });
  if (signalPipe[0] < 0 && pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, qApp);
  QObject::connect(notifier, &QSocketNotifier::activated, qApp, [] {
    char bytes[16];
    while (read(signalPipe[0], bytes, sizeof bytes) > 0) {
    }
    CloseMainForm();
  });
  closingSignals.clear();
  for (int sig : {SIGTERM, SIGHUP, SIGINT}) {
    struct sigaction current {};
    // A signal the program was started to ignore (nohup) stays ignored.
    if (sigaction(sig, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) continue;
    closingSignals.push_back(sig);
  }
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (int sig : closingSignals) sigaddset(&action.sa_mask, sig);
  action.sa_flags = SA_RESTART;
  for (int sig : closingSignals) sigaction(sig, &action, nullptr);
}

bool ReadStartFolder(int argc, char** argv, std::optional<std::string>* folder,
                     std::string* error) {
  folder->reset();
  if (argc > 2) {
    *error = "un seul dossier à la fois";
    return false;
  }
  if (argc < 2) return true;
  const std::string given = argv[1];
  // A folder whose name begins with "-" is given as "./-name".
  if (!given.empty() && given.front() == '-') {
    *error = "option inconnue : « " + given + " »";
    return false;
  }
  if (given.empty()) {
    *error = "le dossier à convertir est vide";
    return false;
  }
  *folder = FullPathName(given);
  return true;
}

void ShowStartFolder(TForm1& form, const std::optional<std::string>& folder) {
  if (!folder) return;
  form.path_c->setText(FromLocalBytes(*folder));
  form.path_c->setCursorPosition(0);
}

int RunTerminelle(int argc, char** argv) {
  // Messages from the system and the charset of file contents follow the user's locale.
  std::setlocale(LC_ALL, "");
  FailWritesPastSizeLimit();
  QApplication qapp(argc, argv);
  // Before anything is put back or shown: a refused command line does nothing.
  std::optional<std::string> start_folder;
  std::string refused;
  if (!ReadStartFolder(argc, argv, &start_folder, &refused)) {
    std::fprintf(stderr, "terminelle: %s\nUsage : terminelle [DOSSIER]\n",
                 EscapedText(refused).c_str());
    return 2;
  }
  Application().Title = "Terminelle";
  QApplication::setApplicationName(QString::fromUtf8(Application().Title));
  QApplication::setApplicationVersion(QStringLiteral("1.0.0.1"));
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/pictures/terminelle.ico")));
  // Lets the desktop match the window to its menu entry and icon.
  QGuiApplication::setDesktopFileName(QStringLiteral("fr.terminelle.Terminelle"));
  LoadQtFrench();
  InstallErrorBox();
  // Before the window reads anything, the settings file included.
  std::vector<InterruptedRewrite> interrupted;
  Untrusted untrusted;
  if (int err = RestoreInterruptedRewrites(&interrupted, SystemFileWriter(), &untrusted)) {
    // Another account's records could lead its runs anywhere: none starts.
    if (!untrusted.Path.empty()) {
      ShowMessage(UntrustedStateText(untrusted));
      return 1;
    }
    ShowMessage(StateFolderUnreadText(err));
  }
  if (!interrupted.empty()) ShowMessage(InterruptedRewritesText(interrupted));
  {
    TIniFile settings(TSvgEditIni::FichierSettings(), SystemFileWriter(), IniTrust::kOwnOnly);
    if (const Untrusted* u = settings.Distrusted()) {
      ShowMessage(UntrustedSettingsText(*u, true));
    } else if (!settings.FileName().empty()) {
      // A save of the settings cut short may have left its temporary file.
      SweepStaleWorkFiles(FolderOf(settings.FileName()));
    }
  }
  ShowStartFolder(*Application().CreateForm<TForm1>(), start_folder);
  CloseOnSessionEnd();
  Application().MainForm->show();
  int status = QApplication::exec();
  Application().DestroyForms();
  return status;
}
