// Draws the program's pictures and writes them in the file formats the window
// expects: the Mac and Windows pictures as 32-bit icons with alpha, the Unix
// picture as a 24-bit bitmap on white, the folder glyph as a 256-colour
// bitmap on magenta, the application icon in four sizes and three depths, and
// PNG copies of the icon for the desktop's icon theme.
//
// Usage: draw_pictures <output folder>

#include <QColor>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

void Put16(Bytes& b, unsigned v) {
  b.push_back(static_cast<std::uint8_t>(v & 0xFF));
  b.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
}

void Put32(Bytes& b, std::uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}

bool WriteFile(const QString& path, const Bytes& bytes) {
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
  return f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size())) ==
         static_cast<qint64>(bytes.size());
}

// Rows of a bitmap are padded to four bytes.
int RowBytes(int width, int bits) {
  return ((width * bits + 31) / 32) * 4;
}

// The 1-bit transparency mask of an icon image: set where the image is see-through.
void PutAndMask(Bytes& b, const QImage& img) {
  const int stride = RowBytes(img.width(), 1);
  for (int y = img.height() - 1; y >= 0; --y) {
    Bytes row(static_cast<std::size_t>(stride), 0);
    for (int x = 0; x < img.width(); ++x) {
      if (qAlpha(img.pixel(x, y)) < 128) row[static_cast<std::size_t>(x / 8)] |= 0x80 >> (x % 8);
    }
    b.insert(b.end(), row.begin(), row.end());
  }
}

void PutInfoHeader(Bytes& b, int width, int height, int bits, int colours, std::uint32_t size) {
  Put32(b, 40);
  Put32(b, static_cast<std::uint32_t>(width));
  Put32(b, static_cast<std::uint32_t>(height));
  Put16(b, 1);
  Put16(b, static_cast<unsigned>(bits));
  Put32(b, 0);
  Put32(b, size);
  Put32(b, 3780);  // 96 dpi
  Put32(b, 3780);
  Put32(b, static_cast<std::uint32_t>(colours));
  Put32(b, 0);
}

// An 8-bit copy of img over black, with a palette padded to 256 entries.
QImage ToIndexed(const QImage& img, QColor background) {
  QImage flat(img.size(), QImage::Format_RGB32);
  flat.fill(background);
  {
    QPainter p(&flat);
    p.drawImage(0, 0, img);
  }
  QImage indexed =
      flat.convertToFormat(QImage::Format_Indexed8, Qt::ThresholdDither | Qt::AvoidDither);
  QList<QRgb> table = indexed.colorTable();
  while (table.size() < 256) table.push_back(qRgb(0, 0, 0));
  indexed.setColorTable(table);
  return indexed;
}

// One image of an icon file, as the bitmap the icon directory points at.
Bytes IconImage(const QImage& argb, int bits) {
  const int w = argb.width();
  const int h = argb.height();
  Bytes b;
  if (bits == 32) {
    const std::uint32_t size = static_cast<std::uint32_t>(RowBytes(w, 32) * h + RowBytes(w, 1) * h);
    PutInfoHeader(b, w, 2 * h, 32, 0, size);
    for (int y = h - 1; y >= 0; --y) {
      for (int x = 0; x < w; ++x) {
        QRgb c = argb.pixel(x, y);  // straight (not premultiplied) alpha
        b.push_back(static_cast<std::uint8_t>(qBlue(c)));
        b.push_back(static_cast<std::uint8_t>(qGreen(c)));
        b.push_back(static_cast<std::uint8_t>(qRed(c)));
        b.push_back(static_cast<std::uint8_t>(qAlpha(c)));
      }
    }
  } else if (bits == 24) {
    const int stride = RowBytes(w, 24);
    PutInfoHeader(b, w, 2 * h, 24, 0, static_cast<std::uint32_t>(stride * h + RowBytes(w, 1) * h));
    for (int y = h - 1; y >= 0; --y) {
      Bytes row(static_cast<std::size_t>(stride), 0);
      for (int x = 0; x < w; ++x) {
        QRgb c = argb.pixel(x, y);
        if (qAlpha(c) < 128) c = qRgb(0, 0, 0);
        row[static_cast<std::size_t>(3 * x)] = static_cast<std::uint8_t>(qBlue(c));
        row[static_cast<std::size_t>(3 * x + 1)] = static_cast<std::uint8_t>(qGreen(c));
        row[static_cast<std::size_t>(3 * x + 2)] = static_cast<std::uint8_t>(qRed(c));
      }
      b.insert(b.end(), row.begin(), row.end());
    }
  } else {
    QImage indexed = ToIndexed(argb, Qt::black);
    const int stride = RowBytes(w, 8);
    PutInfoHeader(b, w, 2 * h, 8, 256, static_cast<std::uint32_t>(stride * h + RowBytes(w, 1) * h));
    for (QRgb c : indexed.colorTable()) Put32(b, c & 0xFFFFFF);
    for (int y = h - 1; y >= 0; --y) {
      Bytes row(static_cast<std::size_t>(stride), 0);
      for (int x = 0; x < w; ++x) {
        row[static_cast<std::size_t>(x)] = static_cast<std::uint8_t>(indexed.pixelIndex(x, y));
      }
      b.insert(b.end(), row.begin(), row.end());
    }
  }
  PutAndMask(b, argb);
  return b;
}

struct IconEntry {
  QImage image;
  int bits;
};

Bytes IconFile(const std::vector<IconEntry>& entries) {
  Bytes out;
  Put16(out, 0);
  Put16(out, 1);
  Put16(out, static_cast<unsigned>(entries.size()));
  std::vector<Bytes> images;
  for (const IconEntry& e : entries) images.push_back(IconImage(e.image, e.bits));
  std::uint32_t offset = 6 + 16 * static_cast<std::uint32_t>(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const IconEntry& e = entries[i];
    out.push_back(static_cast<std::uint8_t>(e.image.width() >= 256 ? 0 : e.image.width()));
    out.push_back(static_cast<std::uint8_t>(e.image.height() >= 256 ? 0 : e.image.height()));
    out.push_back(0);
    out.push_back(0);
    Put16(out, 1);
    Put16(out, static_cast<unsigned>(e.bits));
    Put32(out, static_cast<std::uint32_t>(images[i].size()));
    Put32(out, offset);
    offset += static_cast<std::uint32_t>(images[i].size());
  }
  for (const Bytes& img : images) out.insert(out.end(), img.begin(), img.end());
  return out;
}

Bytes BitmapFile(const QImage& img, int bits) {
  const int w = img.width();
  const int h = img.height();
  const int stride = RowBytes(w, bits);
  const int colours = bits == 8 ? 256 : 0;
  const std::uint32_t pixels = static_cast<std::uint32_t>(stride * h);
  const std::uint32_t offset = 14 + 40 + 4 * static_cast<std::uint32_t>(colours);
  Bytes b;
  b.push_back('B');
  b.push_back('M');
  Put32(b, offset + pixels);
  Put32(b, 0);
  Put32(b, offset);
  PutInfoHeader(b, w, h, bits, colours, pixels);
  if (bits == 8) {
    for (QRgb c : img.colorTable()) Put32(b, c & 0xFFFFFF);
  }
  for (int y = h - 1; y >= 0; --y) {
    Bytes row(static_cast<std::size_t>(stride), 0);
    for (int x = 0; x < w; ++x) {
      if (bits == 8) {
        row[static_cast<std::size_t>(x)] = static_cast<std::uint8_t>(img.pixelIndex(x, y));
      } else {
        QRgb c = img.pixel(x, y);
        row[static_cast<std::size_t>(3 * x)] = static_cast<std::uint8_t>(qBlue(c));
        row[static_cast<std::size_t>(3 * x + 1)] = static_cast<std::uint8_t>(qGreen(c));
        row[static_cast<std::size_t>(3 * x + 2)] = static_cast<std::uint8_t>(qRed(c));
      }
    }
    b.insert(b.end(), row.begin(), row.end());
  }
  return b;
}

// Every picture is drawn on a 48-unit square and scaled to its size.
QImage Canvas(int size) {
  QImage img(size, size, QImage::Format_ARGB32);
  img.fill(Qt::transparent);
  return img;
}

void Prepare(QPainter& p, int size) {
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / 48.0, size / 48.0);
}

// The glossy yellow ball that marks every format picture, over the lower right quarter.
void DrawSphere(QPainter& p) {
  const QPointF centre(36, 36);
  const qreal r = 10.5;
  QRadialGradient body(QPointF(32.5, 32.5), 15, QPointF(32.5, 32.5));
  body.setColorAt(0.0, QColor(255, 250, 170));
  body.setColorAt(0.45, QColor(255, 218, 30));
  body.setColorAt(1.0, QColor(196, 136, 0));
  p.setPen(QPen(QColor(150, 100, 0), 0.8));
  p.setBrush(body);
  p.drawEllipse(centre, r, r);
  QRadialGradient shine(QPointF(33, 31.5), 5.5);
  shine.setColorAt(0.0, QColor(255, 255, 255, 235));
  shine.setColorAt(1.0, QColor(255, 255, 255, 0));
  p.setPen(Qt::NoPen);
  p.setBrush(shine);
  p.drawEllipse(QPointF(33, 31.5), 6, 4.5);
}

QImage DrawMac(int size) {
  QImage img = Canvas(size);
  QPainter p(&img);
  Prepare(p, size);
  // A round fruit with a stalk and a leaf, in brushed grey.
  QPainterPath fruit;
  fruit.moveTo(24, 13);
  fruit.cubicTo(30, 8, 41, 10, 41, 23);
  fruit.cubicTo(41, 33, 34, 42, 29, 42);
  fruit.cubicTo(26, 42, 26, 40.5, 24, 40.5);
  fruit.cubicTo(22, 40.5, 22, 42, 19, 42);
  fruit.cubicTo(14, 42, 7, 33, 7, 23);
  fruit.cubicTo(7, 10, 18, 8, 24, 13);
  fruit.closeSubpath();
  QLinearGradient metal(8, 10, 38, 42);
  metal.setColorAt(0.0, QColor(225, 228, 232));
  metal.setColorAt(0.5, QColor(150, 155, 163));
  metal.setColorAt(1.0, QColor(88, 92, 100));
  p.setPen(QPen(QColor(60, 62, 68), 1.0));
  p.setBrush(metal);
  p.drawPath(fruit);
  p.setPen(QPen(QColor(90, 70, 40), 1.6, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(24, 13), QPointF(25.5, 7));
  QPainterPath leaf;
  leaf.moveTo(26, 8);
  leaf.cubicTo(28, 3, 34, 2, 36, 3);
  leaf.cubicTo(35, 7, 30, 10, 26, 8);
  p.setPen(QPen(QColor(40, 90, 30), 0.8));
  p.setBrush(QColor(90, 170, 60));
  p.drawPath(leaf);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(255, 255, 255, 110));
  p.drawEllipse(QPointF(15, 20), 3.5, 6);
  DrawSphere(p);
  return img;
}

QImage DrawPenguin(int size) {
  QImage img = Canvas(size);
  QPainter p(&img);
  Prepare(p, size);
  // Feet first, the body covers their heels.
  p.setPen(QPen(QColor(150, 90, 0), 0.8));
  p.setBrush(QColor(250, 175, 20));
  p.drawEllipse(QPointF(16, 42), 6, 3);
  p.drawEllipse(QPointF(30, 42), 6, 3);
  // Body and head.
  p.setPen(QPen(QColor(10, 10, 10), 0.8));
  p.setBrush(QColor(25, 25, 30));
  p.drawEllipse(QPointF(23, 28), 13, 14);
  p.drawEllipse(QPointF(23, 13), 8.5, 8.5);
  // Flippers.
  p.drawEllipse(QPointF(10.5, 28), 3.5, 8);
  p.drawEllipse(QPointF(35.5, 28), 3.5, 8);
  // Belly and face.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(250, 250, 245));
  p.drawEllipse(QPointF(23, 30), 9, 11);
  p.drawEllipse(QPointF(23, 15), 5.5, 5);
  // Eyes.
  p.setBrush(Qt::white);
  p.drawEllipse(QPointF(20.5, 11.5), 2.2, 2.8);
  p.drawEllipse(QPointF(25.5, 11.5), 2.2, 2.8);
  p.setBrush(Qt::black);
  p.drawEllipse(QPointF(21, 12), 1.0, 1.3);
  p.drawEllipse(QPointF(25, 12), 1.0, 1.3);
  // Beak.
  QPainterPath beak;
  beak.moveTo(19, 16);
  beak.quadTo(23, 13.5, 27, 16);
  beak.quadTo(23, 19.5, 19, 16);
  p.setPen(QPen(QColor(150, 90, 0), 0.6));
  p.setBrush(QColor(250, 180, 30));
  p.drawPath(beak);
  DrawSphere(p);
  return img;
}

QImage DrawWindowPanes(int size) {
  QImage img = Canvas(size);
  QPainter p(&img);
  Prepare(p, size);
  // A window frame in perspective-free front view, four coloured panes.
  p.setPen(QPen(QColor(40, 40, 60), 1.2));
  p.setBrush(QColor(230, 232, 240));
  p.drawRoundedRect(QRectF(5, 6, 38, 36), 3, 3);
  const QColor panes[4] = {QColor(230, 70, 40), QColor(90, 180, 50), QColor(40, 120, 220),
                           QColor(250, 190, 20)};
  const QRectF cells[4] = {QRectF(8, 9, 15.5, 14.5), QRectF(24.5, 9, 15.5, 14.5),
                           QRectF(8, 24.5, 15.5, 14.5), QRectF(24.5, 24.5, 15.5, 14.5)};
  for (int i = 0; i < 4; ++i) {
    QLinearGradient g(cells[i].topLeft(), cells[i].bottomRight());
    g.setColorAt(0.0, panes[i].lighter(135));
    g.setColorAt(1.0, panes[i].darker(115));
    p.setPen(QPen(panes[i].darker(160), 0.6));
    p.setBrush(g);
    p.drawRect(cells[i]);
  }
  DrawSphere(p);
  return img;
}

// An opened folder with a green arrow diving into it, pixel by pixel.
QImage DrawFolderGlyph() {
  static const char* const rows[16] = {
      "................",  //
      ".........GG.....",  //
      ".........GG.....",  //
      ".........GG.....",  //
      ".kkkk....GG.....",  //
      "kyyyyk...GG.....",  //
      "kyyyyykGGGGGGk..",  //
      "kyyyyyyyGGGGyk..",  //
      "kyyykkkkkGGkkkkk",  //
      "kyyk##########k.",  //
      "kyk##########k..",  //
      "kyk#########k...",  //
      "kk#########k....",  //
      "k#########k.....",  //
      "kkkkkkkkkkk.....",  //
      "................",  //
  };

  QImage img(16, 16, QImage::Format_Indexed8);
  QList<QRgb> table;
  table << qRgb(255, 0, 255)    // see-through
        << qRgb(0, 0, 0)        // outline
        << qRgb(255, 255, 128)  // back of the folder
        << qRgb(224, 176, 32)   // front flap
        << qRgb(0, 160, 0);     // arrow
  while (table.size() < 256) table.push_back(qRgb(0, 0, 0));
  img.setColorTable(table);
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 16; ++x) {
      int index = 0;
      switch (rows[y][x]) {
        case 'k':
          index = 1;
          break;
        case 'y':
          index = 2;
          break;
        case '#':
          index = 3;
          break;
        case 'G':
          index = 4;
          break;
        default:
          index = 0;
      }
      img.setPixel(x, y, static_cast<uint>(index));
    }
  }
  return img;
}

QImage OnWhite(const QImage& argb) {
  QImage out(argb.size(), QImage::Format_RGB32);
  out.fill(Qt::white);
  QPainter p(&out);
  p.drawImage(0, 0, argb);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
    return 2;
  }
  // Offscreen: the drawing needs no display.
  qputenv("QT_QPA_PLATFORM", "offscreen");
  int qargc = 1;
  QGuiApplication app(qargc, argv);
  const QString out = QString::fromLocal8Bit(argv[1]) + "/";

  bool ok = true;
  ok &= WriteFile(out + "mac.ico", IconFile({{DrawMac(48), 32}}));
  ok &= WriteFile(out + "windows.ico", IconFile({{DrawWindowPanes(48), 32}}));
  QImage unix = OnWhite(DrawPenguin(48));
  ok &= WriteFile(out + "unix.bmp", BitmapFile(unix, 24));
  ok &= WriteFile(out + "dossier.bmp", BitmapFile(DrawFolderGlyph(), 8));

  std::vector<IconEntry> icon;
  for (int size : {48, 32, 24, 16}) icon.push_back({DrawPenguin(size), 32});
  for (int size : {48, 32, 16}) icon.push_back({DrawPenguin(size), 24});
  for (int size : {48, 32, 24, 16}) icon.push_back({DrawPenguin(size), 8});
  ok &= WriteFile(out + "terminelle.ico", IconFile(icon));
  for (int size : {16, 24, 32, 48}) {
    ok &= DrawPenguin(size).save(out + QString("terminelle-%1.png").arg(size), "PNG");
  }
  if (!ok) {
    std::fprintf(stderr, "draw_pictures: cannot write to %s\n", argv[1]);
    return 1;
  }
  return 0;
}
