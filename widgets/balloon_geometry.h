#pragma once
// The arithmetic of a balloon: its size around a measured text, where it is
// anchored so that the stem's point sits at the hint position, the choice of
// the side it opens towards, the tests that keep it inside the work area, its
// shape and whether it is revealed with an animation. All of it is pure, so
// the figures can be checked without a screen.

#include <QPainterPath>
#include <QPoint>
#include <QPolygon>
#include <QRect>
#include <QRegion>
#include <QSize>

#include <cstdint>

// Where the body lies: Left or Right of the stem, Down (stem on top) or Up
// (stem at the bottom) of it. bpAuto lets the placement choose.
enum class TBalloonPosition : std::uint8_t { bpAuto, bpLeftDown, bpRightDown, bpLeftUp, bpRightUp };

// A rectangle by its edges; right and bottom are outside it.
struct TRect {
  int Left = 0;
  int Top = 0;
  int Right = 0;
  int Bottom = 0;
  int Width() const { return Right - Left; }
  int Height() const { return Bottom - Top; }
  TRect Offset(int dx, int dy) const { return TRect{Left + dx, Top + dy, Right + dx, Bottom + dy}; }
  QRect ToQRect() const { return QRect(Left, Top, Width(), Height()); }
  static TRect From(const QRect& r) {
    return TRect{r.left(), r.top(), r.left() + r.width(), r.top() + r.height()};
  }
  friend bool operator==(const TRect&, const TRect&) = default;
};

// The stem and text metrics of one balloon.
struct TBalloonMetrics {
  int StemHeight = 8;
  int StemWidth = 8;
  int StemOffset = 16;
  int HeaderHeight = 9;
  int MessageTop = 7;
};

// The metrics of a balloon with or without a header line or icon.
TBalloonMetrics BalloonMetrics(bool headerOrIcon);

// The balloon's rectangle size around a text of textSize (without header or icon).
QSize BalloonRectSize(QSize textSize, const TBalloonMetrics& m);

// True for the two placements whose body lies below the stem.
constexpr bool IsDown(TBalloonPosition p) {
  return p == TBalloonPosition::bpAuto || p == TBalloonPosition::bpLeftDown ||
         p == TBalloonPosition::bpRightDown;
}
// True for the two placements whose body lies left of the stem.
constexpr bool IsLeft(TBalloonPosition p) {
  return p == TBalloonPosition::bpAuto || p == TBalloonPosition::bpLeftDown ||
         p == TBalloonPosition::bpLeftUp;
}
// The placement of the given sides.
TBalloonPosition MakePosition(bool left, bool down);

// The top-left corner, relative to the stem point, of a balloon of size placed as p.
QPoint AnchorOffset(TBalloonPosition p, QSize size, int stemOffset, int cursorHeight);
// The stem point of rect placed as p.
QPoint StemPoint(TBalloonPosition p, const TRect& rect, int stemOffset);
// rect moved from placement from to placement to, its stem point kept.
TRect Reanchor(const TRect& rect, TBalloonPosition from, TBalloonPosition to, int stemOffset,
               int cursorHeight);
// The side a balloon opens towards for a stem point: the nearer corner of workArea.
TBalloonPosition AutoPosition(QPoint stem, const TRect& workArea);

// A balloon's final placement and rectangle.
struct TBalloonPlacement {
  TBalloonPosition Position = TBalloonPosition::bpLeftDown;
  TRect Rect;
};
// Chooses and fits the placement of rect (anchored as position) inside workArea.
TBalloonPlacement PlaceBalloon(const TRect& rect, TBalloonPosition position, const TRect& workArea,
                               int stemOffset, int cursorHeight);
// The distance from the window's top to the body: the stem height when the stem is on top.
int BodyOffset(TBalloonPosition p, const TBalloonMetrics& m);
// The window bounds of a placed rectangle: 4 pixels higher.
TRect BalloonBounds(const TRect& rect);
// bounds moved back inside desktop, bottom and right edges first.
TRect ConfineToDesktop(const TRect& bounds, const TRect& desktop);

// The stem triangle of a window of size placed as p.
QPolygon StemTriangle(TBalloonPosition p, QSize size, const TBalloonMetrics& m);
// The body with its 11 by 11 rounded corners, as a path.
QPainterPath BodyPath(TBalloonPosition p, QSize size, const TBalloonMetrics& m);
// The window's shape: the stem and the body united.
QRegion BalloonShape(TBalloonPosition p, QSize size, const TBalloonMetrics& m);
// The one-pixel outline inside region.
QRegion RegionFrame(const QRegion& region);
// Where the text starts inside the window (client area inset by one pixel).
QPoint BalloonTextOrigin(TBalloonPosition p, const TBalloonMetrics& m);

// How a balloon is revealed.
enum class TBalloonReveal : std::uint8_t { None, Fade, SlideDown, SlideUp };
// The reveal for the system settings, the time since the previous hint, the
// text's length in characters, the window's top and the pointer's row.
TBalloonReveal ChooseReveal(bool animate, bool fade, qint64 msSincePrevious, qsizetype textLength,
                            int windowTop, int pointerY);
