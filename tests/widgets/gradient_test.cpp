#include <QPainter>
#include <QTest>
#include <QVBoxLayout>
#include <QWidget>

#include <gtest/gtest.h>

#include "widgets/gradient.h"

namespace {

constexpr TRGB kFace{212, 208, 200};
constexpr TRGB kWhite{255, 255, 255};
constexpr TRGB kBlack{0, 0, 0};

TRGB Pixel(const QImage& image, int x, int y) {
  QRgb p = image.pixel(x, y);
  return TRGB{qRed(p), qGreen(p), qBlue(p)};
}

// Paints the band as a paint event would, into an image of its size.
QImage PaintOnce(TGradient& g) {
  QImage target(g.size().expandedTo(QSize(1, 1)), QImage::Format_RGB32);
  target.fill(Qt::magenta);
  QPainter p(&target);
  g.Paint(p);
  return target;
}

// A palette whose window colour (the button face here) is the classic grey.
QPalette FacePalette(TRGB face) {
  QPalette pal;
  pal.setColor(QPalette::Window, QColor(face.R, face.G, face.B));
  return pal;
}

}  // namespace

TEST(Gradient, VerticalRowsFollowTheWorkedExample) {
  QImage image = RenderGradient(TGradientStyle::grVertical, kFace, kWhite, 100, QSize(7, 41));
  ASSERT_EQ(image.size(), QSize(7, 41));
  EXPECT_EQ(Pixel(image, 0, 0), (TRGB{212, 208, 200}));
  EXPECT_EQ(Pixel(image, 6, 1), (TRGB{213, 209, 201}));
  EXPECT_EQ(Pixel(image, 3, 20), (TRGB{233, 231, 227}));
  EXPECT_EQ(Pixel(image, 0, 40), (TRGB{254, 254, 254}));
  // One band per row, whole rows, and the end colour itself never shows.
  for (int y = 0; y < 41; ++y) {
    for (int x = 0; x < 7; ++x) {
      ASSERT_EQ(Pixel(image, x, y), GradientBandColor(kFace, kWhite, 41, y)) << "row " << y;
    }
  }
}

TEST(Gradient, BandBoundariesRoundHalfToEven) {
  // From black to white each of the first bands has its own shade.
  QImage image = RenderGradient(TGradientStyle::grVertical, kBlack, kWhite, 100, QSize(3, 250));
  const int firstRows[] = {0, 2, 5, 8, 10, 12, 15};
  for (int band = 0; band < 6; ++band) {
    TRGB want = GradientBandColor(kBlack, kWhite, 100, band);
    for (int y = firstRows[band]; y < firstRows[band + 1]; ++y) {
      EXPECT_EQ(Pixel(image, 1, y), want) << "band " << band << " row " << y;
    }
  }
  EXPECT_NE(Pixel(image, 1, 1), Pixel(image, 1, 2));
  // 250 / 100 bands of 2.5 rows: the last visible band is 99, not the end colour.
  EXPECT_EQ(Pixel(image, 0, 249), GradientBandColor(kBlack, kWhite, 100, 99));
}

TEST(Gradient, BandColourRoundsHalvesToEven) {
  // 0.5 goes down to 0, 1.5 up to 2, 2.5 down to 2.
  EXPECT_EQ(GradientBandColor(kBlack, TRGB{1, 3, 5}, 2, 1), (TRGB{0, 2, 2}));
  EXPECT_EQ(GradientBandColor(kFace, kWhite, 41, 0), kFace);
  EXPECT_EQ(GradientBandColor(kFace, kWhite, 41, 41), kWhite);
  // Descending channels and equal ends.
  EXPECT_EQ(GradientBandColor(kWhite, kBlack, 2, 1), (TRGB{128, 128, 128}));
  EXPECT_EQ(GradientBandColor(kFace, kFace, 7, 5), kFace);
}

TEST(Gradient, HorizontalBandsRunAcross) {
  QImage image = RenderGradient(TGradientStyle::grHorizontal, kBlack, kWhite, 100, QSize(250, 2));
  EXPECT_EQ(Pixel(image, 1, 1), GradientBandColor(kBlack, kWhite, 100, 0));
  EXPECT_EQ(Pixel(image, 2, 0), GradientBandColor(kBlack, kWhite, 100, 1));
  EXPECT_EQ(Pixel(image, 249, 1), GradientBandColor(kBlack, kWhite, 100, 99));
  // Narrower than the steps: one band per column.
  QImage narrow = RenderGradient(TGradientStyle::grHorizontal, kBlack, kWhite, 100, QSize(10, 3));
  for (int x = 0; x < 10; ++x)
    EXPECT_EQ(Pixel(narrow, x, 2), GradientBandColor(kBlack, kWhite, 10, x));
}

TEST(Gradient, StepsZeroAndOneFillWithTheStartColour) {
  for (TGradientStyle style : {TGradientStyle::grVertical, TGradientStyle::grHorizontal}) {
    for (int steps : {0, 1}) {
      QImage image = RenderGradient(style, kFace, kBlack, steps, QSize(9, 13));
      for (int y = 0; y < 13; ++y) {
        for (int x = 0; x < 9; ++x) ASSERT_EQ(Pixel(image, x, y), kFace) << steps;
      }
    }
  }
}

TEST(Gradient, EqualColoursGiveOneColourInEveryStyle) {
  for (int s = 0; s <= 5; ++s) {
    QImage image = RenderGradient(static_cast<TGradientStyle>(s), kFace, kFace, 100, QSize(30, 20));
    for (int y = 0; y < 20; ++y) {
      for (int x = 0; x < 30; ++x) ASSERT_EQ(Pixel(image, x, y), kFace) << "style " << s;
    }
  }
}

TEST(Gradient, NestedStylesShrinkTowardsTheCentre) {
  // 20 by 20 allows 10 bands with an inset of one pixel each.
  QImage pyramid = RenderGradient(TGradientStyle::grPyramid, kBlack, kWhite, 100, QSize(20, 20));
  for (int y = 0; y < 20; ++y) {
    for (int x = 0; x < 20; ++x) {
      int band = std::min(std::min(x, y), std::min(19 - x, 19 - y));
      ASSERT_EQ(Pixel(pyramid, x, y), GradientBandColor(kBlack, kWhite, 10, band)) << x << "," << y;
    }
  }
  for (TGradientStyle style : {TGradientStyle::grEllipse, TGradientStyle::grMount}) {
    QImage image = RenderGradient(style, kBlack, kWhite, 100, QSize(40, 40));
    // Corners stay in the start colour; the centre is near the end colour.
    EXPECT_EQ(Pixel(image, 0, 0), kBlack);
    EXPECT_EQ(Pixel(image, 39, 39), kBlack);
    EXPECT_GT(Pixel(image, 19, 19).R, 200);
    EXPECT_LT(Pixel(image, 19, 1).R, Pixel(image, 19, 10).R);
  }
  // Filled ignores the end colour and the steps.
  QImage filled = RenderGradient(TGradientStyle::grFilled, kFace, kWhite, 100, QSize(5, 5));
  EXPECT_EQ(Pixel(filled, 4, 4), kFace);
}

TEST(Gradient, EmptySizeDrawsNothing) {
  EXPECT_TRUE(
      RenderGradient(TGradientStyle::grVertical, kFace, kWhite, 100, QSize(0, 41)).isNull());
  EXPECT_TRUE(RenderGradient(TGradientStyle::grEllipse, kFace, kWhite, 100, QSize(41, 0)).isNull());
  // A tiny nested gradient still has one band.
  EXPECT_FALSE(RenderGradient(TGradientStyle::grMount, kFace, kWhite, 100, QSize(1, 1)).isNull());

  TGradient g(nullptr, nullptr, "Gradient1");
  g.resize(0, 41);
  QImage target = PaintOnce(g);
  EXPECT_EQ(g.RenderCount(), 0);
  EXPECT_EQ(target.pixel(0, 0), QColor(Qt::magenta).rgb());
}

TEST(Gradient, DefaultsAndOpacity) {
  TGradient g(nullptr, nullptr, "Gradient1");
  EXPECT_EQ(g.Style(), TGradientStyle::grHorizontal);
  EXPECT_EQ(g.StartColor(), clBlue);
  EXPECT_EQ(g.EndColor(), clBlack);
  EXPECT_EQ(g.Steps(), 100);
  EXPECT_EQ(g.Align(), TAlign::alClient);
  EXPECT_TRUE(g.testAttribute(Qt::WA_OpaquePaintEvent));
  EXPECT_EQ(g.Name, "Gradient1");
  EXPECT_EQ(g.objectName(), QStringLiteral("Gradient1"));
}

TEST(Gradient, RendersAgainOnlyAfterResizeOrChange) {
  TGradient g(nullptr, nullptr, "Gradient1");
  g.setPalette(FacePalette(kFace));
  g.SetStyle(TGradientStyle::grVertical);
  g.SetStartColor(clBtnFace);
  g.SetEndColor(clWhite);
  g.resize(20, 41);
  PaintOnce(g);
  PaintOnce(g);
  EXPECT_EQ(g.RenderCount(), 1);

  // The same values change nothing.
  g.SetStyle(TGradientStyle::grVertical);
  g.SetStartColor(clBtnFace);
  g.SetEndColor(clWhite);
  g.SetSteps(100);
  PaintOnce(g);
  EXPECT_EQ(g.RenderCount(), 1);

  int renders = 1;
  g.SetStartColor(clBlack);
  PaintOnce(g);
  EXPECT_EQ(g.RenderCount(), ++renders);
  g.SetEndColor(clBlue);
  PaintOnce(g);
  EXPECT_EQ(g.RenderCount(), ++renders);
  g.SetSteps(3);
  PaintOnce(g);
  EXPECT_EQ(g.RenderCount(), ++renders);
  g.SetStyle(TGradientStyle::grPyramid);
  PaintOnce(g);
  EXPECT_EQ(g.RenderCount(), ++renders);
  g.resize(20, 42);
  PaintOnce(g);
  EXPECT_EQ(g.RenderCount(), ++renders);
  PaintOnce(g);
  EXPECT_EQ(g.RenderCount(), renders);
}

TEST(Gradient, SystemColoursResolveAtRenderingOnly) {
  TGradient g(nullptr, nullptr, "Gradient1");
  g.setPalette(FacePalette(kFace));
  g.SetStyle(TGradientStyle::grVertical);
  g.SetStartColor(clBtnFace);
  g.SetEndColor(clWhite);
  g.resize(10, 41);
  QImage first = PaintOnce(g);
  EXPECT_EQ(Pixel(first, 0, 0), kFace);
  EXPECT_EQ(g.BandColor(0), 0x00C8D0D4u);
  EXPECT_EQ(g.BandColor(20), RGBToColor(TRGB{233, 231, 227}));

  // A new theme shows only once the band renders again.
  g.setPalette(FacePalette(TRGB{10, 20, 30}));
  EXPECT_EQ(Pixel(PaintOnce(g), 0, 0), kFace);
  g.resize(10, 40);
  EXPECT_EQ(Pixel(PaintOnce(g), 0, 0), (TRGB{10, 20, 30}));
}

TEST(Gradient, ClientAlignFollowsTheParent) {
  // Qt tells a hidden widget of its new size only when it shows.
  QWidget panel;
  panel.resize(541, 41);
  panel.show();
  TGradient g(nullptr, &panel, "Gradient1");
  EXPECT_EQ(g.geometry(), QRect(0, 0, 541, 41));
  panel.resize(600, 50);
  EXPECT_EQ(g.geometry(), QRect(0, 0, 600, 50));
  // An inner border is left free.
  panel.setContentsMargins(10, 10, 10, 10);
  EXPECT_EQ(g.geometry(), QRect(10, 10, 580, 30));

  g.SetAlign(TAlign::alNone);
  g.setGeometry(10, 440, 521, 3);
  panel.resize(700, 60);
  EXPECT_EQ(g.geometry(), QRect(10, 440, 521, 3));
  g.SetAlign(TAlign::alClient);
  EXPECT_EQ(g.geometry(), QRect(10, 10, 680, 40));
}

TEST(Gradient, ALayoutHoldingTheBandPlacesIt) {
  QWidget panel;
  panel.resize(200, 100);
  auto* column = new QVBoxLayout(&panel);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  QWidget box;
  box.setFixedHeight(60);
  column->addWidget(&box);
  TGradient g(nullptr, &panel, "Gradient2");
  column->addWidget(&g, 1);
  panel.show();
  panel.resize(300, 120);
  QTRY_COMPARE(g.geometry(), QRect(0, 60, 300, 60));
  column->removeWidget(&box);
  column->removeWidget(&g);
}

TEST(Gradient, PaintEventCopiesTheBuffer) {
  QWidget panel;
  panel.setPalette(FacePalette(kFace));
  panel.resize(30, 41);
  TGradient g(nullptr, &panel, "Gradient1");
  g.SetStyle(TGradientStyle::grVertical);
  g.SetStartColor(clBtnFace);
  g.SetEndColor(clWhite);
  QImage shot = g.grab().toImage();
  ASSERT_EQ(shot.size(), QSize(30, 41));
  EXPECT_EQ(Pixel(shot, 15, 0), kFace);
  EXPECT_EQ(Pixel(shot, 15, 40), (TRGB{254, 254, 254}));
  EXPECT_EQ(g.RenderCount(), 1);
}
