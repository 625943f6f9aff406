#include "platform/system/shared_library.h"

namespace shared_library {

void* open(const char* soname) {
    return dlopen(soname, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
}

}  // namespace shared_library
