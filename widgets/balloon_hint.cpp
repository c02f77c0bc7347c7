#include "widgets/balloon_hint.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QToolTip>
#include <QVariant>

#include <algorithm>

#include "widgets/balloon_cycle.h"

namespace {

constexpr const char* kShowHintProperty = "ShowHint";

}  // namespace

bool TBalloonSettings::ShowIcon() const {
  if (!ApplicationHintOptions.Contains(TApplicationHintOption::ahShowIconInHint)) return false;
  if (DefaultIcon == TIconKind::ikNone) return false;
  return !(DefaultIcon == TIconKind::ikCustom && DefaultImageIndex < 0);
}

bool TBalloonSettings::ShowHeader() const {
  return ApplicationHintOptions.Contains(TApplicationHintOption::ahShowHeaderInHint) &&
         !DefaultHeader.empty();
}

TBalloonHint::TBalloonHint(TComponent* owner) : TComponent(owner) {
  TGlobalCtrl::Instance().Register(this);
}

TBalloonHint::~TBalloonHint() {
  TGlobalCtrl::Instance().Unregister(this);
}

bool TBalloonHint::UseBalloonAsApplicationHint() const {
  return TGlobalCtrl::Instance().UseBalloonAsApplicationHint();
}

void TBalloonHint::SetUseBalloonAsApplicationHint(bool on) {
  TGlobalCtrl::Instance().SetUseBalloonAsApplicationHint(on);
}

TGlobalCtrl& TGlobalCtrl::Instance() {
  static TGlobalCtrl ctrl;
  return ctrl;
}

TGlobalCtrl::~TGlobalCtrl() {
  // Normally the last component switched the cycle off; if not, and Qt is
  // still there, the cycle goes now (it is a child of the application too).
  if (cycle_ != nullptr && QCoreApplication::instance() != nullptr) delete cycle_.data();
}

void TGlobalCtrl::Register(TBalloonHint* hint) {
  if (std::find(hints_.begin(), hints_.end(), hint) == hints_.end()) hints_.push_back(hint);
}

void TGlobalCtrl::Unregister(TBalloonHint* hint) {
  hints_.erase(std::remove(hints_.begin(), hints_.end(), hint), hints_.end());
  if (hints_.empty()) SetUseBalloonAsApplicationHint(false);
}

TBalloonSettings TGlobalCtrl::ApplicationSettings() const {
  return hints_.empty() ? TBalloonSettings{} : hints_.front()->Settings();
}

THintCycle* TGlobalCtrl::Cycle() const {
  return cycle_.data();
}

void TGlobalCtrl::SetUseBalloonAsApplicationHint(bool on, std::shared_ptr<THintSystem> system) {
  if (on == on_) return;
  on_ = on;
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr) return;
  if (qobject_cast<QGuiApplication*>(app) != nullptr) QToolTip::hideText();
  if (on) {
    cycle_ = new THintCycle(std::move(system), app);
  } else {
    delete cycle_.data();
    cycle_ = nullptr;
  }
}

void SetShowHint(QWidget* w, bool on) {
  w->setProperty(kShowHintProperty, on);
}

bool HintOn(const QWidget* w) {
  QVariant own = w->property(kShowHintProperty);
  if (own.isValid()) return own.toBool();
  return !w->toolTip().isEmpty();
}

QString HintText(const QWidget* w) {
  return w->toolTip().section(QLatin1Char('|'), 0, 0);
}

QWidget* HintControlOf(QWidget* w) {
  // The search stays inside the window: a dialog does not show its owner's hint.
  for (; w != nullptr; w = w->isWindow() ? nullptr : w->parentWidget()) {
    if (HintOn(w)) return w;
  }
  return nullptr;
}
