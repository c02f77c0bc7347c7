#include <fcntl.h>
#include <unistd.h>

#include <QCloseEvent>
#include <QCoreApplication>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <cerrno>
#include <stdexcept>
#include <string>
#include <vector>

#include "../support/folder_run.h"
#include "../support/temp_folder.h"
#include "base/errors.h"
#include "framework/forms.h"
#include "platform/fd.h"
#include "platform/fileio.h"

namespace {

// Catches what the error box would show.
class ErrorBoxSpy {
 public:
  ErrorBoxSpy() {
    Application().SetErrorBox([this](const std::string& text) { shown.push_back(text); });
  }
  ~ErrorBoxSpy() { Application().SetErrorBox(nullptr); }
  std::vector<std::string> shown;
};

TEST(ErrorBoxText, AddsAFullStopAfterALastByteAboveIt) {
  EXPECT_EQ(ErrorBoxText("Erreur E/S 112"), "Erreur E/S 112.");
  EXPECT_EQ(ErrorBoxText("Accès au fichier refusé"), "Accès au fichier refusé.");
  EXPECT_EQ(ErrorBoxText("Fini."), "Fini.");
  EXPECT_EQ(ErrorBoxText("Attention !"), "Attention !");
  EXPECT_EQ(ErrorBoxText("Voir (ci-dessus)"), "Voir (ci-dessus)");
  EXPECT_EQ(ErrorBoxText("chemin :"), "chemin :.");
  EXPECT_EQ(ErrorBoxText("fin\n"), "fin\n");
  EXPECT_EQ(ErrorBoxText(""), "");
}

TEST(Guarded, ShowsAnEscapingErrorAndSwallowsIt) {
  ErrorBoxSpy spy;
  Guarded([] { throw EInOutError(5); });
  Guarded([] { throw std::runtime_error("boom"); });
  Guarded([] {});
  EXPECT_EQ(spy.shown, (std::vector<std::string>{"Accès au fichier refusé.", "boom."}));
}

using ConversionErrorBox = TempFolderTest;

TEST_F(ConversionErrorBox, NamesTheFileAndWhyUnderTheMessage) {
  // A disk without room for any new content.
  struct FullDisk : FileWriter {
    ssize_t Write(int, const void*, std::size_t) override {
      errno = ENOSPC;
      return -1;
    }
  } full;
  // Another program that saves the file while it is converted.
  struct Editor : FileWriter {
    std::string path;
    void Reached(WriteStep step) override {
      if (step != WriteStep::kOutputWritten) return;
      Fd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
      EXPECT_EQ(::write(fd.get(), "b\n", 2), 2);
    }
  } editor;
  editor.path = dir_ + "/edited/e.pl";
  WriteBytes(dir_ + "/full/f.pl", "a \r\n");
  WriteBytes(editor.path, "a \r\n");
  struct Case {
    const char* folder;
    FileWriter* writer;
    std::string shown;
  };
  for (const Case& c :
       {Case{"full", &full,
             "Erreur E/S 112.\n" + dir_ +
                 "/full/f.pl : plus de place sur le disque (ou quota atteint) : libérez de la "
                 "place, puis relancez."},
        Case{"edited", &editor,
             "Erreur E/S 32.\n" + editor.path +
                 " : un autre programme a modifié ou remplacé ce fichier pendant la "
                 "conversion : relancez quand il a fini."}}) {
    Conversion how;
    how.Kind = LineEnding::Unix;
    how.Options.Writer = c.writer;
    const std::vector<VisitResult> results = ConvertFolder(dir_ + "/" + c.folder, how);
    ASSERT_EQ(results.size(), 1u);
    ASSERT_TRUE(results[0].Failed);
    // As the window's run shows what failed.
    ErrorBoxSpy spy;
    Guarded([&] { std::rethrow_exception(results[0].Error); });
    EXPECT_EQ(spy.shown, std::vector<std::string>{c.shown});
  }
}

TEST(TCheckBox, ClickFiresOnEveryChangeAndNeverOnNone) {
  TForm form;
  TCheckBox box(&form, &form, "box_c");
  std::vector<bool> seen;
  box.OnClick = [&](TObject* sender) {
    EXPECT_EQ(sender, &box);
    seen.push_back(box.Checked());  // the handler sees the new state
  };
  box.SetChecked(true);
  box.SetChecked(true);
  box.SetChecked(false);
  box.click();  // as the user does
  EXPECT_EQ(seen, (std::vector<bool>{true, false, true}));
  box.OnClick = nullptr;  // an empty slot is skipped
  box.SetChecked(false);
  EXPECT_FALSE(box.Checked());
}

TEST(TCheckBox, HandlerErrorGoesBackToCodeButToTheErrorBoxForTheUser) {
  ErrorBoxSpy spy;
  TForm form;
  TCheckBox box(&form, &form, "box_c");
  box.OnClick = [](TObject*) { throw EInOutError(32); };
  EXPECT_THROW(box.SetChecked(true), EInOutError);
  EXPECT_TRUE(box.Checked());
  EXPECT_TRUE(spy.shown.empty());
  box.click();
  EXPECT_EQ(spy.shown, std::vector<std::string>{"Erreur E/S 32."});
}

TEST(TForm, ComponentsAreListedInBuildOrderAndLoadedInIt) {
  struct Probe : TComponent {
    Probe(TComponent* owner, std::vector<std::string>* log, const char* name)
        : TComponent(owner), log_(log) {
      Name = name;
    }
    void Loaded() override { log_->push_back(Name); }
    std::vector<std::string>* log_;
  };
  std::vector<std::string> log;
  TForm form;
  Probe first(&form, &log, "first");
  TEdit edit(&form, &form, "edit_e");
  Probe second(&form, &log, "second");
  ASSERT_EQ(form.Components().size(), 3u);
  EXPECT_EQ(form.Components()[1], &edit);
  EXPECT_EQ(edit.objectName(), "edit_e");
  form.NotifyLoaded();
  EXPECT_EQ(log, (std::vector<std::string>{"first", "second"}));
}

TEST(TForm, CloseEventMayRefuseTheCloseAndItsErrorsAreShown) {
  ErrorBoxSpy spy;
  TForm form;
  form.show();
  int calls = 0;
  form.OnClose = [&](TObject* sender, TCloseAction& action) {
    EXPECT_EQ(sender, &form);
    EXPECT_EQ(action, TCloseAction::caHide);
    ++calls;
    action = TCloseAction::caNone;
  };
  EXPECT_FALSE(form.close());
  EXPECT_TRUE(form.isVisible());
  form.OnClose = [&](TObject*, TCloseAction&) { throw EInOutError(5); };
  EXPECT_FALSE(form.close());
  EXPECT_EQ(spy.shown, std::vector<std::string>{"Accès au fichier refusé."});
  form.OnClose = nullptr;
  EXPECT_TRUE(form.close());
  EXPECT_EQ(calls, 1);
}

TEST(TApplication, ClosingTheMainWindowEndsTheEventLoop) {
  TForm form;
  TForm* previous = Application().MainForm;
  Application().MainForm = &form;
  form.show();
  QTimer::singleShot(0, &form, [&] { form.close(); });
  // exec() only returns because closing the main window asked the loop to end.
  EXPECT_EQ(QCoreApplication::exec(), 0);
  Application().MainForm = previous;
}

TEST(TButton, ClickRunsItsSlotUnderTheGuard) {
  ErrorBoxSpy spy;
  TForm form;
  TButton button(&form, &form, "Button1");
  int clicks = 0;
  button.OnClick = [&](TObject*) {
    ++clicks;
    throw EInOutError(2);
  };
  QTest::mouseClick(&button, Qt::LeftButton);
  EXPECT_EQ(clicks, 1);
  EXPECT_EQ(spy.shown, std::vector<std::string>{"Fichier introuvable."});
}

}  // namespace
