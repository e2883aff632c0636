// The system's words for a Win32 error code, for the tools' messages.
#pragma once

#include <windows.h>

#include <string>

namespace kormelt::tool {

// "what: reason", or the reason alone when what is empty.
inline std::string Win32ErrorText(const std::string &what, DWORD code) {
    char text[512] = {};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                        text, sizeof text, nullptr);
    std::string reason = length > 0 ? std::string(text, length) : "error " + std::to_string(code);
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == '.')) {
        reason.pop_back();
    }
    return what.empty() ? reason : what + ": " + reason;
}

}  // namespace kormelt::tool
