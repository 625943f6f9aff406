// Fixture of the LayerCheck test: includes the layer may use, and system headers.
#pragma once
#include <string>

#include "core/byte_buffer.h"
#include "platform/crypt/wincrypt.h"
