// The socket layer's error and its message texts.
#pragma once

#include <stdexcept>
#include <string>

namespace vox {

// Message texts (UTF-8).
inline constexpr const char* kSocketErrorFormat =
    "Windows ソケットエラー： %0:s (%1:d) [API '%2:s']";
inline constexpr const char* kNoAddressText = "アドレスが指定されていません";
inline constexpr const char* kCannotCreateSocketText = "ソケットが作成できません";
inline constexpr const char* kCannotListenOnOpenText = "開いたソケットでリスンできません";
inline constexpr const char* kSocketAlreadyOpenText = "ソケットはすでに開いています";
inline constexpr const char* kMustBeBlockingText =
    "ソケットはブロッキングモードで使わなければなりません";
inline constexpr const char* kCantChangeWhileActiveText = "ソケットを使用中は値を変更できません";

class ESocketError : public std::runtime_error {
  public:
    // A plain message (one of the texts above).
    explicit ESocketError(const std::string& message, int code = 0, std::string api = {});

    // "Windows ソケットエラー： <text> (<code>) [API '<api>']" for a failed call.
    static ESocketError ForCall(int code, const std::string& api);
    // Same, with a text of the caller's (resolver errors carry their own texts).
    static ESocketError ForCall(int code, const std::string& text, const std::string& api);
    // "<op> エラー <code>, <text>" for a read or write the system refused; op is "Read"/"Write".
    static ESocketError ForStream(const std::string& op, int code);

    // The system error code (errno, or a resolver code), 0 for the plain texts.
    int ErrorCode() const { return code_; }
    // The name of the failed call, empty for the plain texts and stream errors.
    const std::string& Api() const { return api_; }

  private:
    int code_;
    std::string api_;
};

// The system's text for an errno value (thread-safe).
std::string SystemErrorText(int code);

}  // namespace vox
