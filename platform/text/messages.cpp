#include "platform/text/messages.h"

#include <cstdlib>
#include <cstring>

#include "platform/system/last_error.h"

namespace {

struct MessageText {
    DWORD code;
    const char* text;  // without the line break every text ends in
};

// English texts of the platform values this layer and the engine produce. The texts
// are the platform's own, since pages show them to users next to the number.
constexpr MessageText kMessages[] = {
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {13, "The data is invalid."},
    {14, "Not enough memory resources are available to complete this operation."},
    {38, "Reached the end of the file."},
    {50, "The request is not supported."},
    {80, "The file exists."},
    {86, "The specified network password is not correct."},
    {87, "The parameter is incorrect."},
    {111, "The file name is too long."},
    {112, "There is not enough space on the disk."},
    {122, "The data area passed to a system call is too small."},
    {126, "The specified module could not be found."},
    {183, "Cannot create a file when that file already exists."},
    {203, "The system could not find the environment option that was entered."},
    {232, "The pipe is being closed."},
    {234, "More data is available."},
    {259, "No more data is available."},
    {1113, "No mapping for the Unicode character exists in the target multi-byte code page."},
    {1223, "The operation was canceled by the user."},
    {1812, "The specified image file did not contain a resource section."},
    {1813, "The specified resource type cannot be found in the image file."},
    {0x80070005, "Access is denied."},
    {0x80070057, "The parameter is incorrect."},
    {0x80090001, "Bad UID."},
    {0x80090002, "Bad Hash."},
    {0x80090003, "Bad Key."},
    {0x80090004, "Bad Length."},
    {0x80090005, "Bad Data."},
    {0x80090006, "Invalid Signature."},
    {0x80090008, "Invalid algorithm specified."},
    {0x80090009, "Invalid flags specified."},
    {0x8009000A, "Invalid type specified."},
    {0x8009000B, "Key not valid for use in specified state."},
    {0x8009000D, "Key does not exist."},
    {0x8009000E, "Insufficient memory available for the operation."},
    {0x8009000F, "Object already exists."},
    {0x80090010, "Access denied."},
    {0x80090011, "Object was not found."},
    {0x80090013, "Invalid provider specified."},
    {0x80090014, "Invalid provider type specified."},
    {0x80090015, "Provider's public key is invalid."},
    {0x80090016, "Keyset does not exist"},
    {0x80090017, "Provider type not defined."},
    {0x80090019, "The keyset is not defined."},
    {0x8009001B, "Provider type does not match registered value."},
    {0x8009001D, "Provider DLL failed to initialize correctly."},
    {0x80090020, "An internal error occurred."},
    {0x80091004, "Invalid cryptographic message type."},
    {0x80092002, "An error occurred during encode or decode operation."},
    {0x80092003, "An error occurred while reading or writing to a file."},
    {0x80092004, "Cannot find object or property."},
    {0x80092005, "The object or property already exists."},
    {0x8009200B, "The certificate does not have a property that references a private key."},
    {0x8009200F, "Not all freed."},
    {0x80100069, "The smart card has been removed, so that further communication is not possible."},
    {0x8010006B, "The card cannot be accessed because the wrong PIN was presented."},
    {0x8010006C,
     "The card cannot be accessed because the maximum number of PIN entry attempts has been "
     "reached."},
    {0x8010006E, "The action was cancelled by the user."},
};

}  // namespace

std::string systemMessageText(DWORD code) {
    for (const auto& m : kMessages)
        if (m.code == code) return std::string(m.text) + "\r\n";
    return std::string();
}

DWORD FormatMessageA(DWORD dwFlags, LPCVOID /*lpSource*/, DWORD dwMessageId, DWORD /*dwLanguageId*/,
                     LPSTR lpBuffer, DWORD nSize, void* /*Arguments*/) {
    const bool allocate = (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0;
    if (allocate && lpBuffer) *reinterpret_cast<char**>(lpBuffer) = nullptr;
    // Only the system table exists, in one language, and its texts have no inserts.
    if (!(dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) || (allocate && !lpBuffer)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string text = systemMessageText(dwMessageId);
    if (text.empty()) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    if (allocate) {
        size_t bytes = text.size() + 1 > nSize ? text.size() + 1 : nSize;
        char* buffer = static_cast<char*>(std::calloc(bytes, 1));
        if (!buffer) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        std::memcpy(buffer, text.c_str(), text.size() + 1);
        *reinterpret_cast<char**>(lpBuffer) = buffer;
    } else {
        if (!lpBuffer || nSize <= text.size()) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        std::memcpy(lpBuffer, text.c_str(), text.size() + 1);
    }
    return static_cast<DWORD>(text.size());
}

void* LocalFree(void* hMem) {
    std::free(hMem);
    return nullptr;
}
