// The filter text of the platform's file chooser, for choosers that take their filters
// as separate entries.
#pragma once

#include <string>
#include <vector>

namespace ui {

struct ChooserFilter {
    std::string name;                   // what the chooser lists
    std::vector<std::string> patterns;  // file-name patterns of the platform
};

// The entries of a filter text "description|patterns|description|patterns||". The
// patterns of one entry are separated by ';', blanks around each are dropped, empty ones
// too. A description without patterns after it ends the list; so does an empty
// description. The text must be in an encoding whose multi-byte characters hold no '|'
// or ';' byte (UTF-8; not Big5, whose second bytes may be either).
std::vector<ChooserFilter> parseChooserFilter(const std::string& filter);

// A pattern of the platform, whose names ignore the case of letters and where "*.*"
// takes every name, as a case-sensitive glob: "*.*" becomes "*", each ASCII letter a
// class of its two cases, and '[' a class of itself.
std::string caseFoldedGlob(const std::string& pattern);

}  // namespace ui
