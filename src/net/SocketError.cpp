#include "net/SocketError.h"

#include <cstring>
#include <utility>

namespace vox {

namespace {

// strerror_r comes in two flavours; these overloads take whichever the C library offers.
[[maybe_unused]] const char* PickText(int result, const char* buffer) {
    return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* PickText(const char* result, const char*) {
    return result;
}

}  // namespace

ESocketError::ESocketError(const std::string& message, int code, std::string api)
    : std::runtime_error(message), code_(code), api_(std::move(api)) {}

ESocketError ESocketError::ForCall(int code, const std::string& api) {
    return ForCall(code, SystemErrorText(code), api);
}

ESocketError ESocketError::ForCall(int code, const std::string& text, const std::string& api) {
    std::string message = "Windows ソケットエラー： ";
    message += text;
    message += " (" + std::to_string(code) + ") [API '" + api + "']";
    return ESocketError(message, code, api);
}

ESocketError ESocketError::ForStream(const std::string& op, int code) {
    return ESocketError(op + " エラー " + std::to_string(code) + ", " + SystemErrorText(code),
                        code);
}

std::string SystemErrorText(int code) {
    char buffer[256] = {};
    return PickText(strerror_r(code, buffer, sizeof buffer), buffer);
}

}  // namespace vox
