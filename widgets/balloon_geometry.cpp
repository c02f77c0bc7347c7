#include "widgets/balloon_geometry.h"

namespace {

using P = TBalloonPosition;

// The corner ellipse of the body.
constexpr double kCornerRadius = 11 / 2.0;
// The window is this much higher than the measured rectangle.
constexpr int kBoundsExtra = 4;
// Longer texts are shown at once: animating them is slow to read.
constexpr qsizetype kAnimateBelowChars = 100;
// Hints following each other this closely are not animated.
constexpr qint64 kAnimateAfterMs = 250;

}  // namespace

TBalloonMetrics BalloonMetrics(bool headerOrIcon) {
  TBalloonMetrics m;
  if (headerOrIcon) {
    m.StemHeight = 16;
    m.StemWidth = 16;
    m.StemOffset = 15;
  }
  return m;
}

QSize BalloonRectSize(QSize textSize, const TBalloonMetrics& m) {
  // An empty text measures nothing, not even its margins.
  QSize message =
      textSize.isEmpty() ? QSize(0, 0) : QSize(textSize.width() + 27, textSize.height());
  return QSize(message.width(), m.HeaderHeight + message.height() + m.StemHeight + 13);
}

TBalloonPosition MakePosition(bool left, bool down) {
  if (down) return left ? P::bpLeftDown : P::bpRightDown;
  return left ? P::bpLeftUp : P::bpRightUp;
}

QPoint AnchorOffset(TBalloonPosition p, QSize size, int stemOffset, int cursorHeight) {
  int x = IsLeft(p) ? -(size.width() - stemOffset) : -stemOffset;
  int y = IsDown(p) ? 0 : -(size.height() + cursorHeight);
  return QPoint(x, y);
}

QPoint StemPoint(TBalloonPosition p, const TRect& rect, int stemOffset) {
  int x = IsLeft(p) ? rect.Right - stemOffset : rect.Left + stemOffset;
  int y = IsDown(p) ? rect.Top : rect.Bottom;
  return QPoint(x, y);
}

TRect Reanchor(const TRect& rect, TBalloonPosition from, TBalloonPosition to, int stemOffset,
               int cursorHeight) {
  QSize size(rect.Width(), rect.Height());
  QPoint move = AnchorOffset(to, size, stemOffset, cursorHeight) -
                AnchorOffset(from, size, stemOffset, cursorHeight);
  return rect.Offset(move.x(), move.y());
}

TBalloonPosition AutoPosition(QPoint stem, const TRect& workArea) {
  bool up = 2 * stem.y() < workArea.Top + workArea.Bottom;
  bool left = 2 * stem.x() < workArea.Left + workArea.Right;
  return MakePosition(left, !up);
}

TBalloonPlacement PlaceBalloon(const TRect& rect, TBalloonPosition position, const TRect& workArea,
                               int stemOffset, int cursorHeight) {
  TRect r = rect;
  P pos = position;
  if (pos == P::bpAuto) {
    pos = AutoPosition(StemPoint(P::bpLeftDown, r, stemOffset), workArea);
    if (pos != P::bpLeftDown) r = Reanchor(r, P::bpLeftDown, pos, stemOffset, cursorHeight);
  }

  // Each test sees the placement the one before left, on the rectangle as it stands.
  P fitted = pos;
  if (IsDown(fitted) && r.Bottom > workArea.Bottom) fitted = MakePosition(IsLeft(fitted), false);
  if (!IsLeft(fitted) && r.Right > workArea.Right) fitted = MakePosition(true, IsDown(fitted));
  if (IsLeft(fitted) && r.Left < workArea.Left) fitted = MakePosition(false, IsDown(fitted));
  if (!IsDown(fitted) && r.Top < workArea.Top) fitted = MakePosition(IsLeft(fitted), true);
  if (fitted != pos) {
    r = Reanchor(r, pos, fitted, stemOffset, cursorHeight);
    pos = fitted;
  }

  if (r.Left < workArea.Left) {
    P right = MakePosition(false, IsDown(pos));
    r = Reanchor(r, pos, right, stemOffset, cursorHeight);
    pos = right;
  }
  if (r.Top < workArea.Top) {
    P down = MakePosition(IsLeft(pos), true);
    r = Reanchor(r, pos, down, stemOffset, cursorHeight);
    pos = down;
  }
  return TBalloonPlacement{pos, r};
}

int BodyOffset(TBalloonPosition p, const TBalloonMetrics& m) {
  return IsDown(p) ? m.StemHeight : 0;
}

TRect BalloonBounds(const TRect& rect) {
  TRect b = rect;
  b.Bottom += kBoundsExtra;
  return b;
}

TRect ConfineToDesktop(const TRect& bounds, const TRect& desktop) {
  TRect b = bounds;
  if (b.Bottom > desktop.Bottom) b = b.Offset(0, desktop.Bottom - b.Bottom);
  if (b.Right > desktop.Right) b = b.Offset(desktop.Right - b.Right, 0);
  if (b.Left < desktop.Left) b = b.Offset(desktop.Left - b.Left, 0);
  if (b.Top < desktop.Top) b = b.Offset(0, desktop.Top - b.Top);
  return b;
}

QPolygon StemTriangle(TBalloonPosition p, QSize size, const TBalloonMetrics& m) {
  const int w = size.width();
  const int h = size.height();
  const int sh = m.StemHeight;
  const int sw = m.StemWidth;
  const int so = m.StemOffset;
  // The vertical side lies on the stem point's column, the tip on the outer edge.
  int column = IsLeft(p) ? w - so - 1 : so + 1;
  int far = IsLeft(p) ? w - so - sw - 2 : so + sw + 2;
  int tip = IsDown(p) ? 0 : h;
  int base = IsDown(p) ? sh + 1 : h - sh - 1;
  QPolygon triangle;
  triangle << QPoint(column, tip) << QPoint(column, base) << QPoint(far, base);
  return triangle;
}

QPainterPath BodyPath(TBalloonPosition p, QSize size, const TBalloonMetrics& m) {
  const int w = size.width();
  const int h = size.height();
  int top = IsDown(p) ? m.StemHeight + 1 : 1;
  int bottom = IsDown(p) ? h - 3 : h - m.StemHeight;
  QPainterPath path;
  if (w > 1 && bottom > top) {
    path.addRoundedRect(QRectF(1, top, w - 1, bottom - top), kCornerRadius, kCornerRadius,
                        Qt::AbsoluteSize);
  }
  return path;
}

QRegion BalloonShape(TBalloonPosition p, QSize size, const TBalloonMetrics& m) {
  QRegion body(BodyPath(p, size, m).toFillPolygon().toPolygon());
  return body.united(QRegion(StemTriangle(p, size, m)));
}

QRegion RegionFrame(const QRegion& region) {
  QRegion inner = region.intersected(region.translated(1, 0))
                      .intersected(region.translated(-1, 0))
                      .intersected(region.translated(0, 1))
                      .intersected(region.translated(0, -1));
  return region.subtracted(inner);
}

QPoint BalloonTextOrigin(TBalloonPosition p, const TBalloonMetrics& m) {
  // The client area starts inside the window's one-pixel frame.
  return QPoint(1 + 12, 1 + BodyOffset(p, m) + m.MessageTop);
}

TBalloonReveal ChooseReveal(bool animate, bool fade, qint64 msSincePrevious, qsizetype textLength,
                            int windowTop, int pointerY) {
  if (!animate || msSincePrevious <= kAnimateAfterMs || textLength >= kAnimateBelowChars) {
    return TBalloonReveal::None;
  }
  if (fade) return TBalloonReveal::Fade;
  return windowTop >= pointerY ? TBalloonReveal::SlideDown : TBalloonReveal::SlideUp;
}
