// The password length range of the dialogs' password boxes. The engine keeps the range
// it stores by this rule too, so the rule lives below both.
#pragma once

#include <cstdint>

// Normalises a (minimum, maximum) pair in place: swapped when the minimum is larger, a
// minimum below 1 becomes 0 (no minimum), a maximum of 0 or below becomes 16.
void normalizePasswordRange(int32_t& minLength, int32_t& maxLength);
