#pragma once
// The balloon window: a frameless pop-up that is never activated, lets the
// pointer through to what lies beneath, has no task-bar entry and is shaped
// as a rounded body with a stem whose point sits at the hint position.

#include <QElapsedTimer>
#include <QFont>
#include <QPointer>
#include <QRegion>
#include <QString>
#include <QVariantAnimation>
#include <QWidget>

#include <functional>

#include "widgets/balloon_geometry.h"
#include "widgets/balloon_hint.h"
#include "widgets/colors.h"

// The size of text drawn in font, word-wrapped at maxWidth, tabs expanded; empty for no text.
QSize MeasureHintText(const QString& text, const QFont& font, int maxWidth);
// The height the hint position lies below the pointer: the cursor's height,
// as Qt cannot read the image of the system's cursor.
int CursorHeight();

// A balloon showing one hint.
class TBalloonWindow : public QWidget {
 public:
  TBalloonWindow();
  ~TBalloonWindow() override;

  // Measures text against the application settings; the rectangle is
  // relative to the hint position.
  TRect CalcHintRect(int maxWidth, const QString& text);
  // Places rect (in screen coordinates), shapes and shows the balloon with
  // text; a reveal slides away from pointer.
  void ActivateHint(const TRect& rect, const QString& text, QPoint pointer);
  // Hides the balloon and stops any reveal.
  void ReleaseHint();

  // The placement in force (never bpAuto once placed).
  TBalloonPosition Placement() const { return position_; }
  const TBalloonMetrics& Metrics() const { return metrics_; }
  // The distance from the window's top to the body.
  int BodyOffsetInForce() const { return body_offset_; }
  const QString& Text() const { return text_; }
  const QRegion& Shape() const { return shape_; }
  // The fill colour; the hint colour by default.
  TColor Color = clInfoBk;
  // The work area the placement fits into; the screen's available area by default.
  std::function<TRect(QPoint)> WorkArea;
  // The desktop the window is confined to; all screens by default.
  std::function<TRect(QPoint)> Desktop;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void Reveal(TBalloonReveal reveal);

  TBalloonPosition position_ = TBalloonPosition::bpAuto;
  TBalloonMetrics metrics_;
  int body_offset_ = 0;
  int cursor_height_ = 0;
  bool show_icon_ = false;
  bool show_header_ = false;
  QString header_;
  QString text_;
  QRegion shape_;
  QElapsedTimer since_last_hint_;
  QPointer<QVariantAnimation> reveal_;
};
