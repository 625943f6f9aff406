#include "ui/password_range.h"

#include <utility>

void normalizePasswordRange(int32_t& minLength, int32_t& maxLength) {
    if (minLength > maxLength) std::swap(minLength, maxLength);
    if (minLength < 1) minLength = 0;
    if (maxLength <= 0) maxLength = 16;
}
