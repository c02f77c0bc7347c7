#include "widgets/gradient.h"

#include <QEvent>
#include <QLayout>
#include <QPaintEvent>

#include <algorithm>
#include <cmath>

namespace {

// Round to nearest with halves to the even neighbour (the default rounding mode).
int RoundEven(double v) {
  return static_cast<int>(std::nearbyint(v));
}

QColor ToQt(TRGB c) {
  return QColor(c.R, c.G, c.B);
}

int Channel(int start, int end, int n, int i) {
  double delta = static_cast<double>(end - start) / n;
  return std::clamp(RoundEven(start + i * delta), 0, 255);
}

// Bands laid side by side along one axis of length extent; the last band
// (i == n) starts at the far edge and so never shows.
template <class Fill>
void Stripes(TRGB start, TRGB end, int n, int extent, Fill fill) {
  double j = static_cast<double>(extent) / n;
  for (int i = 0; i <= n; ++i) {
    int from = RoundEven(i * j);
    int to = RoundEven((i + 1) * j);
    if (to > from) fill(from, to, ToQt(GradientBandColor(start, end, n, i)));
  }
}

void Nested(QPainter& p, TGradientStyle style, TRGB start, TRGB end, int n, int w, int h) {
  double jx = static_cast<double>(w) / n / 2;
  double ky = static_cast<double>(h) / n / 2;
  for (int i = 0; i <= n; ++i) {
    int top = RoundEven(i * ky);
    int bottom = h - top;
    int left = RoundEven(i * jx);
    int right = w - left;
    if (right <= left || bottom <= top) continue;
    QColor color = ToQt(GradientBandColor(start, end, n, i));
    if (style == TGradientStyle::grPyramid) {
      p.fillRect(QRect(left, top, right - left, bottom - top), color);
      continue;
    }
    // An aliased one-pixel outline covers one pixel more than the rectangle's
    // width, so the rectangle is one short to keep right and bottom excluded.
    QRect bounds(left, top, right - left - 1, bottom - top - 1);
    p.setPen(color);
    p.setBrush(color);
    if (style == TGradientStyle::grEllipse) {
      p.drawEllipse(bounds);
    } else {
      double rx = ((right - left) / 2) / 2.0;
      double ry = ((bottom - top) / 2) / 2.0;
      p.drawRoundedRect(bounds, rx, ry, Qt::AbsoluteSize);
    }
  }
}

}  // namespace

TRGB GradientBandColor(TRGB start, TRGB end, int n, int i) {
  if (n < 1) n = 1;
  return TRGB{Channel(start.R, end.R, n, i), Channel(start.G, end.G, n, i),
              Channel(start.B, end.B, n, i)};
}

int GradientBandCount(TGradientStyle style, int steps, QSize size) {
  int n = steps;
  switch (style) {
    case TGradientStyle::grFilled:
      return 1;
    case TGradientStyle::grHorizontal:
      n = std::min(n, size.width());
      break;
    case TGradientStyle::grVertical:
      n = std::min(n, size.height());
      break;
    case TGradientStyle::grEllipse:
    case TGradientStyle::grPyramid:
    case TGradientStyle::grMount:
      n = std::min(n, size.width() / 2);
      n = std::min(n, size.height() / 2);
      break;
  }
  return std::max(n, 1);
}

QImage RenderGradient(TGradientStyle style, TRGB start, TRGB end, int steps, QSize size) {
  if (size.width() <= 0 || size.height() <= 0) return QImage();
  QImage image(size, QImage::Format_RGB32);
  const int w = size.width();
  const int h = size.height();
  const int n = GradientBandCount(style, steps, size);
  QPainter p(&image);
  switch (style) {
    case TGradientStyle::grVertical:
      Stripes(start, end, n, h,
              [&](int y0, int y1, const QColor& c) { p.fillRect(QRect(0, y0, w, y1 - y0), c); });
      break;
    case TGradientStyle::grHorizontal:
      Stripes(start, end, n, w,
              [&](int x0, int x1, const QColor& c) { p.fillRect(QRect(x0, 0, x1 - x0, h), c); });
      break;
    case TGradientStyle::grFilled:
      p.fillRect(image.rect(), ToQt(start));
      break;
    case TGradientStyle::grEllipse:
    case TGradientStyle::grPyramid:
    case TGradientStyle::grMount:
      p.fillRect(image.rect(), ToQt(start));
      Nested(p, style, start, end, n, w, h);
      break;
  }
  return image;
}

TGradient::TGradient(TComponent* owner, QWidget* parent, const char* name)
    : TControl<QWidget>(owner, parent, name) {
  // Every pixel is ours: Qt need not clear the area before we paint it.
  setAttribute(Qt::WA_OpaquePaintEvent);
  if (parent != nullptr) parent->installEventFilter(this);
  FollowParent();
}

void TGradient::Changed() {
  last_width_ = 0;
  update();
}

void TGradient::SetStyle(TGradientStyle style) {
  if (style == style_) return;
  style_ = style;
  Changed();
}

void TGradient::SetStartColor(TColor color) {
  if (color == start_) return;
  start_ = color;
  Changed();
}

void TGradient::SetEndColor(TColor color) {
  if (color == end_) return;
  end_ = color;
  Changed();
}

void TGradient::SetSteps(std::uint16_t steps) {
  if (steps == steps_) return;
  steps_ = steps;
  Changed();
}

void TGradient::SetAlign(TAlign align) {
  if (align == align_) return;
  align_ = align;
  FollowParent();
}

void TGradient::FollowParent() {
  QWidget* parent = parentWidget();
  if (align_ != TAlign::alClient || parent == nullptr) return;
  // A layout that holds the band places it; fighting it would make the band jump.
  if (parent->layout() != nullptr && parent->layout()->indexOf(this) >= 0) return;
  setGeometry(parent->contentsRect());
}

void TGradient::Paint(QPainter& painter) {
  const int w = width();
  const int h = height();
  if (w != last_width_ || h != last_height_) {
    // System colours are looked up now, so a theme change shows at the next rendering.
    last_start_ = ColorToRGB(start_, palette());
    last_end_ = ColorToRGB(end_, palette());
    last_width_ = w;
    last_height_ = h;
    if (w == 0 || h == 0) {
      buffer_ = QImage();
      return;
    }
    last_bands_ = GradientBandCount(style_, steps_, QSize(w, h));
    buffer_ = RenderGradient(style_, last_start_, last_end_, steps_, QSize(w, h));
    ++renders_;
  }
  if (!buffer_.isNull()) painter.drawImage(0, 0, buffer_);
}

TColor TGradient::BandColor(int i) const {
  return RGBToColor(GradientBandColor(last_start_, last_end_, last_bands_, i));
}

void TGradient::paintEvent(QPaintEvent*) {
  Guarded([this] {
    QPainter painter(this);
    Paint(painter);
  });
}

bool TGradient::eventFilter(QObject* watched, QEvent* event) {
  if (watched == parentWidget() &&
      (event->type() == QEvent::Resize || event->type() == QEvent::ContentsRectChange)) {
    Guarded([this] { FollowParent(); });
  }
  return false;
}
