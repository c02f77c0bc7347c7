#include <gtest/gtest.h>

#include "widgets/balloon_geometry.h"

namespace {

using P = TBalloonPosition;

const TBalloonMetrics kPlain = BalloonMetrics(false);
constexpr int kCursor = 32;
// A work area of 1000 by 800 with a task bar of 40 at the bottom.
constexpr TRect kWork{0, 0, 1000, 760};

// The rectangle of a balloon of size measured and moved to hint position at.
TRect Measured(QSize size, QPoint at, P p = P::bpAuto) {
  QPoint off = AnchorOffset(p, size, kPlain.StemOffset, kCursor);
  return TRect{at.x() + off.x(), at.y() + off.y(), at.x() + off.x() + size.width(),
               at.y() + off.y() + size.height()};
}

TBalloonPlacement Place(QPoint at, QSize size = QSize(200, 50), P p = P::bpAuto) {
  return PlaceBalloon(Measured(size, at, p), p, kWork, kPlain.StemOffset, kCursor);
}

}  // namespace

TEST(BalloonGeometry, SizeAroundASingleLine) {
  EXPECT_EQ(kPlain.StemHeight, 8);
  EXPECT_EQ(kPlain.StemWidth, 8);
  EXPECT_EQ(kPlain.StemOffset, 16);
  QSize rect = BalloonRectSize(QSize(120, 13), kPlain);
  EXPECT_EQ(rect, QSize(147, 43));
  TRect bounds = BalloonBounds(TRect{0, 0, rect.width(), rect.height()});
  EXPECT_EQ(bounds.Width(), 120 + 27);
  EXPECT_EQ(bounds.Height(), 13 + 34);
  // An empty text gets no margins.
  EXPECT_EQ(BalloonRectSize(QSize(0, 0), kPlain).width(), 0);
  // A header or an icon takes the larger stem.
  TBalloonMetrics big = BalloonMetrics(true);
  EXPECT_EQ(big.StemHeight, 16);
  EXPECT_EQ(big.StemWidth, 16);
  EXPECT_EQ(big.StemOffset, 15);
}

TEST(BalloonGeometry, AnchoringPutsTheStemAtTheHintPosition) {
  QSize size(147, 43);
  EXPECT_EQ(AnchorOffset(P::bpAuto, size, 16, kCursor), QPoint(-131, 0));
  EXPECT_EQ(AnchorOffset(P::bpLeftDown, size, 16, kCursor), QPoint(-131, 0));
  EXPECT_EQ(AnchorOffset(P::bpRightDown, size, 16, kCursor), QPoint(-16, 0));
  EXPECT_EQ(AnchorOffset(P::bpLeftUp, size, 16, kCursor), QPoint(-131, -75));
  EXPECT_EQ(AnchorOffset(P::bpRightUp, size, 16, kCursor), QPoint(-16, -75));
  for (P p : {P::bpLeftDown, P::bpRightDown}) {
    EXPECT_EQ(StemPoint(p, Measured(size, QPoint(300, 200), p), 16), QPoint(300, 200));
  }
  // The Up placements are raised by the cursor as well: the tip sits at the cursor.
  for (P p : {P::bpLeftUp, P::bpRightUp}) {
    EXPECT_EQ(StemPoint(p, Measured(size, QPoint(300, 200), p), 16), QPoint(300, 200 - kCursor));
  }
}

TEST(BalloonGeometry, ReanchoringMovesByTheDifferenceOfOffsets) {
  TRect r = Measured(QSize(147, 43), QPoint(300, 200), P::bpLeftDown);
  EXPECT_EQ(StemPoint(P::bpRightDown, Reanchor(r, P::bpLeftDown, P::bpRightDown, 16, kCursor), 16),
            QPoint(300, 200));
  TRect up = Reanchor(r, P::bpLeftDown, P::bpRightUp, 16, kCursor);
  EXPECT_EQ(up, Measured(QSize(147, 43), QPoint(300, 200), P::bpRightUp));
  EXPECT_EQ(Reanchor(up, P::bpRightUp, P::bpLeftDown, 16, kCursor), r);
}

TEST(BalloonGeometry, AutomaticPlacementOpensTowardsTheNearerCorner) {
  // Lower left quarter: below and to the left of the stem.
  TBalloonPlacement lowerLeft = Place(QPoint(300, 500));
  EXPECT_EQ(lowerLeft.Position, P::bpLeftDown);
  EXPECT_EQ(lowerLeft.Rect, Measured(QSize(200, 50), QPoint(300, 500), P::bpLeftDown));
  // Upper right quarter: above and to the right.
  TBalloonPlacement upperRight = Place(QPoint(700, 300));
  EXPECT_EQ(upperRight.Position, P::bpRightUp);
  EXPECT_EQ(upperRight.Rect, Measured(QSize(200, 50), QPoint(700, 300), P::bpRightUp));
  EXPECT_EQ(Place(QPoint(300, 300)).Position, P::bpLeftUp);
  EXPECT_EQ(Place(QPoint(700, 500)).Position, P::bpRightDown);
  // The middle itself counts as the lower right side.
  EXPECT_EQ(AutoPosition(QPoint(500, 380), kWork), P::bpRightDown);
  EXPECT_EQ(AutoPosition(QPoint(499, 379), kWork), P::bpLeftUp);
}

TEST(BalloonGeometry, FitTestsTurnTheBalloonAwayFromTheEdges) {
  // Near the top in the upper half: Up does not fit, so it opens downward.
  TBalloonPlacement top = Place(QPoint(300, 20));
  EXPECT_EQ(top.Position, P::bpLeftDown);
  EXPECT_EQ(top.Rect.Top, 20);
  // Near the left edge: Left does not fit, so it opens to the right.
  TBalloonPlacement left = Place(QPoint(10, 500));
  EXPECT_EQ(left.Position, P::bpRightDown);
  EXPECT_EQ(left.Rect.Left, 10 - 16);
  // Near the right edge with a wide balloon: Right does not fit.
  EXPECT_EQ(Place(QPoint(900, 500), QSize(300, 50)).Position, P::bpLeftDown);
  // A fixed Down placement near the bottom turns up.
  EXPECT_EQ(Place(QPoint(300, 740), QSize(200, 50), P::bpLeftDown).Position, P::bpLeftUp);
  // A fixed Up placement near the top turns down.
  EXPECT_EQ(Place(QPoint(700, 40), QSize(200, 50), P::bpRightUp).Position, P::bpRightDown);
  // Room everywhere: a fixed placement stays.
  EXPECT_EQ(Place(QPoint(500, 400), QSize(200, 50), P::bpRightUp).Position, P::bpRightUp);
}

TEST(BalloonGeometry, BalloonWiderThanTheWorkAreaEndsOpeningRight) {
  // Fits neither side: the last rule takes the Right placement of the same height.
  TBalloonPlacement wide = Place(QPoint(500, 600), QSize(1200, 50));
  EXPECT_EQ(wide.Position, P::bpRightDown);
  EXPECT_EQ(wide.Rect.Left, 500 - 16);
  // Taller than the space above and below: it ends opening down.
  TBalloonPlacement tall = Place(QPoint(500, 300), QSize(200, 700));
  EXPECT_TRUE(IsDown(tall.Position));
}

TEST(BalloonGeometry, ConfinementKeepsTheWindowOnTheDesktop) {
  const TRect desktop{0, 0, 1000, 800};
  EXPECT_EQ(ConfineToDesktop(TRect{900, 780, 1100, 830}, desktop), (TRect{800, 750, 1000, 800}));
  EXPECT_EQ(ConfineToDesktop(TRect{-30, -5, 170, 45}, desktop), (TRect{0, 0, 200, 50}));
  EXPECT_EQ(ConfineToDesktop(TRect{10, 10, 210, 60}, desktop), (TRect{10, 10, 210, 60}));
  // Too big for the desktop: the top-left corner wins.
  EXPECT_EQ(ConfineToDesktop(TRect{50, 50, 1150, 900}, desktop), (TRect{0, 0, 1100, 850}));
}

TEST(BalloonGeometry, StemSitsOnColumnWMinus17OrColumn17) {
  const QSize window(147, 47);
  const int w = window.width();
  const int h = window.height();
  QPolygon leftDown = StemTriangle(P::bpLeftDown, window, kPlain);
  EXPECT_EQ(leftDown, QPolygon({QPoint(w - 17, 0), QPoint(w - 17, 9), QPoint(w - 26, 9)}));
  QPolygon rightDown = StemTriangle(P::bpRightDown, window, kPlain);
  EXPECT_EQ(rightDown, QPolygon({QPoint(17, 0), QPoint(17, 9), QPoint(26, 9)}));
  QPolygon leftUp = StemTriangle(P::bpLeftUp, window, kPlain);
  EXPECT_EQ(leftUp, QPolygon({QPoint(w - 17, h), QPoint(w - 17, h - 9), QPoint(w - 26, h - 9)}));
  QPolygon rightUp = StemTriangle(P::bpRightUp, window, kPlain);
  EXPECT_EQ(rightUp, QPolygon({QPoint(17, h), QPoint(17, h - 9), QPoint(26, h - 9)}));
}

TEST(BalloonGeometry, ShapeIsStemAndRoundedBody) {
  const QSize window(147, 47);
  QRegion down = BalloonShape(P::bpLeftDown, window, kPlain);
  EXPECT_TRUE(down.contains(QPoint(147 - 18, 3)));  // inside the stem
  EXPECT_FALSE(down.contains(QPoint(5, 3)));        // above the body, away from the stem
  EXPECT_TRUE(down.contains(QPoint(70, 25)));       // the body's middle
  EXPECT_FALSE(down.contains(QPoint(1, 9)));        // cut off by the rounded corner
  EXPECT_TRUE(down.contains(QPoint(1, 25)));
  EXPECT_FALSE(down.contains(QPoint(0, 25)));
  EXPECT_FALSE(down.contains(QPoint(70, 44)));  // below the body's bottom (H - 3)
  EXPECT_TRUE(down.contains(QPoint(70, 43)));

  QRegion up = BalloonShape(P::bpRightUp, window, kPlain);
  EXPECT_TRUE(up.contains(QPoint(18, 45)));
  EXPECT_FALSE(up.contains(QPoint(100, 45)));
  EXPECT_TRUE(up.contains(QPoint(70, 2)));

  // The frame is the shape's one-pixel outline.
  QRegion frame = RegionFrame(down);
  EXPECT_TRUE(frame.contains(QPoint(1, 25)));
  EXPECT_FALSE(frame.contains(QPoint(2, 25)));
  EXPECT_FALSE(frame.contains(QPoint(70, 25)));
}

TEST(BalloonGeometry, TextStartsBelowTheStemOnlyForDownPlacements) {
  EXPECT_EQ(BodyOffset(P::bpLeftDown, kPlain), 8);
  EXPECT_EQ(BodyOffset(P::bpRightDown, kPlain), 8);
  EXPECT_EQ(BodyOffset(P::bpLeftUp, kPlain), 0);
  EXPECT_EQ(BodyOffset(P::bpRightUp, kPlain), 0);
  // 12 from the left and 15 or 7 from the top of the area inside the one-pixel frame.
  EXPECT_EQ(BalloonTextOrigin(P::bpLeftDown, kPlain), QPoint(1 + 12, 1 + 15));
  EXPECT_EQ(BalloonTextOrigin(P::bpRightUp, kPlain), QPoint(1 + 12, 1 + 7));
}

TEST(BalloonGeometry, RevealRule) {
  using R = TBalloonReveal;
  EXPECT_EQ(ChooseReveal(true, true, 1000, 30, 100, 50), R::Fade);
  EXPECT_EQ(ChooseReveal(true, false, 1000, 30, 100, 50), R::SlideDown);
  EXPECT_EQ(ChooseReveal(true, false, 1000, 30, 50, 50), R::SlideDown);
  EXPECT_EQ(ChooseReveal(true, false, 1000, 30, 10, 50), R::SlideUp);
  // Long texts, hints in quick succession and a system without animation: shown at once.
  EXPECT_EQ(ChooseReveal(true, true, 1000, 100, 100, 50), R::None);
  EXPECT_EQ(ChooseReveal(true, true, 1000, 99, 100, 50), R::Fade);
  EXPECT_EQ(ChooseReveal(true, true, 250, 30, 100, 50), R::None);
  EXPECT_EQ(ChooseReveal(true, true, 251, 30, 100, 50), R::Fade);
  EXPECT_EQ(ChooseReveal(false, true, 1000, 30, 100, 50), R::None);
}
