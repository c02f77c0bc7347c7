#include "app/controls.h"

#include <QBitmap>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QScreen>

#include <algorithm>

#include "framework/localtext.h"

TPanel::TPanel(TComponent* owner, QWidget* parent, const char* name)
    : TControl<QWidget>(owner, parent, name) {
  setAutoFillBackground(true);
}

void TPanel::paintEvent(QPaintEvent* /*event*/) {
  if (Caption.isEmpty()) return;
  QPainter painter(this);
  painter.setPen(palette().color(QPalette::WindowText));
  painter.drawText(rect(), Qt::AlignCenter, Caption);
}

TLabel::TLabel(TComponent* owner, QWidget* parent, const char* name, const QString& text)
    : TControl<QLabel>(owner, parent, name) {
  setText(text);
  setTextFormat(Qt::PlainText);
}

TGroupBox::TGroupBox(TComponent* owner, QWidget* parent, const char* name, const QString& caption)
    : TControl<QGroupBox>(owner, parent, name) {
  setTitle(caption);
}

TImage::TImage(TComponent* owner, QWidget* parent, const char* name)
    : TControl<QWidget>(owner, parent, name) {}

void TImage::SetPicture(const QPixmap& picture) {
  picture_ = picture;
  update();
}

void TImage::paintEvent(QPaintEvent* /*event*/) {
  if (picture_.isNull()) return;
  QPainter painter(this);
  painter.drawPixmap(0, 0, picture_);
}

TSpeedButton::TSpeedButton(TComponent* owner, QWidget* parent, const char* name)
    : TControl<QToolButton>(owner, parent, name) {
  setFocusPolicy(Qt::NoFocus);
  setAutoRaise(false);
  QObject::connect(this, &QToolButton::clicked, this, [this] {
    Guarded([this] {
      if (OnClick) OnClick(this);
    });
  });
}

namespace {

// Milliseconds between two frames of the screen the program shows on.
int FrameInterval() {
  qreal rate = 60;
  if (QScreen* screen = QGuiApplication::primaryScreen()) rate = screen->refreshRate();
  if (rate < 1) rate = 60;
  return std::max(1, static_cast<int>(1000 / rate));
}

}  // namespace

TStatusPanel::TStatusPanel(QWidget* parent) : QWidget(parent) {
  setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  setMinimumWidth(0);
  pending_.setSingleShot(true);
  QObject::connect(&pending_, &QTimer::timeout, this, [this] { Repaint(); });
}

void TStatusPanel::SetText(const std::string& text) {
  text_ = text;
  const int interval = FrameInterval();
  if (!since_repaint_.isValid() || since_repaint_.elapsed() >= interval) {
    pending_.stop();
    Repaint();
  } else if (!pending_.isActive()) {
    pending_.start(static_cast<int>(interval - since_repaint_.elapsed()));
  }
}

void TStatusPanel::Repaint() {
  painted_ = FromLocalBytes(text_);
  since_repaint_.restart();
  update();
}

QString ElidePath(const QString& path, const QFontMetrics& metrics, int width) {
  if (metrics.horizontalAdvance(path) <= width) return path;
  const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
  if (slash > 0) {
    const QString folder = path.left(slash);
    const QString name = path.mid(slash);
    const QString cut =
        metrics.elidedText(folder, Qt::ElideRight, width - metrics.horizontalAdvance(name));
    // Nothing of the folder fits, or the pieces kern wider than the whole.
    if (!cut.isEmpty() && cut != folder && metrics.horizontalAdvance(cut + name) <= width) {
      return cut + name;
    }
  }
  return metrics.elidedText(path, Qt::ElideLeft, width);
}

QRect TStatusPanel::TextArea() const {
  return rect().adjusted(2, 0, -2, 0);
}

QString TStatusPanel::Shown() const {
  return ElidePath(painted_, fontMetrics(), TextArea().width());
}

void TStatusPanel::paintEvent(QPaintEvent* /*event*/) {
  QPainter painter(this);
  painter.setPen(palette().color(QPalette::WindowText));
  painter.drawText(TextArea(), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, Shown());
}

TStatusBar::TStatusBar(TComponent* owner, QWidget* parent, const char* name)
    : TControl<QStatusBar>(owner, parent, name), panel_(new TStatusPanel(this)) {
  setSizeGripEnabled(true);
  addWidget(panel_, 1);
}

QPixmap LoadPicture(const QString& resource, bool see_through) {
  QImage image(resource);
  if (image.isNull()) return {};
  QPixmap pixmap = QPixmap::fromImage(image);
  if (see_through) {
    QColor key = image.pixelColor(0, image.height() - 1);
    pixmap.setMask(pixmap.createMaskFromColor(key, Qt::MaskInColor));
  }
  return pixmap;
}
