#pragma once
// The main window's simple controls that the framework does not provide:
// panels with a caption, labels, group boxes, pictures, the folder button and
// a status bar with a single panel.

#include <QElapsedTimer>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QPixmap>
#include <QStatusBar>
#include <QTimer>
#include <QToolButton>
#include <QWidget>

#include <string>

#include "framework/forms.h"

// A flat panel filled with its background colour, its caption drawn centred.
class TPanel : public TControl<QWidget> {
 public:
  // A panel named name with an empty caption.
  TPanel(TComponent* owner, QWidget* parent, const char* name);
  // The caption painted in the middle of the panel.
  QString Caption;

 protected:
  void paintEvent(QPaintEvent* event) override;
};

// A label drawn over its parent's background.
class TLabel : public TControl<QLabel> {
 public:
  TLabel(TComponent* owner, QWidget* parent, const char* name, const QString& text);
};

// A group box with its caption.
class TGroupBox : public TControl<QGroupBox> {
 public:
  TGroupBox(TComponent* owner, QWidget* parent, const char* name, const QString& caption);
};

// A picture at natural size in its top-left corner, the rest see-through.
class TImage : public TControl<QWidget> {
 public:
  TImage(TComponent* owner, QWidget* parent, const char* name);
  const QPixmap& Picture() const { return picture_; }
  void SetPicture(const QPixmap& picture);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QPixmap picture_;
};

// A raised tool button with a picture that never takes the focus.
class TSpeedButton : public TControl<QToolButton> {
 public:
  TSpeedButton(TComponent* owner, QWidget* parent, const char* name);
  TNotifyEvent OnClick;
};

// path as it fits in width pixels of metrics' font: whole when it fits, else
// cut in the middle at whole characters so that its last name stays whole;
// a last name too long for the width keeps its end.
QString ElidePath(const QString& path, const QFontMetrics& metrics, int width);

// The status bar's one panel. Its text changes at once; the screen follows at
// most once per frame, so a run that reports thousands of files a second
// spends its time converting rather than repainting. A path too long for the
// panel is shown cut in the middle, its file name whole.
class TStatusPanel : public QWidget {
 public:
  explicit TStatusPanel(QWidget* parent);
  const std::string& Text() const { return text_; }
  // Sets the panel's text (bytes in the system's character set).
  void SetText(const std::string& text);
  // The text as last painted, whole.
  const QString& Painted() const { return painted_; }
  // What the panel draws of it at its present width.
  QString Shown() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void Repaint();
  QRect TextArea() const;

  std::string text_;
  QString painted_;
  QElapsedTimer since_repaint_;
  QTimer pending_;
};

// A status bar with one panel spanning it and a size grip at its right end.
class TStatusBar : public TControl<QStatusBar> {
 public:
  // A status bar named name with its single, empty panel.
  TStatusBar(TComponent* owner, QWidget* parent, const char* name);
  TStatusPanel* Panel() const { return panel_; }

 private:
  TStatusPanel* panel_;
};

// A picture loaded from the program's resources; with see_through, pixels of
// its bottom-left pixel's colour become transparent.
QPixmap LoadPicture(const QString& resource, bool see_through);
