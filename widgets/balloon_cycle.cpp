#include "widgets/balloon_cycle.h"

#include <QApplication>
#include <QCoreApplication>
#include <QCursor>
#include <QEvent>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QScreen>
#include <QTimer>

#include "framework/forms.h"

namespace {

bool IsToolTipWindow(const QWidget* w) {
  return w->window()->windowType() == Qt::ToolTip;
}

// The events that withdraw a hint: the user is doing something else now.
bool Cancels(QEvent::Type type) {
  switch (type) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::Shortcut:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::Wheel:
    case QEvent::ContextMenu:
    case QEvent::NonClientAreaMouseMove:
    case QEvent::NonClientAreaMouseButtonPress:
    case QEvent::NonClientAreaMouseButtonRelease:
    case QEvent::NonClientAreaMouseButtonDblClick:
    case QEvent::ApplicationStateChange:
    case QEvent::ApplicationActivate:
    case QEvent::ApplicationDeactivate:
      return true;
    default:
      return false;
  }
}

int ScreenWidthAt(QPoint p) {
  QScreen* s = QGuiApplication::screenAt(p);
  if (s == nullptr) s = QGuiApplication::primaryScreen();
  return s != nullptr ? s->geometry().width() : 0;
}

class TQtHintTimer : public THintTimer {
 public:
  TQtHintTimer(bool repeating, std::function<void()> fire) {
    timer_.setSingleShot(!repeating);
    QObject::connect(&timer_, &QTimer::timeout, &timer_, std::move(fire));
  }
  void Start(int ms) override { timer_.start(ms); }
  void Stop() override { timer_.stop(); }
  bool Active() const override { return timer_.isActive(); }

 private:
  QTimer timer_;
};

class TQtHintSystem : public THintSystem {
 public:
  QPoint PointerPos() override { return QCursor::pos(); }
  bool InForeground() override {
    return QGuiApplication::applicationState() == Qt::ApplicationActive;
  }
  std::unique_ptr<THintTimer> NewTimer(bool repeating, std::function<void()> fire) override {
    return std::make_unique<TQtHintTimer>(repeating, std::move(fire));
  }
};

}  // namespace

std::shared_ptr<THintSystem> QtHintSystem() {
  return std::make_shared<TQtHintSystem>();
}

QWidget* ControlAt(QPoint p) {
  QWidget* w = QApplication::widgetAt(p);
  if (w != nullptr && !IsToolTipWindow(w)) return w;
  // The platform found a balloon (or nothing): look for our windows beneath.
  QWidget* best = nullptr;
  for (QWidget* top : QApplication::topLevelWidgets()) {
    if (!top->isVisible() || IsToolTipWindow(top) || !top->geometry().contains(p)) continue;
    if (best == nullptr || top == QApplication::activeWindow()) best = top;
  }
  if (best == nullptr) return nullptr;
  QWidget* child = best->childAt(best->mapFromGlobal(p));
  return child != nullptr ? child : best;
}

bool OverOwnWindow(QPoint p) {
  // Title bars and frames belong to the window manager, which sends the
  // program no move over them: the pointer there has left the program.
  for (QWidget* top : QApplication::topLevelWidgets()) {
    if (top->isVisible() && !IsToolTipWindow(top) && top->geometry().contains(p)) return true;
  }
  return false;
}

THintCycle::THintCycle(std::shared_ptr<THintSystem> system, QObject* parent)
    : QObject(parent), system_(system != nullptr ? std::move(system) : QtHintSystem()) {
  show_timer_ = system_->NewTimer(false, [this] { Guarded([this] { ShowHint(); }); });
  hide_timer_ = system_->NewTimer(false, [this] { Guarded([this] { HideHint(); }); });
  check_timer_ = system_->NewTimer(true, [this] { Guarded([this] { CheckPointer(); }); });
  if (QCoreApplication::instance() != nullptr)
    QCoreApplication::instance()->installEventFilter(this);
}

THintCycle::~THintCycle() {
  // Once the application is gone its windows must not be touched any more.
  if (QCoreApplication::instance() != nullptr) delete window_.data();
}

bool THintCycle::HintShowing() const {
  return window_ != nullptr && window_->isVisible();
}

void THintCycle::CancelHint() {
  show_timer_->Stop();
  hide_timer_->Stop();
  check_timer_->Stop();
  pending_ = nullptr;
  current_ = nullptr;
  current_rect_ = QRect();
  if (window_ != nullptr) window_->ReleaseHint();
}

void THintCycle::MouseAt(QPoint p) {
  QWidget* control = HintControlOf(ControlAt(p));
  if (control == nullptr) {
    CancelHint();
    return;
  }
  // Moving within the control whose hint was shown leaves things as they are,
  // even after the hint timed out: it comes back only through another control.
  if (control == current_ && current_rect_.contains(p)) return;
  bool wasShowing = HintShowing();
  CancelHint();
  pending_ = control;
  // Going from one hint to the next shows the next at once; waiting for even
  // a zero timer would let the rest of this move restart the full pause.
  if (wasShowing && kHintShortPauseMs == 0) {
    ShowHint();
    return;
  }
  show_timer_->Start(wasShowing ? kHintShortPauseMs : kHintPauseMs);
}

void THintCycle::ShowHint() {
  QPointer<QWidget> control = pending_;
  pending_ = nullptr;
  if (control == nullptr) return;
  if (!system_->InForeground()) return;
  QPoint pointer = system_->PointerPos();
  if (HintControlOf(ControlAt(pointer)) != control) return;
  QString text = HintText(control);
  if (text.isEmpty()) return;

  if (window_ == nullptr) window_ = new TBalloonWindow();
  QPoint at = pointer + QPoint(0, CursorHeight());
  TRect rect = window_->CalcHintRect(ScreenWidthAt(pointer), text).Offset(at.x(), at.y());
  window_->Color = clInfoBk;
  window_->ActivateHint(rect, text, pointer);
  current_ = control;
  current_rect_ = QRect(control->mapToGlobal(QPoint(0, 0)), control->size());
  hide_timer_->Start(kHintHidePauseMs);
  check_timer_->Start(kHintCheckMs);
}

void THintCycle::HideHint() {
  check_timer_->Stop();
  if (window_ != nullptr) window_->ReleaseHint();
}

void THintCycle::CheckPointer() {
  if (!OverOwnWindow(system_->PointerPos())) CancelHint();
}

bool THintCycle::eventFilter(QObject* watched, QEvent* event) {
  bool eat = false;
  Guarded([&] {
    QEvent::Type type = event->type();
    if (type == QEvent::ToolTip) {
      // Ours replaces Qt's: it must show none of its own.
      eat = true;
    } else if (type == QEvent::MouseMove && watched->isWidgetType()) {
      MouseAt(static_cast<QMouseEvent*>(event)->globalPosition().toPoint());
    } else if (Cancels(type)) {
      CancelHint();
    }
  });
  return eat;
}
