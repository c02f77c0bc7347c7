#pragma once
// The balloon hint component and the process-wide controller it registers
// with. Switching UseBalloonAsApplicationHint on replaces Qt's own tool tips
// for the whole application by our hint cycle, which shows every hint as a
// balloon.
//
// Marking a control's hint: its text is the widget's toolTip() (up to the
// first "|"); whether the control's own hint is on is the widget's dynamic
// property "ShowHint" when it is set (SetShowHint), otherwise it is on exactly
// when the tool tip is not empty. A control whose hint is off hands the hint
// over to its nearest parent whose hint is on. A control with its hint on and
// an empty text shows no balloon and does not fall back to its parents.

#include <QPoint>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "base/component.h"
#include "widgets/balloon_geometry.h"

class THintCycle;
class THintSystem;

// The icon a balloon may carry.
enum class TIconKind : std::uint8_t {
  ikCustom,
  ikNone,
  ikApplication,
  ikError,
  ikInformation,
  ikQuestion,
  ikWarning,
};

// What application hints take from the component.
enum class TApplicationHintOption : std::uint8_t {
  ahShowHeaderInHint,
  ahShowIconInHint,
  ahPlaySound
};

// A set of application hint options.
class TApplicationHintOptions {
 public:
  constexpr TApplicationHintOptions() = default;
  constexpr TApplicationHintOptions(std::initializer_list<TApplicationHintOption> options) {
    for (TApplicationHintOption o : options) bits_ |= Bit(o);
  }
  constexpr bool Contains(TApplicationHintOption option) const {
    return (bits_ & Bit(option)) != 0;
  }
  constexpr TApplicationHintOptions With(TApplicationHintOption option) const {
    TApplicationHintOptions s = *this;
    s.bits_ |= Bit(option);
    return s;
  }
  constexpr TApplicationHintOptions Without(TApplicationHintOption option) const {
    TApplicationHintOptions s = *this;
    s.bits_ &= static_cast<std::uint8_t>(~Bit(option));
    return s;
  }
  friend constexpr bool operator==(TApplicationHintOptions, TApplicationHintOptions) = default;

 private:
  static constexpr std::uint8_t Bit(TApplicationHintOption o) {
    return static_cast<std::uint8_t>(1u << static_cast<unsigned>(o));
  }
  std::uint8_t bits_ = 0;
};

// The settings a balloon hint component gives the balloons it shows.
struct TBalloonSettings {
  TIconKind DefaultIcon = TIconKind::ikInformation;
  std::string DefaultHeader;
  TApplicationHintOptions ApplicationHintOptions{TApplicationHintOption::ahShowHeaderInHint,
                                                 TApplicationHintOption::ahShowIconInHint};
  TBalloonPosition DefaultBalloonPosition = TBalloonPosition::bpAuto;
  // The image of a custom icon; -1 for none.
  int DefaultImageIndex = -1;

  // Whether an application hint shows an icon under these settings.
  bool ShowIcon() const;
  // Whether an application hint shows a header line under these settings.
  bool ShowHeader() const;
};

// The balloon hint component. It registers with the controller while it lives.
class TBalloonHint : public TComponent {
 public:
  explicit TBalloonHint(TComponent* owner = nullptr);
  // Unregisters; the last one to go switches application balloons off.
  ~TBalloonHint() override;

  // Whether every hint of the application is a balloon (process-wide).
  bool UseBalloonAsApplicationHint() const;
  // Switches application balloons on or off; the same value does nothing.
  void SetUseBalloonAsApplicationHint(bool on);

  TIconKind DefaultIcon() const { return settings_.DefaultIcon; }
  void SetDefaultIcon(TIconKind icon) { settings_.DefaultIcon = icon; }
  const std::string& DefaultHeader() const { return settings_.DefaultHeader; }
  void SetDefaultHeader(const std::string& header) { settings_.DefaultHeader = header; }
  TApplicationHintOptions ApplicationHintOptions() const {
    return settings_.ApplicationHintOptions;
  }
  void SetApplicationHintOptions(TApplicationHintOptions options) {
    settings_.ApplicationHintOptions = options;
  }
  TBalloonPosition DefaultBalloonPosition() const { return settings_.DefaultBalloonPosition; }
  void SetDefaultBalloonPosition(TBalloonPosition p) { settings_.DefaultBalloonPosition = p; }
  int DefaultImageIndex() const { return settings_.DefaultImageIndex; }
  void SetDefaultImageIndex(int index) { settings_.DefaultImageIndex = index; }
  const TBalloonSettings& Settings() const { return settings_; }

 private:
  TBalloonSettings settings_;
};

// The process-wide controller: the live balloon hint components in the order
// they registered, and the application-hint switch.
class TGlobalCtrl {
 public:
  static TGlobalCtrl& Instance();
  ~TGlobalCtrl();
  TGlobalCtrl(const TGlobalCtrl&) = delete;
  TGlobalCtrl& operator=(const TGlobalCtrl&) = delete;

  // Adds hint at the end of the list.
  void Register(TBalloonHint* hint);
  // Removes hint; an empty list switches application balloons off.
  void Unregister(TBalloonHint* hint);
  // The live components in registration order.
  const std::vector<TBalloonHint*>& Hints() const { return hints_; }
  // The settings of the first registered component, or the defaults.
  TBalloonSettings ApplicationSettings() const;

  bool UseBalloonAsApplicationHint() const { return on_; }
  // Sets the switch: on installs our hint cycle, reading the pointer, the
  // foreground and time through system (Qt's when null); off gives hints
  // back to Qt. The same value does nothing.
  void SetUseBalloonAsApplicationHint(bool on, std::shared_ptr<THintSystem> system = nullptr);
  // The running hint cycle, null while the switch is off.
  THintCycle* Cycle() const;

 private:
  TGlobalCtrl() = default;
  std::vector<TBalloonHint*> hints_;
  bool on_ = false;
  QPointer<THintCycle> cycle_;
};

// Switches w's own hint on or off.
void SetShowHint(QWidget* w, bool on);
// Whether w's own hint is on (see the rule at the top of this file).
bool HintOn(const QWidget* w);
// The text w's hint shows: its tool tip up to the first "|".
QString HintText(const QWidget* w);
// w or its nearest parent whose hint is on; null when there is none.
QWidget* HintControlOf(QWidget* w);
