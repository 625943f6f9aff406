// Dialog units: dialog resources give positions and sizes in units of the dialog's font,
// a quarter of its average character width across and an eighth of its height down, so
// that a dialog grows with its font. Backends that lay a dialog out in pixels map its
// rectangles with the base units of the font they show it in.
#pragma once

#include "ui/dialog_resource.h"

namespace ui {

// The text whose width gives a font's average character width.
constexpr char kBaseUnitAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

// A font's average character width and height in pixels.
struct DialogBaseUnits {
    int x;
    int y;
};

// The base units of a font from the pixel width of kBaseUnitAlphabet set in it and the
// font's height (ascent plus descent), rounded as the platform rounds them: the width of
// 26 letters halved, to the nearest pixel. Never below one pixel.
DialogBaseUnits dialogBaseUnits(int alphabetWidth, int fontHeight);

// `rect` in pixels: x and width times units.x / 4, y and height times units.y / 8, each
// rounded to the nearest pixel, halves away from zero.
DialogRect mapDialogRect(const DialogRect& rect, DialogBaseUnits units);

}  // namespace ui
