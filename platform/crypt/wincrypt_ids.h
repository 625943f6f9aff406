// Algorithm identifiers of the platform's cryptographic interface, by its names and
// numbers (class, type and sub-identifier packed as the platform packs them).
#pragma once

#include "platform/system/types.h"

using ALG_ID = UINT;

constexpr ALG_ID CALG_DES = 0x6601;
constexpr ALG_ID CALG_3DES_112 = 0x6609;
constexpr ALG_ID CALG_3DES = 0x6603;
constexpr ALG_ID CALG_RSA_SIGN = 0x2400;
constexpr ALG_ID CALG_RSA_KEYX = 0xA400;
