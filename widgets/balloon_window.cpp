#include "widgets/balloon_window.h"

#include <QApplication>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QPainter>
#include <QScreen>
#include <QToolTip>

#include <limits>

#include "framework/forms.h"

namespace {

// The length of a reveal.
constexpr int kRevealMs = 100;
// The system's fallback cursor height, in device-independent pixels.
constexpr int kCursorHeight = 32;

QScreen* ScreenAt(QPoint p) {
  QScreen* s = QGuiApplication::screenAt(p);
  return s != nullptr ? s : QGuiApplication::primaryScreen();
}

TRect DefaultWorkArea(QPoint p) {
  QScreen* s = ScreenAt(p);
  return s != nullptr ? TRect::From(s->availableGeometry()) : TRect{};
}

TRect DefaultDesktop(QPoint p) {
  QScreen* s = ScreenAt(p);
  return s != nullptr ? TRect::From(s->virtualGeometry()) : TRect{};
}

constexpr int kTextFlags = Qt::TextWordWrap | Qt::TextExpandTabs;

}  // namespace

QSize MeasureHintText(const QString& text, const QFont& font, int maxWidth) {
  if (text.isEmpty()) return QSize(0, 0);
  // Mnemonics are left off by not passing Qt::TextShowMnemonic: "&" is drawn as it is.
  return QFontMetrics(font).boundingRect(QRect(0, 0, maxWidth, 0), kTextFlags, text).size();
}

int CursorHeight() {
  return kCursorHeight;
}

TBalloonWindow::TBalloonWindow()
    : QWidget(nullptr, Qt::ToolTip | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                           Qt::WindowDoesNotAcceptFocus | Qt::WindowTransparentForInput) {
  setAttribute(Qt::WA_ShowWithoutActivating);
  setAttribute(Qt::WA_TransparentForMouseEvents);
  setFocusPolicy(Qt::NoFocus);
  setFont(QToolTip::font());
  setObjectName(QStringLiteral("BalloonWindow"));
}

TBalloonWindow::~TBalloonWindow() {
  delete reveal_.data();
}

TRect TBalloonWindow::CalcHintRect(int maxWidth, const QString& text) {
  TBalloonSettings settings = TGlobalCtrl::Instance().ApplicationSettings();
  show_icon_ = settings.ShowIcon();
  show_header_ = settings.ShowHeader();
  header_ = QString::fromStdString(settings.DefaultHeader);
  position_ = settings.DefaultBalloonPosition;
  cursor_height_ = CursorHeight();
  metrics_ = BalloonMetrics(show_icon_ || show_header_);
  QSize size = BalloonRectSize(MeasureHintText(text, font(), maxWidth), metrics_);
  QPoint at = AnchorOffset(position_, size, metrics_.StemOffset, cursor_height_);
  body_offset_ = BodyOffset(position_, metrics_);
  return TRect{at.x(), at.y(), at.x() + size.width(), at.y() + size.height()};
}

void TBalloonWindow::ActivateHint(const TRect& rect, const QString& text, QPoint pointer) {
  if (isVisible()) ReleaseHint();
  text_ = text;
  QPoint stem =
      StemPoint(position_ == TBalloonPosition::bpAuto ? TBalloonPosition::bpLeftDown : position_,
                rect, metrics_.StemOffset);
  TRect work = WorkArea ? WorkArea(stem) : DefaultWorkArea(stem);
  TBalloonPlacement placed =
      PlaceBalloon(rect, position_, work, metrics_.StemOffset, cursor_height_);
  position_ = placed.Position;
  body_offset_ = BodyOffset(position_, metrics_);

  TRect bounds = BalloonBounds(placed.Rect);
  shape_ = BalloonShape(position_, QSize(bounds.Width(), bounds.Height()), metrics_);
  bounds = ConfineToDesktop(bounds, Desktop ? Desktop(stem) : DefaultDesktop(stem));
  setGeometry(bounds.ToQRect());
  // An empty shape would hide the whole window; it keeps its rectangle instead.
  if (shape_.isEmpty()) {
    clearMask();
  } else {
    setMask(shape_);
  }

  qint64 since =
      since_last_hint_.isValid() ? since_last_hint_.elapsed() : std::numeric_limits<qint64>::max();
  since_last_hint_.start();
  TBalloonReveal reveal = ChooseReveal(QApplication::isEffectEnabled(Qt::UI_AnimateTooltip),
                                       QApplication::isEffectEnabled(Qt::UI_FadeTooltip), since,
                                       text.size(), bounds.Top, pointer.y());
  if (reveal == TBalloonReveal::Fade) setWindowOpacity(0.0);
  show();
  Reveal(reveal);
  update();
}

void TBalloonWindow::ReleaseHint() {
  if (reveal_) reveal_->stop();
  hide();
  setWindowOpacity(1.0);
}

void TBalloonWindow::Reveal(TBalloonReveal reveal) {
  if (reveal == TBalloonReveal::None) return;
  if (reveal_ == nullptr) reveal_ = new QVariantAnimation(this);
  reveal_->stop();
  reveal_->disconnect();
  reveal_->setDuration(kRevealMs);
  reveal_->setStartValue(0.0);
  reveal_->setEndValue(1.0);
  QObject::connect(reveal_, &QVariantAnimation::valueChanged, this,
                   [this, reveal](const QVariant& v) {
                     Guarded([&] {
                       double part = v.toDouble();
                       if (reveal == TBalloonReveal::Fade) {
                         setWindowOpacity(part);
                         return;
                       }
                       // A slide uncovers the shape from the stem's side of the window onwards.
                       int shown = static_cast<int>(height() * part);
                       QRect open = reveal == TBalloonReveal::SlideDown
                                        ? QRect(0, 0, width(), shown)
                                        : QRect(0, height() - shown, width(), shown);
                       QRegion whole = shape_.isEmpty() ? QRegion(rect()) : shape_;
                       QRegion visible = whole.intersected(open);
                       setMask(visible.isEmpty() ? QRegion(0, 0, 1, 1) : visible);
                     });
                   });
  QObject::connect(reveal_, &QVariantAnimation::finished, this, [this] {
    Guarded([this] {
      setWindowOpacity(1.0);
      if (!shape_.isEmpty()) setMask(shape_);
    });
  });
  reveal_->start();
}

void TBalloonWindow::paintEvent(QPaintEvent*) {
  Guarded([this] {
    QPainter p(this);
    QRegion shape = shape_.isEmpty() ? QRegion(rect()) : shape_;
    QColor fill = ToQColor(Color, palette());
    for (const QRect& r : shape) p.fillRect(r, fill);
    for (const QRect& r : RegionFrame(shape)) p.fillRect(r, Qt::black);
    p.setPen(ToQColor(clInfoText, palette()));
    p.setFont(font());
    QPoint origin = BalloonTextOrigin(position_, metrics_);
    p.drawText(QRect(origin, QPoint(width() - 1, height() - 1)), kTextFlags, text_);
  });
}

void TBalloonWindow::showEvent(QShowEvent* event) {
  // The platform may drop the mask while the window is hidden.
  Guarded([this] {
    if (!shape_.isEmpty()) setMask(shape_);
  });
  QWidget::showEvent(event);
}
