#include "settings/store/svgeditini.h"

#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QSpinBox>
#include <QTextEdit>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "../support/allocations.h"
#include "../support/temp_folder.h"
#include "settings/store/stringgrid.h"

namespace fs = std::filesystem;

namespace {

// A window with the main window's twelve saved controls, in its order.
class MainLike : public TForm {
 public:
  MainLike() {
    Name = "Form1";
    SvgEditIni1.Name = "SvgEditIni1";
    remplacer_1e.setText("#!/perl/bin/perl");
    remplacer_1l.setText("#!/usr/bin/perl");
    remplacer_2e.setText("use lib 'c:/perl/lib/' ;");
    remplacer_2l.setText("use lib '/home/e-smith/files/ibays/Primary/cgi-bin/solvane/' ;");
    path_c.setText(
        "C:\\Program Files\\Apache Group\\Apache2\\htdocs\\cgi-bin\\Solvane\\ZAPHORELLIN\\mise-a-"
        "jour\\Program Files\\Apache Group\\Apache2\\htdocs\\cgi-bin");
    filtre_c.setText("*.pl");
    inclure_rep.setChecked(true);
    unix_c.setChecked(true);
    for (TCheckBox* box : {&remplacer_1, &remplacer_2, &inclure_rep, &Mac_c, &unix_c, &windows_c}) {
      box->OnClick = [this, box](TObject*) { ++clicks[box->Name]; };
    }
  }
  TEdit remplacer_1e{this, this, "remplacer_1e"}, remplacer_1l{this, this, "remplacer_1l"};
  TCheckBox remplacer_1{this, this, "remplacer_1"};
  TEdit remplacer_2e{this, this, "remplacer_2e"}, remplacer_2l{this, this, "remplacer_2l"};
  TCheckBox remplacer_2{this, this, "remplacer_2"};
  TEdit path_c{this, this, "path_c"};
  TCheckBox inclure_rep{this, this, "inclure_rep"};
  TEdit filtre_c{this, this, "filtre_c"};
  TCheckBox Mac_c{this, this, "Mac_c"}, unix_c{this, this, "unix_c"},
      windows_c{this, this, "windows_c"};
  TSvgEditIni SvgEditIni1{this};
  std::map<std::string, int> clicks;
};

// A window carrying one control of every kind, all flags on.
class AllKinds : public TForm {
 public:
  AllKinds() {
    Name = "Kinds";
    spin_s.setRange(5, 10);
    store.SauveMemo = store.SauveRichEdit = store.SauveComboBox = store.SauveListBox =
        store.SauveStringGrid = true;
  }
  TControl<QLineEdit> edit_e{this, this, "edit_e"};
  TControl<QDateTimeEdit> date_d{this, this, "date_d"};
  TControl<QCheckBox> check_c{this, this, "check_c"};
  TControl<QRadioButton> radio_a{this, this, "radio_a"}, radio_b{this, this, "radio_b"};
  TControl<QSpinBox> spin_s{this, this, "spin_s"};
  TControl<QPlainTextEdit> memo_m{this, this, "memo_m"};
  TControl<QTextEdit> rich_r{this, this, "rich_r"};
  TStringGrid grid_g{this, this, "grid_g"};
  TControl<QComboBox> combo_c{this, this, "combo_c"};
  TControl<QListWidget> list_l{this, this, "list_l"};
  TControl<QPlainTextEdit> nomemo{this, this, "nomemo"};
  TSvgEditIni store{this};
};

class SvgEditIniTest : public TempFolderTest {
 protected:
  void SetUp() override {
    TempFolderTest::SetUp();
    ASSERT_FALSE(HasFatalFailure());
    setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
    ini_ = dir_ + "/Terminelle/serie.ini";
    Application().MainForm = nullptr;
    Application().SetErrorBox([this](const std::string& text) { errors_.push_back(text); });
  }
  void TearDown() override {
    Application().MainForm = nullptr;
    Application().SetErrorBox(nullptr);
    unsetenv("XDG_CONFIG_HOME");
    TempFolderTest::TearDown();
  }
  void Put(const std::string& bytes) { WriteBytes(ini_, bytes); }
  std::string Get() { return ReadBytes(ini_); }

  std::string ini_;
  std::vector<std::string> errors_;
};

const char* const kSample =
    "[Form1]\nremplacer_1e=#!/perl/bin/perl\nremplacer_1l=#!/usr/bin/perl\nremplacer_1=0\n"
    "remplacer_2e=use lib 'c:/perl/lib/' ;\n"
    "remplacer_2l=use lib '/home/e-smith/files/ibays/Primary/cgi-bin/solvane/' ;\nremplacer_2=0\n"
    "path_c=C:\\Program Files\\Apache Group\\Apache2\\htdocs\\cgi-bin\\Solvane\\ZAPHORELLIN\\mise-"
    "a-jour\\Program Files\\Apache Group\\Apache2\\htdocs\\cgi-bin\n"
    "inclure_rep=1\nfiltre_c=*.pl\nMac_c=0\nunix_c=1\nwindows_c=0\n";

}  // namespace

TEST_F(SvgEditIniTest, ClosingTheDesignedWindowWritesTheSampleFile) {
  MainLike form;
  ASSERT_TRUE(form.close());
  EXPECT_EQ(Get(), kSample);
  // A later save changes the value where it stands.
  form.filtre_c.setText("*.cgi");
  form.SvgEditIni1.SauveIni();
  std::string changed = kSample;
  changed.replace(changed.find("*.pl"), 4, "*.cgi");
  EXPECT_EQ(Get(), changed);
}

TEST_F(SvgEditIniTest, FirstRunKeepsTextsAndChecksEveryBoxThroughItsHandler) {
  MainLike form;
  form.NotifyLoaded();
  EXPECT_EQ(form.remplacer_1e.text(), "#!/perl/bin/perl");
  for (TCheckBox* box : {&form.remplacer_1, &form.remplacer_2, &form.inclure_rep, &form.Mac_c,
                         &form.unix_c, &form.windows_c}) {
    EXPECT_TRUE(box->Checked()) << box->Name;
  }
  EXPECT_EQ(form.clicks,
            (std::map<std::string, int>{
                {"remplacer_1", 1}, {"remplacer_2", 1}, {"Mac_c", 1}, {"windows_c", 1}}));
  EXPECT_TRUE(fs::is_directory(dir_ + "/Terminelle"));
  EXPECT_FALSE(fs::exists(ini_));
}

TEST_F(SvgEditIniTest, RestoresEditAndCheckBoxValuesByTheirRules) {
  Put("[form1]\nremplacer_1e=\npath_c=\x25\xF9\x40\xE0\x2A\xA3\nfiltre_c=" +
      std::string(3000, 'f') + "\nremplacer_2e=" + std::string(2046, 'a') +
      "é\nremplacer_1=true\nremplacer_2=0x0\nMac_c=2\nunix_c=-1\nwindows_c=0\ninclure_rep=0\n");
  MainLike form;
  form.NotifyLoaded();
  EXPECT_EQ(form.remplacer_1e.text(), "");
  EXPECT_EQ(form.remplacer_1l.text(), "#!/usr/bin/perl");
  EXPECT_TRUE(form.path_c.text().startsWith("C:\\Program Files"));
  EXPECT_EQ(form.filtre_c.text(), QString(3000, 'f'));  // whole, however long
  EXPECT_EQ(form.remplacer_2e.text(), QString(2046, 'a') + QString::fromUtf8("é"));
  EXPECT_TRUE(form.remplacer_1.Checked());
  EXPECT_FALSE(form.remplacer_2.Checked());
  EXPECT_TRUE(form.Mac_c.Checked());
  EXPECT_TRUE(form.unix_c.Checked());
  EXPECT_FALSE(form.windows_c.Checked());
  EXPECT_FALSE(form.inclure_rep.Checked());
}

TEST_F(SvgEditIniTest, HandlerErrorsAndUnsavableControlsAreDroppedOneByOne) {
  MainLike form;
  form.remplacer_1.OnClick = [](TObject*) { throw Exception("refus"); };
  form.Mac_c.Name = "Mac=_c";  // cannot be a key
  form.NotifyLoaded();
  EXPECT_TRUE(form.remplacer_1.Checked());
  EXPECT_TRUE(form.windows_c.Checked());
  form.SvgEditIni1.SauveIni();
  EXPECT_EQ(Get().find("Mac"), std::string::npos);
  EXPECT_NE(Get().find("windows_c=1\n"), std::string::npos);
  EXPECT_TRUE(errors_.empty());
}

TEST_F(SvgEditIniTest, CancelledOrFailingPreviousCloseHandlerStillSaves) {
  int calls = 0;
  MainLike form;
  form.SvgEditIni1.FOldOnClose = [&](TObject* sender, TCloseAction& action) {
    EXPECT_EQ(sender, &form);
    ++calls;
    action = TCloseAction::caNone;
  };
  EXPECT_FALSE(form.close());
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(Get(), kSample);
  fs::remove(ini_);
  form.SvgEditIni1.FOldOnClose = [](TObject*, TCloseAction&) { throw Exception("panne"); };
  form.close();
  EXPECT_EQ(Get(), kSample);
  EXPECT_EQ(errors_, std::vector<std::string>{"panne."});
}

TEST_F(SvgEditIniTest, LastStoreGovernsAndBothChainTheClose) {
  int closes = 0;
  MainLike form;
  form.SvgEditIni1.FOldOnClose = [&](TObject*, TCloseAction&) { ++closes; };
  TSvgEditIni second(&form);
  second.SauveEdit = false;
  EXPECT_EQ(TSvgEditIni::DernierSvg(&form), &second);
  EXPECT_TRUE(second.FOldOnClose);
  form.close();
  EXPECT_EQ(closes, 1);
  EXPECT_EQ(Get(),
            "[Form1]\nremplacer_1=0\nremplacer_2=0\ninclure_rep=1\nMac_c=0\nunix_c=1\n"
            "windows_c=0\n");
}

TEST_F(SvgEditIniTest, WindowOutlivingItsStoreCallsThePreviousHandler) {
  TForm form;
  int closes = 0;
  form.OnClose = [&](TObject*, TCloseAction&) { ++closes; };
  { TSvgEditIni store(&form); }
  form.close();
  EXPECT_EQ(closes, 1);
  EXPECT_FALSE(fs::exists(ini_));
}

TEST_F(SvgEditIniTest, LaterWindowRestoresEveryWindowAndIsSavedByTheMainOne) {
  Put(kSample);
  MainLike main;
  Application().MainForm = &main;
  main.filtre_c.setText("changed");
  AllKinds later;
  EXPECT_FALSE(later.store.FOldOnClose);
  EXPECT_FALSE(later.OnClose);
  later.NotifyLoaded();
  EXPECT_EQ(main.filtre_c.text(), "*.pl");
  later.edit_e.setText("x");
  TCloseAction action = TCloseAction::caHide;
  main.OnClose(&main, action);
  EXPECT_NE(Get().find("[Kinds]\nedit_e=x\n"), std::string::npos);
  EXPECT_TRUE(TSvgEditIni::ContientSvg(&later));
  EXPECT_FALSE(TSvgEditIni::ContientSvg(&later.grid_g));
}

TEST_F(SvgEditIniTest, EveryKindIsSavedAndRestored) {
  {
    AllKinds form;
    form.edit_e.setText("é texte");
    form.date_d.setDateTime(QDateTime(QDate(2031, 12, 24), QTime(18, 5, 9)));
    form.check_c.setChecked(false);
    form.radio_b.setChecked(true);
    form.spin_s.setValue(7);
    form.memo_m.setPlainText("un\n\ntrois");
    form.rich_r.setPlainText("riche");
    form.grid_g.SetColCount(3);
    form.grid_g.SetCells(2, 4, "  c  ");
    form.grid_g.SetCells(0, 0, " \t");
    form.grid_g.SetRow(3);
    form.grid_g.Tag = -9;
    form.combo_c.addItems({"a", "b"});
    form.combo_c.setCurrentIndex(1);
    form.list_l.addItems({"x", "y"});
    form.nomemo.setPlainText("never saved");
    form.store.SauveIni();
  }
  std::string file = Get();
  EXPECT_NE(file.find("[Kindsmemo_m]\nL0=un\nL1=\nL2=trois\nItemIndex=0\n"), std::string::npos);
  EXPECT_NE(file.find("[Kindsgrid_g]\nCOLCOUNT=3\nROWCOUNT=5\nCOL=1\nROW=3\nTAG=-9\nC2L4=  c  \n"),
            std::string::npos);
  EXPECT_NE(file.find("[Kindslist_l]\nL0=x\nL1=y\nItemIndex=-1\n"), std::string::npos);
  EXPECT_EQ(file.find("nomemo"), std::string::npos);

  AllKinds form;
  form.nomemo.setPlainText("emptied");
  form.list_l.addItem("stale");
  form.list_l.setCurrentRow(0);
  form.NotifyLoaded();
  EXPECT_EQ(form.edit_e.text(), "é texte");
  EXPECT_EQ(form.date_d.dateTime(), QDateTime(QDate(2031, 12, 24), QTime(18, 5, 9)));
  EXPECT_FALSE(form.check_c.isChecked());
  EXPECT_FALSE(form.radio_a.isChecked());
  EXPECT_TRUE(form.radio_b.isChecked());
  EXPECT_EQ(form.spin_s.value(), 7);
  EXPECT_EQ(form.memo_m.toPlainText(), "un\n\ntrois");
  EXPECT_EQ(form.rich_r.toPlainText(), "riche");
  EXPECT_EQ(form.grid_g.ColCount(), 3);
  EXPECT_EQ(form.grid_g.Row(), 3);
  EXPECT_EQ(form.grid_g.Tag, -9);
  EXPECT_EQ(form.grid_g.Cells(2, 4), "  c  ");
  EXPECT_EQ(form.combo_c.count(), 2);
  EXPECT_EQ(form.combo_c.currentIndex(), 1);
  EXPECT_EQ(form.list_l.count(), 2);
  EXPECT_EQ(form.list_l.currentRow(), -1);
  EXPECT_EQ(form.nomemo.toPlainText(), "");
}

TEST_F(SvgEditIniTest, NothingSavedRestoresTheMissingValueDefaults) {
  AllKinds form;
  form.spin_s.setValue(9);
  form.memo_m.setPlainText("gone");
  form.combo_c.addItems({"a", "b"});
  form.combo_c.setCurrentIndex(1);
  form.grid_g.SetCells(1, 1, "kept");
  form.date_d.setDateTime(QDateTime(QDate(2001, 2, 3), QTime(4, 5, 6)));
  form.NotifyLoaded();
  EXPECT_EQ(form.spin_s.value(), 5);  // 0, clamped to the range
  EXPECT_EQ(form.memo_m.toPlainText(), "");
  EXPECT_EQ(form.combo_c.count(), 0);
  EXPECT_EQ(form.grid_g.Cells(1, 1), "kept");
  EXPECT_TRUE(form.check_c.isChecked());
  EXPECT_EQ(form.date_d.dateTime(), QDateTime(QDate(2001, 2, 3), QTime(4, 5, 6)));
}

TEST_F(SvgEditIniTest, ListSectionsStopAtTheFirstGap) {
  Put("[Kindscombo_c]\nL0=a\nL1=\nL3=d\nItemIndex=5\n[Kindslist_l]\nL0=x\nItemIndex=-1\n"
      "[Kinds]\ndate_d=pas une date\nspin_s=0x8\n");
  AllKinds form;
  form.list_l.addItems({"p", "q"});
  form.list_l.setCurrentRow(1);
  QDateTime designed = form.date_d.dateTime();
  form.NotifyLoaded();
  ASSERT_EQ(form.combo_c.count(), 2);
  EXPECT_EQ(form.combo_c.itemText(1), "");
  EXPECT_EQ(form.combo_c.currentIndex(), -1);  // index 5 ignored
  EXPECT_EQ(form.list_l.count(), 1);
  EXPECT_EQ(form.list_l.currentRow(), -1);
  EXPECT_EQ(form.date_d.dateTime(), designed);
  EXPECT_EQ(form.spin_s.value(), 8);
  // Saving a shorter list leaves no stale keys.
  form.combo_c.removeItem(1);
  form.store.SauveIni();
  EXPECT_NE(Get().find("[Kindscombo_c]\nL0=a\nItemIndex=-1\n"), std::string::npos);
}

TEST_F(SvgEditIniTest, GridSectionsFollowTheGridRules) {
  TIniFile ini(dir_ + "/grid.ini");
  AllKinds form;
  TStringGrid& grid = form.grid_g;
  grid.SetCells(4, 4, "far");
  grid.Tag = 3;
  TSvgEditIni::SauveGrid(ini, "g", grid);
  grid.SetColCount(2);
  grid.SetCells(1, 1, "near");
  TSvgEditIni::SauveGrid(ini, "g", grid);
  EXPECT_FALSE(ini.ValueExists("g", "C4L4"));
  EXPECT_EQ(ini.ReadString("g", "C1L1", ""), "near");

  // "COL" beyond the restored size: counts set, the rest stays.
  ini.WriteInteger("g", "COLCOUNT", 0);
  ini.WriteInteger("g", "COL", 1);
  grid.Tag = 4;
  EXPECT_THROW(TSvgEditIni::ChargeGrid(ini, "g", grid), EInvalidGridOperation);
  EXPECT_EQ(grid.ColCount(), 1);
  EXPECT_EQ(grid.Tag, 4);

  ini.EraseSection("g");
  ini.WriteString("g", "COLCOUNT", "not a number");
  grid.SetColCount(3);
  grid.SetCells(2, 2, "x");
  TSvgEditIni::ChargeGrid(ini, "g", grid);
  EXPECT_EQ(grid.ColCount(), 3);
  EXPECT_EQ(grid.Cells(2, 2), "");

  ini.WriteString("g", "COLCOUNT", "100000");
  ini.WriteString("g", "ROWCOUNT", "100000");
  EXPECT_THROW(TSvgEditIni::ChargeGrid(ini, "g", grid), EInvalidGridOperation);
  EXPECT_EQ(grid.RowCount(), 5);
}

TEST(StringGrid, SizeAndCurrentCellRules) {
  TStringGrid grid(nullptr, nullptr, "grid");
  EXPECT_EQ(grid.Col(), 1);
  grid.SetFixedCols(3);
  grid.SetColCount(-4);
  EXPECT_EQ(grid.ColCount(), 1);
  EXPECT_EQ(grid.FixedCols(), 0);
  EXPECT_EQ(grid.Col(), 0);
  try {
    grid.SetRow(5);
    FAIL() << "no error";
  } catch (const EInvalidGridOperation& e) {
    EXPECT_EQ(e.Message(), "Indice de grille hors limites");
  }
  EXPECT_THROW(grid.SetCells(1, 0, "x"), EInvalidGridOperation);
  EXPECT_EQ(grid.Cells(7, 7), "");
  grid.OnSelectCell = [](TObject*, int, int row, bool& can) { can = row != 2; };
  grid.SetRow(2);
  EXPECT_EQ(grid.Row(), 1);
  grid.SetRow(3);
  EXPECT_EQ(grid.Row(), 3);
  EXPECT_EQ(grid.currentRow(), 3);
}

TEST_F(SvgEditIniTest, UnwritableOrDamagedSettingsNeverStopTheWindow) {
  {
    // The settings folder's place is taken by a file: nothing saved, nothing told.
    std::ofstream(dir_ + "/Terminelle") << "precious";
    MainLike form;
    form.NotifyLoaded();
    EXPECT_TRUE(form.close());
    EXPECT_TRUE(errors_.empty());
    std::ifstream in(dir_ + "/Terminelle");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "precious");
    fs::remove(dir_ + "/Terminelle");
  }
  // A header without "]", 10 MB of zero bytes, binary bytes, a line without "=".
  const std::string zeros(10 << 20, '\0');
  Put("[Form1\nfiltre_c=*.txt\n" + zeros + "\n\xff\xfe[=\x01\nno equals\nMac_c=0\n[Other]\nk=v\n");
  const AllocationCount start = Allocations();
  MainLike form;
  form.NotifyLoaded();
  EXPECT_EQ(form.filtre_c.text(), "*.txt");
  EXPECT_FALSE(form.Mac_c.Checked());
  form.SvgEditIni1.SauveIni();
  // One reading and one writing of the file for the whole window, not one per control.
  const AllocationCount used = AllocatedSince(start);
  EXPECT_LT(used.calls, 10000u);
  EXPECT_LT(used.bytes, 10 * zeros.size());
  std::string saved = Get();
  EXPECT_NE(saved.find("filtre_c=*.txt\n" + zeros + "\n\xff\xfe[=\x01\nno equals\nMac_c=0\n"),
            std::string::npos);
  EXPECT_NE(saved.find("windows_c=1\n[Other]\nk=v\n"), std::string::npos);
}

TEST_F(SvgEditIniTest, ReadOnlySettingsFileIsNotSaved) {
  Put(kSample);
  ASSERT_EQ(chmod(ini_.c_str(), 0444), 0);
  MainLike form;
  form.NotifyLoaded();
  form.Mac_c.SetChecked(true);
  EXPECT_TRUE(form.close());
  EXPECT_TRUE(errors_.empty());
  EXPECT_EQ(Get(), kSample);
}

TEST_F(SvgEditIniTest, EachSaveCreatesOneFile) {
  const std::string folder = fs::path(TSvgEditIni::FichierSettings()).parent_path().string();
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, folder.c_str(), IN_CREATE), 0);
  MainLike form;
  form.SvgEditIni1.SauveIni();
  form.Mac_c.SetChecked(true);
  form.SvgEditIni1.SauveIni();
  int created = 0;
  alignas(inotify_event) char events[4096];
  for (ssize_t n; (n = read(watch, events, sizeof events)) > 0;) {
    for (char* p = events; p < events + n;) {
      ++created;
      p += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(p)->len;
    }
  }
  close(watch);
  EXPECT_EQ(created, 2);
  EXPECT_NE(Get().find("Mac_c=1\n"), std::string::npos);
}

TEST_F(SvgEditIniTest, SettingsFolderComesFromTheEnvironment) {
  EXPECT_EQ(TSvgEditIni::FichierSettings(), ini_);
  setenv("XDG_CONFIG_HOME", (dir_ + "/a/b/").c_str(), 1);
  EXPECT_EQ(TSvgEditIni::FichierSettings(), dir_ + "/a/b/Terminelle/serie.ini");
  EXPECT_TRUE(fs::is_directory(dir_ + "/a/b/Terminelle"));
  setenv("XDG_CONFIG_HOME", "relative", 1);
  std::string home = getenv("HOME") ? getenv("HOME") : "";
  setenv("HOME", dir_.c_str(), 1);
  EXPECT_EQ(TSvgEditIni::DossierSpecial(CSIDL_APPDATA), dir_ + "/.config");
  EXPECT_EQ(TSvgEditIni::DossierSpecial(5), "");
  setenv("HOME", home.c_str(), 1);
}
