#include "widgets/balloon_hint.h"

#include <QLineEdit>
#include <QWidget>

#include <gtest/gtest.h>

TEST(BalloonHint, DefaultsAndWhatTheyShow) {
  TBalloonHint h;
  EXPECT_FALSE(h.UseBalloonAsApplicationHint());
  EXPECT_EQ(h.DefaultIcon(), TIconKind::ikInformation);
  EXPECT_EQ(h.DefaultHeader(), "");
  EXPECT_EQ(h.DefaultBalloonPosition(), TBalloonPosition::bpAuto);
  EXPECT_EQ(h.DefaultImageIndex(), -1);
  EXPECT_TRUE(h.ApplicationHintOptions().Contains(TApplicationHintOption::ahShowHeaderInHint));
  EXPECT_TRUE(h.ApplicationHintOptions().Contains(TApplicationHintOption::ahShowIconInHint));
  EXPECT_FALSE(h.ApplicationHintOptions().Contains(TApplicationHintOption::ahPlaySound));

  TBalloonSettings s = h.Settings();
  EXPECT_TRUE(s.ShowIcon());
  EXPECT_FALSE(s.ShowHeader());
  s.DefaultIcon = TIconKind::ikNone;
  EXPECT_FALSE(s.ShowIcon());
  s.DefaultIcon = TIconKind::ikCustom;
  EXPECT_FALSE(s.ShowIcon());
  s.DefaultImageIndex = 0;
  EXPECT_TRUE(s.ShowIcon());
  s.ApplicationHintOptions =
      s.ApplicationHintOptions.Without(TApplicationHintOption::ahShowIconInHint);
  EXPECT_FALSE(s.ShowIcon());
  s.DefaultHeader = "Titre";
  EXPECT_TRUE(s.ShowHeader());
  s.ApplicationHintOptions = TApplicationHintOptions{};
  EXPECT_FALSE(s.ShowHeader());
}

TEST(BalloonHint, ControlsMarkTheirHints) {
  QWidget parent;
  QLineEdit edit(&parent);
  EXPECT_FALSE(HintOn(&edit));
  EXPECT_EQ(HintControlOf(&edit), nullptr);
  edit.setToolTip(QStringLiteral("court|long"));
  EXPECT_TRUE(HintOn(&edit));
  EXPECT_EQ(HintText(&edit), QStringLiteral("court"));
  SetShowHint(&edit, false);
  EXPECT_FALSE(HintOn(&edit));
  parent.setToolTip(QStringLiteral("Fenêtre"));
  EXPECT_EQ(HintControlOf(&edit), &parent);
  // A hint switched on with no text is still the edit's own.
  edit.setToolTip(QString());
  SetShowHint(&edit, true);
  EXPECT_EQ(HintControlOf(&edit), &edit);
  EXPECT_EQ(HintText(&edit), QString());
}
