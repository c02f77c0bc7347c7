#include "settings/store/svgeditini.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QSpinBox>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>

#include <algorithm>
#include <functional>
#include <type_traits>
#include <vector>

#include "framework/localtext.h"
#include "platform/folders.h"
#include "platform/paths.h"
#include "settings/store/stringgrid.h"

namespace {

std::string ToIni(const QString& text) {
  return ToLocalBytes(text);
}

QString FromIni(const std::string& bytes) {
  return FromLocalBytes(bytes);
}

// The locale's short date, with four-digit years so that a date reads back
// in the century it was written in.
QString DateFormat() {
  QString format = QLocale::system().dateFormat(QLocale::ShortFormat);
  if (!format.contains(QLatin1String("yyyy"))) format.replace(QLatin1String("yy"), "yyyy");
  return format;
}

// The locale's long time, without the time zone, which does not read back.
QString TimeFormat() {
  QString format = QLocale::system().timeFormat(QLocale::LongFormat);
  QString out;
  bool quoted = false;
  for (QChar c : format) {
    if (c == QLatin1Char('\'')) quoted = !quoted;
    if (!quoted && c == QLatin1Char('t')) continue;
    out += c;
  }
  return out.trimmed();
}

std::string DateTimeText(const QDateTime& value) {
  QLocale locale = QLocale::system();
  QString text = locale.toString(value.date(), DateFormat());
  QTime time = value.time();
  if (time.hour() != 0 || time.minute() != 0 || time.second() != 0) {
    text += QLatin1Char(' ') + locale.toString(time, TimeFormat());
  }
  return ToIni(text);
}

void SetDateTime(QDateTimeEdit& picker, const std::string& stored) {
  QLocale locale = QLocale::system();
  QString text = FromIni(stored);
  QDateTime value = locale.toDateTime(text, DateFormat() + QLatin1Char(' ') + TimeFormat());
  if (!value.isValid()) {
    QDate date = locale.toDate(text, DateFormat());
    if (date.isValid()) value = QDateTime(date, QTime(0, 0));
  }
  if (!value.isValid()) throw Exception("'" + stored + "' n'est pas une date et heure correcte");
  // Qt would quietly clamp a date outside the picker's range.
  if (value < picker.minimumDateTime() || value > picker.maximumDateTime()) {
    throw Exception("Echec lors du paramétrage de l'heure ou de la date du calendrier");
  }
  picker.setDateTime(value);
}

void SetRadio(QRadioButton& radio, bool checked) {
  // Qt keeps the checked button of an exclusive set checked; the saved state wins.
  if (!checked && radio.isChecked() && radio.autoExclusive()) {
    radio.setAutoExclusive(false);
    radio.setChecked(false);
    radio.setAutoExclusive(true);
    return;
  }
  radio.setChecked(checked);
}

// The lines of a memo or rich edit, as the text's paragraphs.
template <class Edit>
class TEditLines : public TStrings {
 public:
  explicit TEditLines(Edit& edit) : edit_(edit) {
    QString text = edit_.toPlainText();
    if (!text.isEmpty()) lines_ = text.split(QLatin1Char('\n'));
  }
  int Count() const override { return static_cast<int>(lines_.size()); }
  std::string Get(int index) const override { return ToIni(lines_.at(index)); }
  void Clear() override {
    edit_.clear();
    lines_.clear();
  }
  void Add(const std::string& s) override {
    QString line = FromIni(s);
    QTextCursor cursor(edit_.document());
    cursor.movePosition(QTextCursor::End);
    if (!lines_.isEmpty()) cursor.insertBlock();
    cursor.insertText(line);
    lines_.append(line);
  }

 private:
  Edit& edit_;
  QStringList lines_;
};

int SelectedIndex(const QComboBox& box) {
  return box.currentIndex();
}
int SelectedIndex(const QListWidget& box) {
  return box.currentRow();
}
void Select(QComboBox& box, int index) {
  box.setCurrentIndex(index);
}
void Select(QListWidget& box, int index) {
  box.setCurrentRow(index);
}

// The items of a combo box or list box.
template <class Box>
class TBoxItems : public TStrings {
 public:
  explicit TBoxItems(Box& box) : box_(box) {}
  int Count() const override { return box_.count(); }
  std::string Get(int index) const override {
    if constexpr (std::is_same_v<Box, QComboBox>) {
      return ToIni(box_.itemText(index));
    } else {
      return ToIni(box_.item(index)->text());
    }
  }
  void Clear() override { box_.clear(); }
  void Add(const std::string& s) override {
    const bool none = SelectedIndex(box_) < 0;
    box_.addItem(FromIni(s));
    // A combo box selects the first item it is given; a restored list has
    // no selection until its stored index is applied.
    if (none) Select(box_, -1);
  }

 private:
  Box& box_;
};

// Runs one transfer; whatever it raises is dropped and the pass goes on.
template <class F>
void Dropping(F&& transfer) {
  try {
    transfer();
  } catch (...) {
    // A control that cannot be transferred keeps its state or its old key.
  }
}

template <class Box>
void RestoreBox(TIniFile& ini, const std::string& section, Box& box) {
  TBoxItems<Box> items(box);
  int32_t index = TSvgEditIni::ChargeStrings(ini, section, items);
  if (index <= items.Count() - 1) Select(box, index);
}

// Where a control's state is kept: its key in its window's section, or, for
// the kinds that hold a list, a section of its own named section + key.
struct Place {
  const std::string& section;
  const std::string& key;
  std::string OwnSection() const { return section + key; }
};

// One kind of control the store keeps: the store's flag for it and how its
// state goes to the settings file and back. Each transfer answers false when
// the control is not of its kind.
struct ControlKind {
  bool TSvgEditIni::*kept;
  std::function<bool(TIniFile&, const Place&, TComponent*)> restore;
  std::function<bool(TIniFile&, const Place&, TComponent*)> save;
};

template <class W>
using Transfer = void (*)(TIniFile&, const Place&, W&);

template <class W>
ControlKind KindOf(bool TSvgEditIni::*kept, Transfer<W> restore, Transfer<W> save) {
  auto of = [](Transfer<W> transfer) {
    return [transfer](TIniFile& ini, const Place& at, TComponent* c) {
      auto* w = dynamic_cast<W*>(c);
      if (w == nullptr) return false;
      Dropping([&] { transfer(ini, at, *w); });
      return true;
    };
  };
  return ControlKind{kept, of(restore), of(save)};
}

// The kinds, each in one place. A control is of the first kind it belongs to
// whose flag is on.
const std::vector<ControlKind>& Kinds() {
  static const std::vector<ControlKind> kinds = {
      KindOf<QLineEdit>(
          &TSvgEditIni::SauveEdit,
          [](TIniFile& ini, const Place& at, QLineEdit& edit) {
            if (ini.ReadString(at.section, at.key, AbsentIni) != AbsentIni)
              edit.setText(FromIni(ini.ReadString(at.section, at.key, "")));
          },
          [](TIniFile& ini, const Place& at, QLineEdit& edit) {
            ini.WriteString(at.section, at.key, ToIni(edit.text()));
          }),
      KindOf<QDateTimeEdit>(
          &TSvgEditIni::SauveDateTimePicker,
          [](TIniFile& ini, const Place& at, QDateTimeEdit& picker) {
            if (ini.ReadString(at.section, at.key, AbsentIni) != AbsentIni)
              SetDateTime(picker, ini.ReadString(at.section, at.key, ""));
          },
          [](TIniFile& ini, const Place& at, QDateTimeEdit& picker) {
            ini.WriteString(at.section, at.key, DateTimeText(picker.dateTime()));
          }),
      KindOf<QCheckBox>(
          &TSvgEditIni::SauveCheckBox,
          [](TIniFile& ini, const Place& at, QCheckBox& box) {
            bool checked = ini.ReadBool(at.section, at.key, true);
            // Ours fires its click handler on a change and hands its error back here.
            if (auto* ours = dynamic_cast<TCheckBox*>(&box)) {
              ours->SetChecked(checked);
            } else {
              box.setChecked(checked);
            }
          },
          [](TIniFile& ini, const Place& at, QCheckBox& box) {
            ini.WriteBool(at.section, at.key, box.isChecked());
          }),
      KindOf<QRadioButton>(
          &TSvgEditIni::SauveRadioButton,
          [](TIniFile& ini, const Place& at, QRadioButton& radio) {
            SetRadio(radio, ini.ReadBool(at.section, at.key, true));
          },
          [](TIniFile& ini, const Place& at, QRadioButton& radio) {
            ini.WriteBool(at.section, at.key, radio.isChecked());
          }),
      KindOf<QSpinBox>(
          &TSvgEditIni::SauveSpinEdit,
          [](TIniFile& ini, const Place& at, QSpinBox& spin) {
            spin.setValue(ini.ReadInteger(at.section, at.key, 0));
          },
          [](TIniFile& ini, const Place& at, QSpinBox& spin) {
            ini.WriteInteger(at.section, at.key, spin.value());
          }),
      KindOf<QPlainTextEdit>(
          &TSvgEditIni::SauveMemo,
          [](TIniFile& ini, const Place& at, QPlainTextEdit& memo) {
            TEditLines<QPlainTextEdit> lines(memo);
            TSvgEditIni::ChargeStrings(ini, at.OwnSection(), lines);
          },
          [](TIniFile& ini, const Place& at, QPlainTextEdit& memo) {
            TSvgEditIni::SauveStrings(ini, at.OwnSection(), TEditLines<QPlainTextEdit>(memo), 0);
          }),
      KindOf<QTextEdit>(
          &TSvgEditIni::SauveRichEdit,
          [](TIniFile& ini, const Place& at, QTextEdit& rich) {
            TEditLines<QTextEdit> lines(rich);
            TSvgEditIni::ChargeStrings(ini, at.OwnSection(), lines);
          },
          [](TIniFile& ini, const Place& at, QTextEdit& rich) {
            TSvgEditIni::SauveStrings(ini, at.OwnSection(), TEditLines<QTextEdit>(rich), 0);
          }),
      KindOf<TStringGrid>(
          &TSvgEditIni::SauveStringGrid,
          [](TIniFile& ini, const Place& at, TStringGrid& grid) {
            TSvgEditIni::ChargeGrid(ini, at.OwnSection(), grid);
          },
          [](TIniFile& ini, const Place& at, TStringGrid& grid) {
            TSvgEditIni::SauveGrid(ini, at.OwnSection(), grid);
          }),
      KindOf<QComboBox>(
          &TSvgEditIni::SauveComboBox,
          [](TIniFile& ini, const Place& at, QComboBox& combo) {
            RestoreBox(ini, at.OwnSection(), combo);
          },
          [](TIniFile& ini, const Place& at, QComboBox& combo) {
            TSvgEditIni::SauveStrings(ini, at.OwnSection(), TBoxItems<QComboBox>(combo),
                                      SelectedIndex(combo));
          }),
      KindOf<QListWidget>(
          &TSvgEditIni::SauveListBox,
          [](TIniFile& ini, const Place& at, QListWidget& list) {
            RestoreBox(ini, at.OwnSection(), list);
          },
          [](TIniFile& ini, const Place& at, QListWidget& list) {
            TSvgEditIni::SauveStrings(ini, at.OwnSection(), TBoxItems<QListWidget>(list),
                                      SelectedIndex(list));
          }),
  };
  return kinds;
}

// Which kinds the store keeps, read once before the window's pass: the click
// handlers a restore runs may change the window, its store included.
std::vector<bool> KeptKinds(const TSvgEditIni& store) {
  std::vector<bool> kept;
  for (const ControlKind& kind : Kinds()) kept.push_back(store.*kind.kept);
  return kept;
}

using TransferOf = std::function<bool(TIniFile&, const Place&, TComponent*)> ControlKind::*;

// Runs the transfer of the first kind c belongs to whose flag is on.
void TransferControl(TransferOf transfer, TIniFile& ini, const std::vector<bool>& kept,
                     const Place& at, TComponent* c) {
  const std::vector<ControlKind>& kinds = Kinds();
  for (std::size_t k = 0; k < kinds.size(); ++k) {
    if (kept[k] && (kinds[k].*transfer)(ini, at, c)) return;
  }
}

// Runs visit on each window that carries a store, with the kinds its last
// store keeps. Components are taken by index, as a click handler may change
// the list.
template <class Visit>
void ForEachControl(Visit&& visit) {
  for (TForm* form : Application().Forms()) {
    TSvgEditIni* store = TSvgEditIni::DernierSvg(form);
    if (store == nullptr) continue;
    const std::vector<bool> kept = KeptKinds(*store);
    const std::string section = form->Name;
    for (std::size_t i = 0; i < form->Components().size(); ++i) {
      visit(kept, section, form->Components()[i]);
    }
  }
}

}  // namespace

struct TSvgEditIni::Chain {
  TSvgEditIni* store;
};

TSvgEditIni::TSvgEditIni(TComponent* owner) : TComponent(owner) {
  auto* form = dynamic_cast<TForm*>(owner);
  if (form == nullptr || Application().MainForm != nullptr) return;
  FOldOnClose = form->OnClose;
  chain_ = std::make_shared<Chain>(Chain{this});
  form->OnClose = [link = std::weak_ptr<Chain>(chain_), previous = FOldOnClose](
                      TObject* Sender, TCloseAction& Action) {
    if (auto chain = link.lock()) {
      chain->store->SvgFormClose(Sender, Action);
    } else if (previous) {
      previous(Sender, Action);
    }
  };
}

void TSvgEditIni::Loaded() {
  ChargeIni();
  TComponent::Loaded();
}

void TSvgEditIni::SvgFormClose(TObject* Sender, TCloseAction& Action) {
  // The fields are saved even when the previous handler fails; its error
  // still goes on to the caller afterwards.
  std::exception_ptr error;
  if (FOldOnClose) {
    try {
      FOldOnClose(Sender, Action);
    } catch (...) {
      error = std::current_exception();
    }
  }
  SauveIni();
  if (error) std::rethrow_exception(error);
}

void TSvgEditIni::ChargeIni() {
  TIniFile ini(FichierSettings(), SystemFileWriter(), IniTrust::kOwnOnly);
  ForEachControl([&](const std::vector<bool>& kept, const std::string& section, TComponent* c) {
    // Its click handler may change the window, c included.
    const std::string key = c->Name;
    TransferControl(&ControlKind::restore, ini, kept, Place{section, key}, c);
  });
}

void TSvgEditIni::SauveIni() {
  TIniFile ini(FichierSettings(), SystemFileWriter(), IniTrust::kOwnOnly);
  ForEachControl([&](const std::vector<bool>& kept, const std::string& section, TComponent* c) {
    if (c->Name.find('_') == std::string::npos) return;
    TransferControl(&ControlKind::save, ini, kept, Place{section, c->Name}, c);
  });
  Dropping([&] { ini.UpdateFile(); });
}

std::string TSvgEditIni::DossierSpecial(int FolderId) {
  return FolderId == CSIDL_APPDATA ? UserConfigFolder() : "";
}

std::string TSvgEditIni::FichierSettings() {
  std::string file = SettingsFilePath();
  if (file.empty()) return "";
  // A failure shows later as a write that fails.
  MakeFolders(FolderOf(file));
  return file;
}

bool TSvgEditIni::ContientSvg(const TComponent* Window) {
  return DernierSvg(Window) != nullptr;
}

TSvgEditIni* TSvgEditIni::DernierSvg(const TComponent* Window) {
  if (Window == nullptr) return nullptr;
  const auto& components = Window->Components();
  for (auto it = components.rbegin(); it != components.rend(); ++it) {
    if (auto* store = dynamic_cast<TSvgEditIni*>(*it)) return store;
  }
  return nullptr;
}

void TSvgEditIni::SauveStrings(TIniFile& Ini, const std::string& Section, const TStrings& Strings,
                               int32_t Index) {
  Ini.EraseSection(Section);
  for (int i = 0; i < Strings.Count(); ++i) {
    Ini.WriteString(Section, "L" + std::to_string(i), Strings.Get(i));
  }
  Ini.WriteInteger(Section, "ItemIndex", Index);
}

int32_t TSvgEditIni::ChargeStrings(TIniFile& Ini, const std::string& Section, TStrings& Strings) {
  Strings.Clear();
  for (int i = 0;; ++i) {
    std::string key = "L" + std::to_string(i);
    if (!Ini.ValueExists(Section, key)) break;
    Strings.Add(Ini.ReadString(Section, key, ""));
  }
  return Ini.ReadInteger(Section, "ItemIndex", 0);
}

namespace {

std::string CellKey(int col, int row) {
  return "C" + std::to_string(col) + "L" + std::to_string(row);
}

bool Blank(const std::string& text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) > 32) return false;
  }
  return true;
}

}  // namespace

void TSvgEditIni::SauveGrid(TIniFile& Ini, const std::string& Section, const TStringGrid& Grid) {
  Ini.EraseSection(Section);
  Ini.WriteInteger(Section, "COLCOUNT", Grid.ColCount());
  Ini.WriteInteger(Section, "ROWCOUNT", Grid.RowCount());
  Ini.WriteInteger(Section, "COL", Grid.Col());
  Ini.WriteInteger(Section, "ROW", Grid.Row());
  Ini.WriteInteger(Section, "TAG", Grid.Tag);
  for (int r = 0; r < Grid.RowCount(); ++r) {
    for (int c = 0; c < Grid.ColCount(); ++c) {
      std::string text = ToIni(Grid.Cells(c, r));
      if (!Blank(text)) Ini.WriteString(Section, CellKey(c, r), text);
    }
  }
}

void TSvgEditIni::ChargeGrid(TIniFile& Ini, const std::string& Section, TStringGrid& Grid) {
  if (!Ini.ValueExists(Section, "COLCOUNT")) return;
  int32_t cols = Ini.ReadInteger(Section, "COLCOUNT", Grid.ColCount());
  int32_t rows = Ini.ReadInteger(Section, "ROWCOUNT", Grid.RowCount());
  // A damaged size must not make the window build a grid it cannot hold.
  if (static_cast<long long>(std::max(cols, 1)) * std::max(rows, 1) > MaxGridCells) {
    throw EInvalidGridOperation();
  }
  Grid.SetColCount(cols);
  Grid.SetRowCount(rows);
  Grid.SetCol(Ini.ReadInteger(Section, "COL", Grid.Col()));
  Grid.SetRow(Ini.ReadInteger(Section, "ROW", Grid.Row()));
  Grid.Tag = Ini.ReadInteger(Section, "TAG", Grid.Tag);
  for (int r = 0; r < Grid.RowCount(); ++r) {
    for (int c = 0; c < Grid.ColCount(); ++c) {
      std::string text = Ini.ReadString(Section, CellKey(c, r), "");
      // An empty cell that was never set stays without an item.
      if (!text.empty() || !Grid.Cells(c, r).isEmpty()) Grid.SetCells(c, r, FromIni(text));
    }
  }
}
