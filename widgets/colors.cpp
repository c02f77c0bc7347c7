#include "widgets/colors.h"

namespace {

TRGB FromQColor(const QColor& c) {
  return TRGB{c.red(), c.green(), c.blue()};
}

// The palette role that plays the part of each system colour index here.
// The button face maps to the window background because that is what the
// window, panels and group boxes are painted with, and the bands must meet
// them without a seam.
bool RoleOf(int index, QPalette::ColorGroup& group, QPalette::ColorRole& role) {
  group = QPalette::Active;
  switch (index) {
    case 0:   // scroll bar
    case 4:   // menu
    case 15:  // button face
    case 30:  // menu bar
      role = QPalette::Window;
      return true;
    case 1:   // desktop
    case 12:  // application workspace
      role = QPalette::Dark;
      return true;
    case 2:   // active caption
    case 13:  // highlight
    case 27:  // active caption gradient
    case 29:  // menu highlight
      role = QPalette::Highlight;
      return true;
    case 3:   // inactive caption
    case 28:  // inactive caption gradient
      group = QPalette::Inactive;
      role = QPalette::Highlight;
      return true;
    case 5:  // window (edit backgrounds)
      role = QPalette::Base;
      return true;
    case 6:   // window frame
    case 21:  // 3-D dark shadow
      role = QPalette::Shadow;
      return true;
    case 7:  // menu text
    case 8:  // window text
      role = QPalette::WindowText;
      return true;
    case 9:   // caption text
    case 14:  // highlighted text
      role = QPalette::HighlightedText;
      return true;
    case 10:  // active border
    case 11:  // inactive border
    case 22:  // 3-D light
      role = QPalette::Midlight;
      return true;
    case 16:  // button shadow
      role = QPalette::Mid;
      return true;
    case 17:  // grey text
      group = QPalette::Disabled;
      role = QPalette::Text;
      return true;
    case 18:  // button text
      role = QPalette::ButtonText;
      return true;
    case 19:  // inactive caption text
      group = QPalette::Inactive;
      role = QPalette::HighlightedText;
      return true;
    case 20:  // button highlight
      role = QPalette::Light;
      return true;
    case 23:  // hint text
      role = QPalette::ToolTipText;
      return true;
    case 24:  // hint background
      role = QPalette::ToolTipBase;
      return true;
    case 26:  // hot-tracked item
      role = QPalette::Link;
      return true;
    default:
      return false;
  }
}

}  // namespace

TRGB SysColor(int index, const QPalette& palette) {
  QPalette::ColorGroup group;
  QPalette::ColorRole role;
  if (!RoleOf(index, group, role)) return TRGB{};
  return FromQColor(palette.color(group, role));
}

TRGB ColorToRGB(TColor color, const QPalette& palette) {
  if (IsSystemColor(color)) return SysColor(static_cast<int>(color & 0xFFu), palette);
  return TRGB{static_cast<int>(color & 0xFFu), static_cast<int>((color >> 8) & 0xFFu),
              static_cast<int>((color >> 16) & 0xFFu)};
}

QColor ToQColor(TColor color, const QPalette& palette) {
  TRGB c = ColorToRGB(color, palette);
  return QColor(c.R, c.G, c.B);
}
