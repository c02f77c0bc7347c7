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
#include <QWidget>

#include <functional>
#include <memory>

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

// One of the cycle's timers.
class THintTimer {
 public:
  virtual ~THintTimer() = default;
  // (Re)starts it: it runs out ms from now, and a repeating one every ms after.
  virtual void Start(int ms) = 0;
  virtual void Stop() = 0;
  virtual bool Active() const = 0;
};

// What the hint cycle takes from outside: the pointer, the foreground state
// and time. The program's comes from Qt; a test hands in one it moves by
// hand, so that no test waits through the real pauses.
class THintSystem {
 public:
  virtual ~THintSystem() = default;
  // The pointer's global position.
  virtual QPoint PointerPos() = 0;
  virtual bool InForeground() = 0;
  // A stopped timer that calls fire each time it runs out.
  virtual std::unique_ptr<THintTimer> NewTimer(bool repeating, std::function<void()> fire) = 0;
};

// Qt's pointer, application state and timers.
std::shared_ptr<THintSystem> QtHintSystem();

// The hint cycle. It filters the application's events while it lives.
class THintCycle : public QObject {
 public:
  // Starts examining the application's events; system is Qt's when null.
  explicit THintCycle(std::shared_ptr<THintSystem> system = nullptr, QObject* parent = nullptr);
  ~THintCycle() override;

  // Hides any hint and forgets its control; the next one waits the full pause.
  void CancelHint();
  bool HintShowing() const;
  // True while the pause before a hint is running.
  bool HintPending() const { return show_timer_->Active(); }
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

  // Declared before the timers, which it makes and which go first.
  std::shared_ptr<THintSystem> system_;
  std::unique_ptr<THintTimer> show_timer_;
  std::unique_ptr<THintTimer> hide_timer_;
  std::unique_ptr<THintTimer> check_timer_;
  QPointer<QWidget> pending_;
  QPointer<QWidget> current_;
  QRect current_rect_;
  QPointer<TBalloonWindow> window_;
};
