// Fixture of the LayerCheck test: a file outside platform/ that includes one of its
// internal headers.
#pragma once
#include "platform/crypt/example_internal.h"
