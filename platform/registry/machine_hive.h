// The machine-wide registry (HKEY_LOCAL_MACHINE): read-only files in the registry
// editor's export format that an installation puts down and only root may change. The
// class registration file names the control's module for every user; each file of the
// providers folder adds providers (a card vendor's package drops one there). The user's
// own registry is consulted first wherever both apply, so a per-user registration
// overrides the machine's.
//
// Accepted text (UTF-8): an optional "REGEDIT4" or "Windows Registry Editor Version 5.00"
// line, blank lines, ";" comments, key lines "[HKEY_LOCAL_MACHINE\Path]" and value lines
// @="text", "Name"="text" or "Name"=dword:XXXXXXXX below them. In quoted texts \\ and \"
// stand for \ and ". A file with any other line is ignored whole, so a damaged file never
// contributes half its keys.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/system/types.h"

namespace machine {

struct Value {
    std::string name;  // empty: the key's default value
    DWORD type = 0;    // REG_SZ or REG_DWORD
    std::string text;  // REG_SZ data, without terminator
    DWORD number = 0;  // REG_DWORD data
};

struct Key {
    std::string path;    // below HKEY_LOCAL_MACHINE, "\"-separated, as written
    std::string source;  // the file it came from
    std::vector<Value> values;
};

// The class registration file: $KSCAPI_MACHINE_HIVE, else the installed one.
std::string classFile();
// The providers folder: $KSCAPI_PROVIDERS_DIR, else /etc/kestrune/providers.d.
std::string providersFolder();

// Parses one file's text. Success: true with the keys appended to `out`, each naming
// `source`. Failure: false, `out` unchanged, *error (when given) says which line.
bool parseRegText(std::string_view text, const std::string& source, std::vector<Key>& out,
                  std::string* error = nullptr);

// A file that could not be used, and why.
struct FileProblem {
    std::string file;
    std::string reason;
};

// Every key of the class file, then of the providers folder's "*.reg" files in name
// order. Files are read on each call (they are small, and a package may change them while
// a host runs); missing files contribute nothing, unreadable or malformed ones are listed
// in *problems (when given).
std::vector<Key> keys(std::vector<FileProblem>* problems = nullptr);

// The first key whose path equals `path`, ASCII case ignored.
std::optional<Key> findKey(std::string_view path);
// The keys directly below `path` (ASCII case ignored), in file order; a name given by
// several files is listed once, from its first file.
std::vector<Key> subkeys(std::string_view path);
// The value named `name` of `key` (empty: the default value), ASCII case ignored.
const Value* findValue(const Key& key, std::string_view name);

}  // namespace machine
