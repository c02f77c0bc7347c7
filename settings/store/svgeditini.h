#pragma once
// The form state store: a faceless component that restores the input fields
// of every window carrying one from the settings file while the window is
// built, and writes them back when the main window closes. Keys are the
// controls' names, sections the windows' names; only controls whose name
// holds "_" are saved.

#include <cstdint>
#include <memory>
#include <string>

#include "base/component.h"
#include "framework/forms.h"
#include "settings/file/inifile.h"
#include "settings/file/iniform1.h"

class TStringGrid;

// The special-folder number of the user's application data.
constexpr int CSIDL_APPDATA = 26;

// An ordered list of strings as the store moves it: bytes in the system code page.
class TStrings {
 public:
  virtual ~TStrings() = default;
  virtual int Count() const = 0;
  // The string at index, from 0.
  virtual std::string Get(int index) const = 0;
  virtual void Clear() = 0;
  virtual void Add(const std::string& s) = 0;
};

// Saves and restores the windows' fields; each kind of control has its flag
// here and its transfers in one place of the table in svgeditini.cpp.
class TSvgEditIni : public TComponent {
 public:
  // A store owned by owner; on the first window (no main window yet) it
  // chains the window's close event. A window that outlives its store calls
  // the previous handler directly.
  explicit TSvgEditIni(TComponent* owner);

  // Single-line edits.
  bool SauveEdit = true;
  // Date-time pickers.
  bool SauveDateTimePicker = true;
  // Check boxes.
  bool SauveCheckBox = true;
  // Radio buttons.
  bool SauveRadioButton = true;
  // Spin edits.
  bool SauveSpinEdit = true;
  // Memos, a section each.
  bool SauveMemo = false;
  // Rich edits, a section each.
  bool SauveRichEdit = false;
  // Combo boxes, a section each.
  bool SauveComboBox = false;
  // List boxes, a section each.
  bool SauveListBox = false;
  // String grids, a section each.
  bool SauveStringGrid = false;

  // The window's close handler from before the store chained it.
  TCloseEvent FOldOnClose;

  // Restores every window that carries a store.
  void Loaded() override;
  // Restores every window that carries a store from the settings file.
  void ChargeIni();
  // Saves every window that carries a store to the settings file.
  void SauveIni();
  // The chained close handler: the previous one, then SauveIni whatever it decided.
  void SvgFormClose(TObject* Sender, TCloseAction& Action);

  // The folder for a special-folder number: for CSIDL_APPDATA the user's
  // configuration folder ($XDG_CONFIG_HOME, else ~/.config); empty otherwise.
  static std::string DossierSpecial(int FolderId);
  // The settings file's path; its folder is created when missing.
  static std::string FichierSettings();
  // Whether window owns a store.
  static bool ContientSvg(const TComponent* Window);
  // The last store window owns, in component order, or null.
  static TSvgEditIni* DernierSvg(const TComponent* Window);

  // Writes Strings as keys "L0".."Ln" and Index as "ItemIndex" into a fresh Section.
  static void SauveStrings(TIniFile& Ini, const std::string& Section, const TStrings& Strings,
                           int32_t Index);
  // Refills Strings from "L0" up to the first missing key; gives "ItemIndex" (0 if none).
  static int32_t ChargeStrings(TIniFile& Ini, const std::string& Section, TStrings& Strings);
  // Writes the grid's size, current cell, Tag and non-blank cells into a fresh Section.
  static void SauveGrid(TIniFile& Ini, const std::string& Section, const TStringGrid& Grid);
  // Restores a grid saved by SauveGrid; without "COLCOUNT" the grid is left alone.
  static void ChargeGrid(TIniFile& Ini, const std::string& Section, TStringGrid& Grid);
  // Largest grid ChargeGrid builds, in cells; a larger stored size is refused.
  static constexpr long long MaxGridCells = 4'000'000;

 private:
  struct Chain;
  std::shared_ptr<Chain> chain_;
};
