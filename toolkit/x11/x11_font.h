// The form's font on X: fontconfig resolves the description's family at its
// pixel size (or its own nearest substitute) and Xft draws it on the client
// side, so nothing depends on the X server's font path. The end-to-end checker
// opens the font the same way to measure it.
#pragma once

#include <X11/Xft/Xft.h>
#include <X11/Xlib.h>

#include <cstdlib>

namespace tk::x11 {

// height as the form description gives it: negative is the character height in
// pixels, which is fontconfig's pixel size; positive (the cell height) is taken
// as the same, near enough for a cell a little taller.
inline XftFont* OpenFormFont(Display* display, int screen, const char* family, int height) {
  const double pixels = height != 0 ? std::abs(height) : 11;
  XftFont* font = nullptr;
  if (FcPattern* pattern = FcPatternCreate()) {
    if (family && *family) FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(family));
    FcPatternAddDouble(pattern, FC_PIXEL_SIZE, pixels);
    FcResult result = FcResultNoMatch;
    FcPattern* match = XftFontMatch(display, screen, pattern, &result);
    FcPatternDestroy(pattern);
    // On success the font owns the match.
    if (match && !(font = XftFontOpenPattern(display, match))) FcPatternDestroy(match);
  }
  if (!font) font = XftFontOpenName(display, screen, "sans-serif:pixelsize=11");
  return font;
}

}  // namespace tk::x11
