#include "core/paths.h"

#include "platform/system/files.h"

std::string joinPath(const std::string& folder, const std::string& name) {
    std::string path = folder;
    if (!path.empty() && path.back() != kPathSeparator) path.push_back(kPathSeparator);
    path += name;
    return path;
}
