#pragma once
// The program's one window: the folder, filter and format choice, the two
// replacement rows, and the run that converts every matching file.

#include <QWidget>

#include <chrono>
#include <memory>
#include <string>

#include "app/controls.h"
#include "convert/convert.h"
#include "framework/forms.h"
#include "scan/scrutedossier.h"
#include "settings/store/svgeditini.h"
#include "widgets/balloon_hint.h"
#include "widgets/gradient.h"

class QCloseEvent;
class QDragEnterEvent;
class QDragMoveEvent;
class QDropEvent;
class QEvent;
class QResizeEvent;
class WindowRun;

// The main window.
class TForm1 : public TForm {
 public:
  // Builds every component in order, restores the saved fields, then runs FormCreate.
  explicit TForm1(QWidget* parent = nullptr);
  // Its components, controls included, go with it, newest first.
  ~TForm1() override;

  // Shows the picture of the format chosen at start.
  void FormCreate(TObject* Sender);
  // Starts a run over the folder with the chosen format.
  void Button1Click(TObject* Sender);
  // Closes the window, which ends the program.
  void Button2Click(TObject* Sender);
  // Lets the user pick the folder to convert.
  void SpeedButton2Click(TObject* Sender);
  // Shows and converts one file the scanner reports.
  void ScruteDossier1Fichier(TObject* Sender, std::string Nom);
  // Tells the user the run is over, after the folders it could not read.
  void ScruteDossier1FinExecute(TObject* Sender);
  // Notes a folder the scanner could not go through; the start folder
  // itself ends the run with an error.
  void ScruteDossier1Echec(TObject* Sender, std::string Nom, std::string Message);
  // Chooses Windows line ends when its box becomes checked.
  void windows_cClick(TObject* Sender);
  // Chooses Unix line ends when its box becomes checked.
  void unix_cClick(TObject* Sender);
  // Chooses Mac line ends when its box becomes checked.
  void Mac_cClick(TObject* Sender);
  // Swaps the two texts of the first replacement row.
  void Button3Click(TObject* Sender);
  // Swaps the two texts of the second replacement row.
  void Button4Click(TObject* Sender);
  // Enables or disables the first replacement row after its box.
  void remplacer_1Click(TObject* Sender);
  // Enables or disables the second replacement row after its box.
  void remplacer_2Click(TObject* Sender);
  // Converts source into destination with kind and the window's two rules.
  void ConvertTextFile(const std::string& source, const std::string& destination, LineEnding kind);

  // What the runs write files through; the system's when null (tests hand
  // in their own, which fails or watches a step).
  FileWriter* Writer = nullptr;
  // How long a run goes without handling the window's events: a click or a
  // key waits at most this long. Tests that act between two given files set
  // it to zero, so that events are handled after every file.
  std::chrono::milliseconds PumpPeriod{10};

  // The ratio of the screen's resolution to the 96 dpi the window is designed at.
  double Scale() const { return scale_; }
  // Widens what the window's font makes too narrow, left edges kept: each
  // check box and push button to hold its caption, the window so that no
  // line of text runs past the edge of its box.
  void FitCaptions();

  // The window's components, in the order they are built.
  TStatusBar* StatusBar1;
  TPanel* Panel1;
  TGradient* Gradient1;
  TButton* Button1;
  TButton* Button2;
  TPanel* Panel2;
  TGradient* Gradient6;
  TLabel* Label4;
  TPanel* Panel3;
  TGradient* Gradient2;
  TGroupBox* GroupBox1;
  TLabel* Label1;
  TLabel* Label5;
  TEdit* remplacer_1e;
  TEdit* remplacer_1l;
  TCheckBox* remplacer_1;
  TButton* Button3;
  TGroupBox* GroupBox2;
  TLabel* Label2;
  TLabel* Label6;
  TLabel* Label7;
  TEdit* remplacer_2e;
  TEdit* remplacer_2l;
  TCheckBox* remplacer_2;
  TButton* Button4;
  TGroupBox* GroupBox3;
  TSpeedButton* SpeedButton2;
  TLabel* Label3;
  TLabel* Label8;
  TImage* Image3;
  TImage* Image1;
  TImage* Image2;
  TEdit* path_c;
  TCheckBox* inclure_rep;
  TEdit* filtre_c;
  TCheckBox* Mac_c;
  TCheckBox* unix_c;
  TCheckBox* windows_c;
  TScruteDossier* ScruteDossier1;
  TSvgEditIni* SvgEditIni1;
  TComponent* XPManifest1;
  TBalloonHint* BalloonHint1;

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  // A folder or file dragged from a file manager onto the window, edits
  // included, fills path_c with its folder, replacing what was there.
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  // Builds the components in the order of the list above.
  void Build();
  void BuildWindow();
  void BuildButtonBar();
  void BuildTitleBand();
  // The panel that holds the two rules and the folder box.
  void BuildMainPanel();
  void BuildRule1();
  void BuildRule2();
  // The folder box with its button, labels and the formats' pictures.
  void BuildFolderBox();
  void BuildFolderFields();
  void BuildFormatBoxes();
  // The scanner, the store, the manifest and the balloon hints.
  void BuildFaceless();
  // Enter and Tab.
  void SetKeys();
  void BindEvents();
  // Takes drags of local names on the window and on its edits.
  void AcceptFolderDrops();
  // Handles event when it is a drag or drop of a local name; false otherwise.
  bool TakeFolderDrop(QEvent* event);
  void Relayout();
  int S(int designPixels) const;

  // Closed during a run: the run stops, then the window closes.
  bool closing_ = false;
  double scale_ = 1.0;
  // The window's side of its runs. Last, so that it goes first: the
  // conversion threads report to it.
  std::unique_ptr<WindowRun> run_;
};
