#pragma once
// A decorative band that paints a colour gradient over its whole area. The
// gradient is rendered once into an off-screen image, kept until the band's
// size or one of its properties changes, and copied to the screen on every
// paint.

#include <QImage>
#include <QPainter>
#include <QSize>
#include <QWidget>

#include <cstdint>

#include "framework/forms.h"
#include "widgets/colors.h"

// The shape of a gradient.
enum class TGradientStyle : std::uint8_t {
  grFilled = 0,
  grEllipse = 1,
  grHorizontal = 2,
  grVertical = 3,
  grPyramid = 4,
  grMount = 5,
};

// How a control places itself in its parent.
enum class TAlign : std::uint8_t { alNone, alClient };

// The colour of band i of n between start and end, each channel rounded half to even.
TRGB GradientBandColor(TRGB start, TRGB end, int n, int i);
// The number of bands style draws over size when steps are wanted.
int GradientBandCount(TGradientStyle style, int steps, QSize size);
// The whole gradient rendered into a new opaque image of size (null when empty).
QImage RenderGradient(TGradientStyle style, TRGB start, TRGB end, int steps, QSize size);

// The gradient band. With Align alClient (the default) it follows its
// parent's contents rectangle (the parent's area less its contents margins)
// through an event filter on the parent, unless a layout of the parent holds
// it; with alNone its geometry is left to the caller.
class TGradient : public TControl<QWidget> {
 public:
  // A band named name, filling parent.
  TGradient(TComponent* owner, QWidget* parent, const char* name);

  TGradientStyle Style() const { return style_; }
  // Changes the shape; the next paint renders again.
  void SetStyle(TGradientStyle style);
  // The colour of the outer edge (the first band).
  TColor StartColor() const { return start_; }
  // Changes the start colour; the next paint renders again.
  void SetStartColor(TColor color);
  // The colour towards the far edge or the centre.
  TColor EndColor() const { return end_; }
  // Changes the end colour; the next paint renders again.
  void SetEndColor(TColor color);
  std::uint16_t Steps() const { return steps_; }
  // Changes the number of bands; the next paint renders again.
  void SetSteps(std::uint16_t steps);
  TAlign Align() const { return align_; }
  // Changes the placement rule; alClient fills the parent at once.
  void SetAlign(TAlign align);

  // Draws the band at the painter's origin, rendering first when needed.
  void Paint(QPainter& painter);
  // How many times the gradient has been rendered.
  int RenderCount() const { return renders_; }
  // The colour of band i at the last rendering, as 0x00BBGGRR.
  TColor BandColor(int i) const;
  // The rendered image (null before the first rendering or at an empty size).
  const QImage& Buffer() const { return buffer_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Changed();
  void FollowParent();

  TGradientStyle style_ = TGradientStyle::grHorizontal;
  TColor start_ = clBlue;
  TColor end_ = clBlack;
  std::uint16_t steps_ = 100;
  TAlign align_ = TAlign::alClient;
  QImage buffer_;
  int last_width_ = 0;
  int last_height_ = 0;
  TRGB last_start_;
  TRGB last_end_;
  int last_bands_ = 1;
  int renders_ = 0;
};
