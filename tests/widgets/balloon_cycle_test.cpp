#include <QApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QToolTip>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "widgets/balloon_cycle.h"
#include "widgets/balloon_hint.h"
#include "widgets/balloon_window.h"

namespace {

bool AnyToolTipWindowVisible() {
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (w->isVisible() && w->windowType() == Qt::ToolTip) return true;
  }
  return false;
}

// A pointer and a foreground the test sets, and time that passes only when
// the test says so.
class HandSystem : public THintSystem {
 public:
  QPoint pointer;
  bool foreground = true;

  QPoint PointerPos() override { return pointer; }
  bool InForeground() override { return foreground; }
  std::unique_ptr<THintTimer> NewTimer(bool repeating, std::function<void()> fire) override {
    return std::make_unique<Timer>(*this, repeating, std::move(fire));
  }

  // Lets ms go by, firing the timers that run out meanwhile in the order they do.
  void Advance(long long ms) {
    const long long end = now_ + ms;
    for (;;) {
      auto due = [end](const Timer* t) { return t->due >= 0 && t->due <= end; };
      auto next = std::find_if(timers_.begin(), timers_.end(), due);
      for (auto it = next; it != timers_.end(); ++it) {
        if (due(*it) && (*it)->due < (*next)->due) next = it;
      }
      if (next == timers_.end()) break;
      Timer* t = *next;
      now_ = t->due;
      t->due = t->repeating ? now_ + t->period : -1;
      t->fire();
    }
    now_ = end;
  }

 private:
  struct Timer : THintTimer {
    Timer(HandSystem& system, bool repeat, std::function<void()> f)
        : owner(system), repeating(repeat), fire(std::move(f)) {
      owner.timers_.push_back(this);
    }
    ~Timer() override { std::erase(owner.timers_, this); }
    void Start(int ms) override {
      // A repeating timer of no period would fire for ever at one instant.
      EXPECT_TRUE(!repeating || ms > 0);
      period = std::max(ms, repeating ? 1 : 0);
      due = owner.now_ + period;
    }
    void Stop() override { due = -1; }
    bool Active() const override { return due >= 0; }

    HandSystem& owner;
    bool repeating;
    std::function<void()> fire;
    int period = 0;
    long long due = -1;  // when it runs out next; -1 while stopped
  };

  long long now_ = 0;
  std::vector<Timer*> timers_;
};

// A window like the main one as far as hints go: hinted edits and buttons, an
// edit whose hint is on with no text, controls without a hint of their own.
class BalloonCycle : public ::testing::Test {
 protected:
  void SetUp() override {
    window.setGeometry(100, 100, 420, 300);
    path.setGeometry(10, 10, 200, 21);
    path.setToolTip(QStringLiteral("Répertoire des fichiers à convertir"));
    SetShowHint(&path, true);
    swap.setGeometry(220, 10, 75, 25);
    swap.setToolTip(QStringLiteral("Intervertir"));
    panel.setGeometry(10, 60, 300, 100);
    panel.setToolTip(QStringLiteral("Panneau"));
    filtre.setGeometry(10, 10, 50, 21);
    SetShowHint(&filtre, true);
    label.setGeometry(10, 50, 100, 20);
    plain.setGeometry(10, 180, 100, 30);
    disabled.setGeometry(10, 220, 100, 21);
    disabled.setToolTip(QStringLiteral("Désactivé"));
    disabled.setEnabled(false);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    // Nothing is dispatched from here on that the test does not send,
    // activation included: the foreground is the seam's to say.

    hint = std::make_unique<TBalloonHint>();
    hint->SetDefaultIcon(TIconKind::ikNone);
    TGlobalCtrl::Instance().SetUseBalloonAsApplicationHint(true, system);
    ASSERT_NE(Cycle(), nullptr);
  }

  void TearDown() override {
    hint.reset();
    EXPECT_EQ(TGlobalCtrl::Instance().Cycle(), nullptr);
    QToolTip::hideText();
    QTRY_VERIFY(!AnyToolTipWindowVisible());
    EXPECT_FALSE(AnyToolTipWindowVisible());
  }

  static THintCycle* Cycle() { return TGlobalCtrl::Instance().Cycle(); }
  static bool Showing() { return Cycle() != nullptr && Cycle()->HintShowing(); }
  static TBalloonWindow* Balloon() { return Cycle()->Window(); }

  // Puts the pointer on w at local and tells the application, as a real move would.
  void MoveTo(QWidget* w, QPoint local) {
    system->pointer = w->mapToGlobal(local);
    QMouseEvent move(QEvent::MouseMove, QPointF(local), QPointF(system->pointer), Qt::NoButton,
                     Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(w, &move);
  }

  // Rests the pointer on w for the pause; true when its balloon shows.
  bool ShowOver(QWidget* w, QPoint local = QPoint(5, 5)) {
    MoveTo(w, local);
    system->Advance(kHintPauseMs);
    return Showing();
  }

  QWidget window;
  QLineEdit path{&window};
  QPushButton swap{QStringLiteral("<--->"), &window};
  QWidget panel{&window};
  QLineEdit filtre{&panel};
  QLabel label{QStringLiteral("Filtre"), &panel};
  QWidget plain{&window};
  QLineEdit disabled{&window};
  std::shared_ptr<HandSystem> system = std::make_shared<HandSystem>();
  std::unique_ptr<TBalloonHint> hint;
};

}  // namespace

TEST_F(BalloonCycle, ShowsAfterThePauseOverAHintedControl) {
  MoveTo(&path, QPoint(20, 10));
  EXPECT_TRUE(Cycle()->HintPending());
  system->Advance(kHintPauseMs - 1);
  EXPECT_FALSE(Showing());
  system->Advance(1);
  EXPECT_TRUE(Showing());
  EXPECT_EQ(Cycle()->HintControl(), &path);

  TBalloonWindow* b = Balloon();
  EXPECT_EQ(b->Text(), path.toolTip());
  // Its size comes from the measured text, its stem from the pointer.
  QSize text =
      MeasureHintText(b->Text(), b->font(), QGuiApplication::primaryScreen()->size().width());
  EXPECT_EQ(b->size(), QSize(text.width() + 27, text.height() + 34));
  TRect rect{b->x(), b->y(), b->x() + b->width(), b->y() + b->height() - 4};
  QPoint stemAt = system->pointer + QPoint(0, IsDown(b->Placement()) ? CursorHeight() : 0);
  EXPECT_EQ(StemPoint(b->Placement(), rect, b->Metrics().StemOffset), stemAt);
  EXPECT_NE(b->Placement(), TBalloonPosition::bpAuto);
  EXPECT_EQ(b->mask(), b->Shape());

  // Never activated, transparent to the pointer, no task-bar entry.
  EXPECT_EQ(b->windowType(), Qt::ToolTip);
  EXPECT_TRUE(b->windowFlags().testFlag(Qt::WindowTransparentForInput));
  EXPECT_TRUE(b->windowFlags().testFlag(Qt::WindowDoesNotAcceptFocus));
  EXPECT_TRUE(b->testAttribute(Qt::WA_ShowWithoutActivating));
  EXPECT_TRUE(b->testAttribute(Qt::WA_TransparentForMouseEvents));
  EXPECT_NE(QApplication::activeWindow(), b);
}

TEST_F(BalloonCycle, HintOnWithEmptyTextShowsNothing) {
  MoveTo(&filtre, QPoint(5, 5));
  EXPECT_TRUE(Cycle()->HintPending());
  system->Advance(kHintPauseMs);
  EXPECT_FALSE(Cycle()->HintPending());
  EXPECT_FALSE(Showing());
  // Its own empty hint stops the search: the panel's hint is not shown either.
  EXPECT_EQ(HintControlOf(&filtre), &filtre);
}

TEST_F(BalloonCycle, ControlsWithoutAHintUseTheirParentsDisabledOnesTheirOwn) {
  ASSERT_TRUE(ShowOver(&label));
  EXPECT_EQ(Balloon()->Text(), QStringLiteral("Panneau"));
  EXPECT_EQ(Cycle()->HintControl(), &panel);
  // From one balloon to the next without the pause.
  MoveTo(&disabled, QPoint(5, 5));
  EXPECT_TRUE(Showing());
  EXPECT_EQ(Balloon()->Text(), QStringLiteral("Désactivé"));
}

TEST_F(BalloonCycle, HidesAfterTheTimeOutAndStaysHiddenInTheSameControl) {
  ASSERT_TRUE(ShowOver(&path));
  system->Advance(kHintHidePauseMs - 1);
  EXPECT_TRUE(Showing());
  system->Advance(1);
  EXPECT_FALSE(Showing());
  MoveTo(&path, QPoint(60, 12));
  EXPECT_FALSE(Cycle()->HintPending());
  EXPECT_FALSE(Showing());
  // Another control waits for the full pause again.
  MoveTo(&swap, QPoint(5, 5));
  EXPECT_FALSE(Showing());
  EXPECT_TRUE(Cycle()->HintPending());
  system->Advance(kHintPauseMs);
  EXPECT_TRUE(Showing());
}

TEST_F(BalloonCycle, KeysClicksWheelAndActivationHideAtOnce) {
  QKeyEvent key(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, QStringLiteral("a"));
  QMouseEvent click(QEvent::MouseButtonPress, QPointF(5, 5),
                    QPointF(path.mapToGlobal(QPoint(5, 5))), Qt::LeftButton, Qt::LeftButton,
                    Qt::NoModifier);
  QWheelEvent wheel(QPointF(5, 5), QPointF(path.mapToGlobal(QPoint(5, 5))), QPoint(),
                    QPoint(0, 120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
  QApplicationStateChangeEvent inactive(Qt::ApplicationInactive);
  struct Case {
    QObject* to;
    QEvent* event;
  };
  for (Case c :
       {Case{&path, &key}, Case{&path, &click}, Case{&path, &wheel}, Case{qApp, &inactive}}) {
    ASSERT_TRUE(ShowOver(&path)) << c.event->type();
    QApplication::sendEvent(c.to, c.event);
    EXPECT_FALSE(Showing()) << c.event->type();
    EXPECT_EQ(Cycle()->HintControl(), nullptr);
    // It comes back once the pointer moves and rests over the control again.
    MoveTo(&path, QPoint(8, 8));
    EXPECT_TRUE(Cycle()->HintPending());
    EXPECT_FALSE(Showing());
  }
  system->Advance(kHintPauseMs);
  EXPECT_TRUE(Showing());
}

TEST_F(BalloonCycle, MovingWithinTheControlLeavesTheBalloonInPlace) {
  ASSERT_TRUE(ShowOver(&path, QPoint(20, 10)));
  QRect where = Balloon()->geometry();
  MoveTo(&path, QPoint(150, 15));
  EXPECT_TRUE(Showing());
  EXPECT_FALSE(Cycle()->HintPending());
  EXPECT_EQ(Balloon()->geometry(), where);
}

TEST_F(BalloonCycle, AnotherHintedControlShowsAtOnceAPlainOneCancels) {
  ASSERT_TRUE(ShowOver(&path));
  MoveTo(&swap, QPoint(30, 10));
  EXPECT_TRUE(Showing());
  EXPECT_EQ(Balloon()->Text(), QStringLiteral("Intervertir"));
  EXPECT_EQ(Cycle()->HintControl(), &swap);

  MoveTo(&plain, QPoint(5, 5));
  EXPECT_FALSE(Showing());
  EXPECT_FALSE(Cycle()->HintPending());
}

TEST_F(BalloonCycle, LeavingTheProgramsWindowsCancels) {
  // Outside every window, then on the title bar or frame, which belong to
  // the window manager here.
  for (QPoint away : {QPoint(50, 50), window.geometry().topLeft() + QPoint(5, -1)}) {
    ASSERT_TRUE(ShowOver(&path));
    ASSERT_FALSE(OverOwnWindow(away));
    system->pointer = away;
    // At the next check, well before the hide timer could have done it.
    system->Advance(kHintCheckMs);
    EXPECT_FALSE(Showing());
    EXPECT_EQ(Cycle()->HintControl(), nullptr);
  }
}

TEST_F(BalloonCycle, NothingShowsWhileInTheBackgroundOrAfterThePointerLeft) {
  system->foreground = false;
  MoveTo(&path, QPoint(5, 5));
  system->Advance(kHintPauseMs);
  EXPECT_FALSE(Cycle()->HintPending());
  EXPECT_FALSE(Showing());

  system->foreground = true;
  MoveTo(&path, QPoint(6, 6));
  system->pointer = swap.mapToGlobal(QPoint(5, 5));  // gone elsewhere without a move reaching us
  system->Advance(kHintPauseMs);
  EXPECT_FALSE(Cycle()->HintPending());
  EXPECT_FALSE(Showing());
}

TEST_F(BalloonCycle, QtToolTipsGiveWayAndComeBack) {
  QPoint global = path.mapToGlobal(QPoint(5, 5));
  QHelpEvent help(QEvent::ToolTip, QPoint(5, 5), global);
  QApplication::sendEvent(&path, &help);
  EXPECT_FALSE(QToolTip::isVisible());

  hint->SetUseBalloonAsApplicationHint(false);
  EXPECT_EQ(Cycle(), nullptr);
  QApplication::sendEvent(&path, &help);
  EXPECT_TRUE(QToolTip::isVisible());
  QToolTip::hideText();
}

TEST_F(BalloonCycle, SwitchIsSharedAndEndsWithTheLastComponent) {
  THintCycle* first = Cycle();
  {
    TBalloonHint second;
    EXPECT_TRUE(second.UseBalloonAsApplicationHint());
    second.SetUseBalloonAsApplicationHint(true);
    EXPECT_EQ(Cycle(), first);
    ASSERT_EQ(TGlobalCtrl::Instance().Hints().size(), 2u);
    EXPECT_EQ(TGlobalCtrl::Instance().Hints().front(), hint.get());
    // The first registered supplies the settings.
    EXPECT_EQ(TGlobalCtrl::Instance().ApplicationSettings().DefaultIcon, TIconKind::ikNone);
  }
  EXPECT_TRUE(hint->UseBalloonAsApplicationHint());
  ASSERT_TRUE(ShowOver(&path));
  hint.reset();
  EXPECT_FALSE(TGlobalCtrl::Instance().UseBalloonAsApplicationHint());
  EXPECT_EQ(Cycle(), nullptr);
  EXPECT_TRUE(TGlobalCtrl::Instance().Hints().empty());
  EXPECT_EQ(TGlobalCtrl::Instance().ApplicationSettings().DefaultIcon, TIconKind::ikInformation);
}
