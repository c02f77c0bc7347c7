#include "widgets/balloon_window.h"

#include <gtest/gtest.h>

TEST(BalloonHint, HeaderOrIconTakesTheLargerStem) {
  TBalloonHint h;
  TBalloonWindow b;
  h.SetDefaultIcon(TIconKind::ikNone);
  b.CalcHintRect(800, QStringLiteral("Intervertir"));
  EXPECT_EQ(b.Metrics().StemHeight, 8);
  h.SetDefaultHeader("Titre");
  b.CalcHintRect(800, QStringLiteral("Intervertir"));
  EXPECT_EQ(b.Metrics().StemHeight, 16);
  EXPECT_EQ(b.Metrics().StemOffset, 15);
}

TEST(BalloonHint, ActivationConfinesToTheDesktopAndShapesTheWindow) {
  TBalloonHint h;
  h.SetDefaultIcon(TIconKind::ikNone);
  TBalloonWindow b;
  b.WorkArea = [](QPoint) { return TRect{0, 0, 1000, 760}; };
  b.Desktop = [](QPoint) { return TRect{0, 0, 1000, 800}; };
  TRect r =
      b.CalcHintRect(1000, QStringLiteral("Sélection du répertoire des fichiers à convertir"));
  EXPECT_EQ(r.Left, -(r.Width() - 16));
  EXPECT_EQ(r.Top, 0);
  // Near the bottom right corner, the balloon opens above and to the left.
  b.ActivateHint(r.Offset(990, 790), QStringLiteral("Sélection"),
                 QPoint(990, 790 - CursorHeight()));
  EXPECT_TRUE(b.isVisible());
  EXPECT_EQ(b.Placement(), TBalloonPosition::bpLeftUp);
  EXPECT_EQ(b.BodyOffsetInForce(), 0);
  EXPECT_LE(b.geometry().right(), 999);
  EXPECT_LE(b.geometry().bottom(), 799);
  EXPECT_EQ(b.height(), r.Height() + 4);
  EXPECT_EQ(b.mask(), b.Shape());
  EXPECT_EQ(b.Text(), QStringLiteral("Sélection"));
  b.ReleaseHint();
  EXPECT_FALSE(b.isVisible());
}
