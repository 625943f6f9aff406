// Fixture of the LayerCheck test: a file of the core layer that reaches up into sign/.
#pragma once
#include "sign/signing.h"
