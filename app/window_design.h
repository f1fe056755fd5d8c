// The window's design, the same on every platform: its texts, and its
// geometry in twips (a twentieth of a typographic point, 1440 to the inch).
#pragma once

namespace fernwise {

/// The window's caption.
inline constexpr char kCaption[] = "Fernwise v2 | Quillory";
/// The caption of every message box: the application's title.
inline constexpr char kApplicationTitle[] = "Fernwise";
/// The start button's text.
inline constexpr char kButtonText[] = "Begin Backup Process";
/// The label's text until the first run: seven lines joined by CR LF, the
/// last three empty.
inline constexpr char kAboutText[] =
    "Fernwise v2\r\n"
    "by Quillory\r\n"
    "https://fernwise.example\r\n"
    "\r\n"
    "\r\n"
    "\r\n";

/// A control's place in the window's client area, in twips.
struct TwipsBox {
  int left, top, width, height;
};
inline constexpr int kClientWidthTwips = 4680;
inline constexpr int kClientHeightTwips = 3195;
inline constexpr TwipsBox kCommand1Box{240, 240, 4215, 1215};
inline constexpr TwipsBox kStatusBox{240, 1560, 4215, 1455};

/// `twips` at `dpi` dots per inch, rounded to the nearest pixel.
constexpr int TwipsToPixels(int twips, int dpi) {
  return (twips * dpi + 720) / 1440;
}

}  // namespace fernwise
