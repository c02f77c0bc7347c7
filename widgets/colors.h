#pragma once
// Colours as the window definitions give them: 32-bit values laid out as
// 0x00BBGGRR, or, with the top bit set, the index of a system colour that is
// looked up in the palette each time it is needed, so a theme change shows.

#include <QColor>
#include <QPalette>

#include <cstdint>

// A colour value: 0x00BBGGRR, or 0x80000000 | system colour index.
using TColor = std::uint32_t;

// The flag that marks a system colour.
inline constexpr TColor clSystemColor = 0x80000000u;

// The system colours the program names (the value keeps the index in its low byte).
inline constexpr TColor clActiveCaption = 0xFF000002u;
inline constexpr TColor clWindowText = 0xFF000008u;
// The face colour of buttons and of the window's background.
inline constexpr TColor clBtnFace = 0xFF00000Fu;
// The text colour of hints.
inline constexpr TColor clInfoText = 0xFF000017u;
// The background colour of hints.
inline constexpr TColor clInfoBk = 0xFF000018u;

// Fixed colours.
inline constexpr TColor clBlack = 0x00000000u;
// Olive green, the colour of the window's example labels.
inline constexpr TColor clOlive = 0x00008080u;
inline constexpr TColor clBlue = 0x00FF0000u;
inline constexpr TColor clWhite = 0x00FFFFFFu;

// Red, green and blue of a resolved colour, each 0 to 255.
struct TRGB {
  int R = 0;
  int G = 0;
  int B = 0;
  friend bool operator==(const TRGB&, const TRGB&) = default;
};

// True when color names a system colour rather than fixed channels.
constexpr bool IsSystemColor(TColor color) {
  return (color & clSystemColor) != 0;
}

// The colour of system colour index in palette; unknown indexes give black.
TRGB SysColor(int index, const QPalette& palette);
// color resolved to its channels; system colours through palette.
TRGB ColorToRGB(TColor color, const QPalette& palette);
// The same as a Qt colour.
QColor ToQColor(TColor color, const QPalette& palette);
// Channels packed back into a fixed colour value.
constexpr TColor RGBToColor(TRGB c) {
  return static_cast<TColor>(c.R) | (static_cast<TColor>(c.G) << 8) |
         (static_cast<TColor>(c.B) << 16);
}
