// The password rules of the PFX operations. The length range is normalised by the rule
// the dialogs apply as well.
#pragma once

#include "ui/password_range.h"
