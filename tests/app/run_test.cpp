// Conversion runs through the window's real buttons, over temporary trees.
#include <QApplication>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "app/form1.h"
#include "app/run.h"
#include "app_fixture.h"
#include "base/errors.h"
#include "framework/localtext.h"
#include "platform/fd.h"
#include "platform/fileio.h"
#include "platform/processors.h"

namespace {

class RunTest : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    // Windows chosen, both rules on, sub-folders included: the first start.
    form = std::make_unique<TForm1>();
    form->filtre_c->setText("*.pl");
    form->PumpPeriod = {};
  }
  void TearDown() override {
    form.reset();
    AppTest::TearDown();
  }

  void Start(const std::string& folder) {
    form->path_c->setText(QString::fromLocal8Bit(folder));
    form->Button1->click();
  }

  // Runs once the scanner has reported its first file (and converted it).
  void AfterFirstFile(std::function<void()> action) {
    TScruteEvent original = form->ScruteDossier1->OnFichier;
    auto fired = std::make_shared<bool>(false);
    TForm1* window = form.get();
    form->ScruteDossier1->OnFichier = [original, fired, action, window](TObject* s,
                                                                        std::string nom) {
      original(s, nom);
      if (!*fired) {
        *fired = true;
        QTimer::singleShot(0, window, action);
      }
    };
  }

  std::unique_ptr<TForm1> form;
};

const std::string kScript = "  #!/PERL/bin/perl  \nprint 1;\r\n\tuse lib 'c:/perl/lib/' ;\r";

}  // namespace

TEST_F(RunTest, ConvertsEveryMatchingFileOfTheTree) {
  WriteFileBytes(Path("a.pl"), kScript);
  WriteFileBytes(Path("sub/deep/b.PL"), "x  \ny");
  WriteFileBytes(Path("notes.txt"), "keep \n");
  WriteFileBytes(Path("sub/binary.pl"), std::string("x \0 \n", 5));
  WriteFileBytes(Path("sub/.git/hooks/hook.pl"), "x \n");
  ASSERT_EQ(::symlink("a.pl", Path("link.pl").c_str()), 0);
  // Whatever the bar shows during the run is in place already.
  std::vector<std::string> shown;
  TScruteEvent original = form->ScruteDossier1->OnFichier;
  form->ScruteDossier1->OnFichier = [&](TObject* s, std::string nom) {
    original(s, std::move(nom));
    const std::string now = form->StatusBar1->Panel()->Text();
    if (!now.empty()) shown.push_back(now + "|" + ReadFileBytes(now));
  };
  Start(Path(""));
  for (const std::string& s : shown) EXPECT_EQ(s.find("  "), std::string::npos) << s;
  EXPECT_EQ(ReadFileBytes(Path("a.pl")),
            "#!/usr/bin/perl\r\nprint 1;\r\n"
            "use lib '/home/e-smith/files/ibays/Primary/cgi-bin/solvane/' ;\r\n");
  EXPECT_EQ(ReadFileBytes(Path("sub/deep/b.PL")), "x\r\ny\r\n");
  EXPECT_EQ(ReadFileBytes(Path("notes.txt")), "keep \n");
  EXPECT_EQ(ReadFileBytes(Path("sub/.git/hooks/hook.pl")), "x \n");
  EXPECT_EQ(Messages(), std::vector<std::string>{"c'est fini"});
  EXPECT_TRUE(Errors().empty());
  // Nothing of the folder stays open once the run is over: it can be unmounted.
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    const std::string target = std::filesystem::read_symlink(fd.path(), ec).string();
    EXPECT_NE(target.rfind(Path(""), 0), 0u) << target;
  }
  // The run's account stays in the bar.
  const std::string last = form->StatusBar1->Panel()->Text();
  EXPECT_EQ(last, "2 convertis, 0 inchangé, 2 laissés tels quels, 0 refusé, 0 en échec");
  // The bar catches up with the last text once the screen's next frame is due.
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return form->StatusBar1->Panel()->Painted() == QString::fromUtf8(last); }));
}

TEST_F(RunTest, AFileAlreadyInTheChosenFormIsLeftAsItIs) {
  // Read-only as well: nothing is written to it, so nothing is refused.
  WriteFileBytes(Path("done/a.pl"), "a\r\n");
  ASSERT_EQ(::chmod(Path("done/a.pl").c_str(), 0444), 0);
  const struct timespec old[2] = {{1500000000, 0}, {1500000000, 0}};
  for (const char* name : {"done/a.pl", "done"}) {
    ASSERT_EQ(::utimensat(AT_FDCWD, Path(name).c_str(), old, 0), 0);
  }
  struct stat file {};
  ASSERT_EQ(::stat(Path("done/a.pl").c_str(), &file), 0);
  Start(Path(""));
  struct stat file_now {
  }, folder_now{};
  ASSERT_EQ(::stat(Path("done/a.pl").c_str(), &file_now), 0);
  ASSERT_EQ(::stat(Path("done").c_str(), &folder_now), 0);
  EXPECT_EQ(file_now.st_ino, file.st_ino);
  EXPECT_EQ(file_now.st_mtim.tv_sec, old[1].tv_sec);
  EXPECT_EQ(file_now.st_ctim.tv_sec, file.st_ctim.tv_sec);
  EXPECT_EQ(file_now.st_ctim.tv_nsec, file.st_ctim.tv_nsec);
  EXPECT_EQ(folder_now.st_mtim.tv_sec, old[1].tv_sec);
  EXPECT_EQ(form->StatusBar1->Panel()->Text(),
            "0 converti, 1 inchangé, 0 laissé tel quel, 0 refusé, 0 en échec");
  EXPECT_EQ(Messages(), std::vector<std::string>{"c'est fini"});
}

TEST_F(RunTest, FormatsRulesAndDepthComeFromTheWindow) {
  WriteFileBytes(Path("a.pl"), kScript);
  WriteFileBytes(Path("sub/b.pl"), "x\r\n");
  form->Mac_c->click();
  form->remplacer_2->click();  // rule 2 off
  form->inclure_rep->click();  // top folder only
  Start(Path(""));
  EXPECT_EQ(ReadFileBytes(Path("a.pl")), "#!/usr/bin/perl\rprint 1;\ruse lib 'c:/perl/lib/' ;\r");
  EXPECT_EQ(ReadFileBytes(Path("sub/b.pl")), "x\r\n");
  EXPECT_EQ(form->ScruteDossier1->MaxPenetration(), 0);
  EXPECT_EQ(Messages(), std::vector<std::string>{"c'est fini"});
}

TEST_F(RunTest, NoFormatChosenRefusesTheRun) {
  WriteFileBytes(Path("a.pl"), kScript);
  form->windows_c->click();
  Start(Path(""));
  EXPECT_EQ(Messages(), std::vector<std::string>{"Vous devez choisir un format de conversion"});
  EXPECT_EQ(ReadFileBytes(Path("a.pl")), kScript);
  EXPECT_EQ(form->ScruteDossier1->Dossier(), "/");
  EXPECT_EQ(form->ScruteDossier1->Filtre(), "*.*");
}

TEST_F(RunTest, MissingOrEmptyFolderIsToldAndNothingIsWalked) {
  Start(Path("absent"));
  ASSERT_EQ(Errors().size(), 1u);
  EXPECT_EQ(Errors()[0].rfind(Path("absent") + " : ", 0), 0u) << Errors()[0];
  EXPECT_TRUE(Messages().empty());  // no "c'est fini"
  EXPECT_TRUE(form->StatusBar1->Panel()->Text().empty());
  EXPECT_EQ(form->ScruteDossier1->Dossier(), Path("absent"));

  // An empty field would otherwise walk the whole system from its root.
  Start("");
  EXPECT_EQ(Messages(), std::vector<std::string>{"Vous devez choisir un dossier"});
  EXPECT_EQ(form->ScruteDossier1->Dossier(), Path("absent"));
}

TEST_F(RunTest, FoldersThatCouldNotBeReadAreListedBeforeTheEnd) {
  WriteFileBytes(Path("a.pl"), "a\n");
  WriteFileBytes(Path("sub/b.pl"), "b\n");
  // The scanner tells of a folder it could not read while the run goes on.
  TScruteEvent original = form->ScruteDossier1->OnFichier;
  form->ScruteDossier1->OnFichier = [this, original](TObject* s, std::string nom) {
    original(s, nom);
    // One that would turn round what follows it.
    const std::string folder = nom + (nom == Path("a.pl") ? "\xE2\x80\xAE" : "") + "-folder";
    form->ScruteDossier1->FailedFolder = PathChain(folder);
    form->ScruteDossier1->OnEchec(s, folder, "illisible");
  };
  Start(Path(""));
  // All of them, sorted, each with its reason, quoted where they must be.
  ASSERT_EQ(Messages().size(), 2u);
  EXPECT_EQ(Messages()[0], "2 dossiers n'ont pas pu être parcourus en entier :\n\"" + Path("a.pl") +
                               "\\342\\200\\256-folder\" : illisible\n" + Path("sub/b.pl") +
                               "-folder : illisible");
  EXPECT_EQ(Messages()[1], "c'est fini");
  EXPECT_EQ(ReadFileBytes(Path("sub/b.pl")), "b\r\n");
}

TEST_F(RunTest, UnwritableFileStopsTheRunWithTheErrorBox) {
  WriteFileBytes(Path("a.pl"), "first  \n");
  // Named with a line separator, which the boxes and the status bar show quoted.
  const std::string locked = Path(
      "sub/lo\xE2\x80\xA8"
      "cked.pl");
  const std::string shown = "\"" + Path(R"(sub/lo\342\200\250cked.pl")");
  WriteFileBytes(locked, "locked\n");
  WriteFileBytes(Path("sub/z/after.pl"), "after  \n");
  ASSERT_EQ(::chmod(locked.c_str(), 0444), 0);
  // What the conversion itself says about that file, and why.
  std::string expected;
  try {
    ::ConvertTextFile(locked, locked, LineEnding::Windows, {}, {});
  } catch (const Exception&) {
    expected = ErrorBoxText(std::current_exception());
  }
  ASSERT_NE(expected.find("\n" + shown + " : "), std::string::npos) << expected;

  Start(Path(""));
  EXPECT_EQ(Errors(), std::vector<std::string>{expected});
  EXPECT_TRUE(Messages().empty());  // no "c'est fini"
  EXPECT_EQ(form->StatusBar1->Panel()->Text(), shown);
  EXPECT_EQ(ReadFileBytes(Path("a.pl")), "first\r\n");
  EXPECT_EQ(ReadFileBytes(locked), "locked\n");
  EXPECT_EQ(ReadFileBytes(Path("sub/z/after.pl")), "after  \n");

  // The next click starts afresh.
  ASSERT_EQ(::chmod(locked.c_str(), 0644), 0);
  boxes.clear();
  Start(Path(""));
  EXPECT_EQ(Messages(), std::vector<std::string>{"c'est fini"});
  EXPECT_EQ(ReadFileBytes(Path("sub/z/after.pl")), "after\r\n");
}

TEST_F(RunTest, AFailureFoundAtARenameStopsTheRunWithNothingAfterIt) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root makes a folder immutable";
  for (int i = 0; i < 30; ++i) {
    WriteFileBytes(Path("f" + std::to_string(i) + ".pl"), std::string(i + 1, 'x') + " \n");
  }
  // The folder takes no new name from the sixteenth rename on, well after
  // the batch's contents were written and made durable.
  struct Immutable : FileWriter {
    std::string folder;
    std::atomic<int> renames{0};
    void Reached(WriteStep step) override {
      if (step != WriteStep::kBeforeReplace || ++renames != 16) return;
      Fd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      int flags = 0;
      if (::ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) == 0) {
        flags |= FS_IMMUTABLE_FL;
        ::ioctl(fd.get(), FS_IOC_SETFLAGS, &flags);
      }
    }
  } disk;
  disk.folder = Path("");
  form->Writer = &disk;
  std::vector<std::string> walked;
  TScruteEvent original = form->ScruteDossier1->OnFichier;
  form->ScruteDossier1->OnFichier = [&](TObject* s, std::string nom) {
    walked.push_back(nom);
    original(s, std::move(nom));
  };
  Start(Path(""));
  Fd fd(::open(Path("").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  int flags = 0;
  ASSERT_EQ(::ioctl(fd.get(), FS_IOC_GETFLAGS, &flags), 0);
  if ((flags & FS_IMMUTABLE_FL) == 0) GTEST_SKIP() << "no immutable folders here";
  flags &= ~FS_IMMUTABLE_FL;
  ASSERT_EQ(::ioctl(fd.get(), FS_IOC_SETFLAGS, &flags), 0);
  ASSERT_GE(walked.size(), 16u);
  ASSERT_EQ(Errors().size(), 1u);
  EXPECT_EQ(Errors()[0].rfind("Accès au fichier refusé.\n" + walked[15] + " : ", 0), 0u)
      << Errors()[0];
  EXPECT_TRUE(Messages().empty());
  // In the walk's order: the fifteen first in place, none after them.
  for (std::size_t i = 0; i < walked.size(); ++i) {
    const std::string bytes = ReadFileBytes(walked[i]);
    EXPECT_EQ(bytes.find(' ') != std::string::npos, i >= 15) << walked[i];
  }
  EXPECT_EQ(form->StatusBar1->Panel()->Text(), walked[15]);
}

TEST_F(RunTest, AccentedFolderIsChosenAndConvertedInASingleByteSet) {
  PinnedCodePage pin(CodePage::SingleByte("CP1252"));
  // "été/café.pl", holding "été ÉTÉ / œuvre ŒUVRE", all in Windows-1252.
  const std::string file = Path("\xE9t\xE9/caf\xE9.pl");
  WriteFileBytes(file, "\xE9t\xE9 \xC9T\xC9 / \x9Cuvre \x8CUVRE  \n");
  form->remplacer_1e->setText(QString::fromUtf8("été"));
  form->remplacer_1l->setText("summer");
  form->remplacer_2e->setText(QString::fromUtf8("Œuvre"));
  form->remplacer_2l->setText("work");
  const QString folder = FromLocalBytes(Path("")) + QString::fromUtf8("été");
  SetFolderDialogHook([&](TFolderDialog& dialog) { return dialog.SelectPath(folder); });
  form->SpeedButton2->click();
  EXPECT_EQ(form->path_c->text(), folder);
  form->Button1->click();
  EXPECT_EQ(ReadFileBytes(file), "summer summer / work work\r\n");
  EXPECT_EQ(Messages(), std::vector<std::string>{"c'est fini"});
}

TEST_F(RunTest, FormatUncheckedDuringARunAppliesFromTheNextFile) {
  WriteFileBytes(Path("a.pl"), "a  \n");
  WriteFileBytes(Path("sub/b.pl"), "b  \n");
  AfterFirstFile([this] { form->windows_c->click(); });
  Start(Path(""));
  EXPECT_EQ(ReadFileBytes(Path("a.pl")), "a\r\n");
  EXPECT_EQ(ReadFileBytes(Path("sub/b.pl")), "b  \n");
  EXPECT_EQ(form->StatusBar1->Panel()->Text(),
            "1 converti, 0 inchangé, 0 laissé tel quel, 0 refusé, 0 en échec");
  EXPECT_EQ(Messages(), std::vector<std::string>{"c'est fini"});
}

TEST_F(RunTest, StartDuringARunIsANestedRun) {
  WriteFileBytes(Path("one/a.pl"), "a  \n");
  WriteFileBytes(Path("one/a2.pl"), "a  \n");
  WriteFileBytes(Path("one/sub/b.pl"), "b  \n");
  WriteFileBytes(Path("two/c.pl"), "c  \n");
  WriteFileBytes(Path("two/d.txt"), "d  \n");
  AfterFirstFile([this] {
    form->path_c->setText(QString::fromLocal8Bit(Path("two")));
    form->inclure_rep->click();
    form->Button1->click();
  });
  Start(Path("one"));
  EXPECT_EQ(ReadFileBytes(Path("two/c.pl")), "c\r\n");
  EXPECT_EQ(ReadFileBytes(Path("two/d.txt")), "d  \n");
  EXPECT_EQ(ReadFileBytes(Path("one/a.pl")), "a\r\n");
  EXPECT_EQ(ReadFileBytes(Path("one/a2.pl")), "a\r\n");
  // The outer run resumed with its own folder but reads the depth limit anew.
  EXPECT_EQ(ReadFileBytes(Path("one/sub/b.pl")), "b  \n");
  EXPECT_EQ(Messages(), (std::vector<std::string>{"c'est fini", "c'est fini"}));
}

TEST_F(RunTest, ErrorInANestedRunEndsOnlyThatRun) {
  WriteFileBytes(Path("one/a.pl"), "a  \n");
  WriteFileBytes(Path("one/sub/b.pl"), "b  \n");
  WriteFileBytes(Path("two/locked.pl"), "c  \n");
  ASSERT_EQ(::chmod(Path("two/locked.pl").c_str(), 0444), 0);
  AfterFirstFile([this] {
    form->path_c->setText(QString::fromLocal8Bit(Path("two")));
    form->Button1->click();
  });
  Start(Path("one"));
  EXPECT_EQ(Errors().size(), 1u);
  EXPECT_EQ(Messages(), std::vector<std::string>{"c'est fini"});
  EXPECT_EQ(ReadFileBytes(Path("one/a.pl")), "a\r\n");
  EXPECT_EQ(ReadFileBytes(Path("one/sub/b.pl")), "b\r\n");
}

TEST_F(RunTest, StartAgainDuringARunConvertsEachFileOnce) {
  // A double click: the second run walks the same files as the first.
  for (int i = 0; i < 20; ++i) WriteFileBytes(Path("f" + std::to_string(i) + ".pl"), "perl\n");
  form->remplacer_1e->setText("perl");
  form->remplacer_1l->setText("perl -w");
  form->remplacer_2->click();  // rule 2 off
  AfterFirstFile([this] { form->Button1->click(); });
  Start(Path(""));
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(ReadFileBytes(Path("f" + std::to_string(i) + ".pl")), "perl -w\r\n") << i;
  }
  EXPECT_EQ(Messages(), (std::vector<std::string>{"c'est fini", "c'est fini"}));
}

TEST_F(RunTest, QuitOrASignalDuringARunStopsItAndEnds) {
  // Conversions wait until the run is stopped: the files the walk handed
  // over meanwhile, beyond those in hand, are never started.
  struct Gate : FileWriter {
    ssize_t Write(int fd, const void* buf, std::size_t n) override {
      {
        std::unique_lock<std::mutex> lock(m);
        opened.wait(lock, [&] { return open; });
      }
      return FileWriter::Write(fd, buf, n);
    }
    void Open() {
      std::lock_guard<std::mutex> lock(m);
      open = true;
      opened.notify_all();
    }
    std::mutex m;
    std::condition_variable opened;
    bool open = false;
  };
  TForm* previousMain = Application().MainForm;
  CloseOnSessionEnd();
  for (const char* way : {"Quitter", "SIGTERM"}) {
    SCOPED_TRACE(way);
    boxes.clear();
    std::filesystem::remove(SettingsFile());
    // A window of its own for each way: the first one built is the main one.
    Application().MainForm = previousMain;
    form = std::make_unique<TForm1>();
    form->PumpPeriod = {};
    Gate gate;
    form->Writer = &gate;
    Application().MainForm = form.get();
    for (int i = 0; i < 200; ++i) WriteFileBytes(Path("f" + std::to_string(i) + ".pl"), "x  \n");
    form->path_c->setText(QString::fromLocal8Bit(Path("")));
    form->show();
    std::vector<std::string> walked;
    bool saved_at_once = false;
    TScruteEvent original = form->ScruteDossier1->OnFichier;
    form->ScruteDossier1->OnFichier = [&](TObject* s, std::string nom) {
      walked.push_back(nom);
      original(s, std::move(nom));
      if (walked.size() != ProcessorCount() + 10) return;
      QTimer::singleShot(0, form.get(), [&] {
        if (way == std::string("Quitter")) {
          form->Button2->click();
        } else {
          std::raise(SIGTERM);
        }
      });
    };
    // When the stopped walk ends: the settings were saved at once, and the
    // bar says the run is stopping.
    TNotifyEvent finish = form->ScruteDossier1->OnFinExecute;
    form->ScruteDossier1->OnFinExecute = [&](TObject* s) {
      saved_at_once = form->StatusBar1->Panel()->Text() == "Arrêt…" &&
                      ReadFileBytes(SettingsFile()).find("path_c=" + Path("")) != std::string::npos;
      gate.Open();
      finish(s);
    };
    bool timed_out = false;
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [&] {
      timed_out = true;
      QApplication::quit();
    });
    watchdog.start(60000);
    QTimer::singleShot(0, form.get(), [&] { form->Button1->click(); });
    QApplication::exec();
    gate.Open();
    form->ScruteDossier1->OnFichier = original;
    // The event loop ended, the program with it: no "c'est fini" first.
    EXPECT_FALSE(timed_out);
    EXPECT_TRUE(saved_at_once);
    EXPECT_TRUE(boxes.empty());
    // What was converted is a beginning of the walk, and stops short of it.
    std::size_t converted = 0;
    while (converted < walked.size() && ReadFileBytes(walked[converted]) == "x\r\n") ++converted;
    for (std::size_t i = converted; i < walked.size(); ++i) {
      EXPECT_EQ(ReadFileBytes(walked[i]), "x  \n") << i;
    }
    EXPECT_LE(converted, ProcessorCount());
    EXPECT_LT(walked.size(), 200u);
  }
  Application().MainForm = previousMain;
}

TEST_F(RunTest, QuitOrEndOfSessionWhenIdleSavesAndEndsTheEventLoop) {
  TForm* previousMain = Application().MainForm;
  Application().MainForm = form.get();
  CloseOnSessionEnd();
  for (const char* way : {"Quitter", "SIGTERM"}) {
    form->show();
    form->path_c->setText(QString("/ailleurs/") + way);
    bool timedOut = false;
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [&] {
      timedOut = true;
      QApplication::quit();
    });
    watchdog.start(20000);
    QTimer::singleShot(0, form.get(), [&] {
      if (way == std::string("Quitter")) {
        form->Button2->click();
      } else {
        std::raise(SIGTERM);
      }
    });
    QApplication::exec();
    EXPECT_FALSE(timedOut) << way;
    EXPECT_NE(ReadFileBytes(SettingsFile()).find(std::string("path_c=/ailleurs/") + way),
              std::string::npos)
        << way;
  }
  Application().MainForm = previousMain;
  EXPECT_TRUE(boxes.empty());
}

// In a process of its own, started afresh: the signals are the whole process's.
TEST(CloseOnSessionEndDeathTest, ASecondSignalEndsTheProgramAtOnce) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        CloseOnSessionEnd();
        // The first only asks the main window to close, on the event loop.
        std::raise(SIGTERM);
        std::fputs("still running\n", stderr);
        std::raise(SIGTERM);
        std::_Exit(0);
      },
      ::testing::KilledBySignal(SIGTERM), "still running");
}

TEST_F(AppTest, TheWindowStartsOnTheOneFolderItsCommandLineNames) {
  WriteSettings("path_c=/saved\n");
  char program[] = "terminelle";
  // The field shown, or none when the command line is refused.
  for (auto [args, field] :
       std::vector<std::pair<std::vector<std::string>, std::optional<std::string>>>{
           {{}, "/saved"},
           {{"/srv/www/"}, "/srv/www"},
           {{"cgi-bin"}, std::filesystem::current_path().string() + "/cgi-bin"},
           {{"a", "b"}, {}},
           {{"-x"}, {}},
           {{""}, {}}}) {
    std::vector<char*> argv{program};
    for (std::string& arg : args) argv.push_back(arg.data());
    std::optional<std::string> folder;
    std::string error;
    ASSERT_EQ(ReadStartFolder(static_cast<int>(argv.size()), argv.data(), &folder, &error),
              field.has_value());
    if (!field) continue;
    TForm1 form;
    ShowStartFolder(form, folder);
    EXPECT_EQ(ToLocalBytes(form.path_c->text()), *field);
  }
}
