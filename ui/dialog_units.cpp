#include <algorithm>
#include <cstdint>

#include "ui/dialog_units_internal.h"

namespace ui {
namespace {

// number * numerator / denominator with the quotient rounded half away from zero.
int mulDiv(int number, int numerator, int denominator) {
    int64_t product = static_cast<int64_t>(number) * numerator;
    int64_t half = denominator / 2;
    int64_t rounded =
        product >= 0 ? (product + half) / denominator : (product - half) / denominator;
    return static_cast<int>(rounded);
}

}  // namespace

DialogBaseUnits dialogBaseUnits(int alphabetWidth, int fontHeight) {
    return {std::max(1, (alphabetWidth / 26 + 1) / 2), std::max(1, fontHeight)};
}

DialogRect mapDialogRect(const DialogRect& rect, DialogBaseUnits units) {
    return {mulDiv(rect.x, units.x, 4), mulDiv(rect.y, units.y, 8), mulDiv(rect.width, units.x, 4),
            mulDiv(rect.height, units.y, 8)};
}

}  // namespace ui
