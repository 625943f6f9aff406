#include "ui/chooser_filter.h"

namespace ui {
namespace {

std::string trimmed(const std::string& text) {
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return std::string();
    size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

std::vector<std::string> splitPatterns(const std::string& list) {
    std::vector<std::string> patterns;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(';', start);
        if (end == std::string::npos) end = list.size();
        std::string pattern = trimmed(list.substr(start, end - start));
        if (!pattern.empty()) patterns.push_back(std::move(pattern));
        start = end + 1;
    }
    return patterns;
}

}  // namespace

std::vector<ChooserFilter> parseChooserFilter(const std::string& filter) {
    std::vector<ChooserFilter> entries;
    size_t at = 0;
    while (at < filter.size()) {
        size_t nameEnd = filter.find('|', at);
        if (nameEnd == std::string::npos || nameEnd == at) break;
        size_t listEnd = filter.find('|', nameEnd + 1);
        if (listEnd == std::string::npos) listEnd = filter.size();
        std::vector<std::string> patterns =
            splitPatterns(filter.substr(nameEnd + 1, listEnd - nameEnd - 1));
        if (patterns.empty()) break;
        entries.push_back({filter.substr(at, nameEnd - at), std::move(patterns)});
        at = listEnd + 1;
    }
    return entries;
}

std::string caseFoldedGlob(const std::string& pattern) {
    if (pattern == "*.*") return "*";
    std::string glob;
    for (char c : pattern) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
            char lower = static_cast<char>(c | 0x20);
            glob += {'[', lower, static_cast<char>(lower - 0x20), ']'};
        } else if (c == '[') {
            glob += "[[]";
        } else {
            glob.push_back(c);
        }
    }
    return glob;
}

}  // namespace ui
