#pragma once
// The application's hint cycle, in place of Qt's tool tips while application
// balloons are on: every mouse move is examined, a hint shows once the
// pointer has rested over its control, hides after a while or on any key,
// click, wheel turn or change of activation, and is withdrawn when the
// pointer leaves the program's windows.

#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QRect>
#include <QTimer>
#include <QWidget>

#include "widgets/balloon_window.h"

// The pause before a hint shows.
inline constexpr int kHintPauseMs = 500;
// The pause before a hint shows while another one is showing.
inline constexpr int kHintShortPauseMs = 0;
// How long a hint stays.
inline constexpr int kHintHidePauseMs = 2500;
// How often a shown hint checks that the pointer is still over the program.
inline constexpr int kHintCheckMs = 100;

// The widget under global point p, disabled ones included; null outside the
// program's windows. Balloons and other tool-tip windows are looked through.
QWidget* ControlAt(QPoint p);
// True when p lies inside one of the program's visible windows, frame and
// title bar excluded.
bool OverOwnWindow(QPoint p);

// The hint cycle. It filters the application's events while it lives.
class THintCycle : public QObject {
 public:
  // Starts examining the application's events.
  explicit THintCycle(QObject* parent = nullptr);
  ~THintCycle() override;

  // Hides any hint and forgets its control; the next one waits the full pause.
  void CancelHint();
  // True while a balloon is visible.
  bool HintShowing() const;
  // True while the pause before a hint is running.
  bool HintPending() const { return showTimer_.isActive(); }
  // The control whose hint was last shown (until cancelled).
  QWidget* HintControl() const { return current_; }
  // The balloon window, created at the first hint.
  TBalloonWindow* Window() const { return window_; }
  // Examines the pointer at global point p as a mouse move there would.
  void MouseAt(QPoint p);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void ShowHint();
  void HideHint();
  void CheckPointer();

  QTimer showTimer_;
  QTimer hideTimer_;
  QTimer checkTimer_;
  QPointer<QWidget> pending_;
  QPointer<QWidget> current_;
  QRect currentRect_;
  QPointer<TBalloonWindow> window_;
};
