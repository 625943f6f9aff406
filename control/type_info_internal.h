// The control interface's type information, built from the operation table.
#pragma once

#include "platform/com/typeinfo.h"

// A new reference to the type information of IKSCapi (a dispatch interface, dual), or
// null when memory runs out. The caller releases it.
ITypeInfo* createKSCapiTypeInfo();
