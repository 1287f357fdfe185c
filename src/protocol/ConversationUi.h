// What the connection threads need from the main window. The threads never touch a window:
// they call these on the user-interface thread (through the synchronizer) and wait until the
// call has run, holding no lock meanwhile. Texts are CP932 bytes; the window adds the date
// and time to log and chat lines itself.
#pragma once

#include <cstdint>
#include <string>

namespace vox {

class TConversation;

// An incoming call as the incoming-call dialog shows it.
struct TIncomingCall {
    std::string Address;      // dotted IPv4
    std::string HostName;     // reverse look-up; empty when none was found
    std::string PartnerName;  // the name the caller announced
    std::string Comment;
};

// A file offered by a partner.
struct TTransferOffer {
    TConversation* Connection = nullptr;  // for the window's replies
    std::string PartnerName;
    std::string PartnerAddress;
    std::string FileName;  // as received; the window reduces it before saving
    std::uint32_t FileSize = 0;
    std::uint16_t Port = 0;
};

// The decision on an incoming call.
enum TCallDecision : int {
    cdAccepted = 1,
    cdRefused = 2,
    cdTimedOut = 3,
};

// Why a call placed from here ended during its handshake, after the connection stood.
enum class TCallFailure {
    Refused,          // the partner's user refused the call
    WrongPassPhrase,  // the partner asks for a pass phrase and it did not match
    NoDecision,       // nobody decided at the partner's end in time
    NotOurProgram,    // what answered is not this program
    Broken,           // the partner hung up (or the connection failed) before answering
    NoAnswer,         // the partner's program did not answer in time
};

// Why a connection was refused for its keys, for the warning the window shows.
enum class TSecurityProblem {
    KeyChanged,       // the partner presented another key than the one pinned for it
    PlainFromPinned,  // a partner pinned as encrypted answered (or called) in the clear
    Unencrypted,      // the partner speaks no TLS, and the setting refuses such partners
};

// How a member's connection is protected, for the member list.
struct TMemberSecurity {
    bool Encrypted = false;
    bool Verified = false;    // the key matched the one pinned at an earlier call
    std::string CheckString;  // the same on both ends of the session
    std::string PartnerFingerprint;
};

struct TSecurityWarning {
    TSecurityProblem Problem = TSecurityProblem::KeyChanged;
    std::string Partner;      // the partner's text in the trust store
    std::string PartnerName;  // CP932
    std::string Address;
    std::string PinnedFingerprint;
    std::string NewFingerprint;  // KeyChanged: the key presented now
};

class IConversationUi {
  public:
    virtual ~IConversationUi() = default;

    // A line for the log pane.
    virtual void AddLog(const std::string& message) = 0;
    // A received chat line, labelled with the partner's name.
    virtual void ShowChatLine(const std::string& partnerName, const std::string& text) = 0;
    // A partner whose handshake ended in acceptance joins the member list.
    virtual void AddMember(const std::string& partnerName, TConversation* connection) = 0;
    // A connection ended: its member-list item goes (the first one carrying it), and nothing
    // may use the connection any more (a transfer window forgets it).
    virtual void ConnectionEnded(TConversation* connection) = 0;
    // Shows the incoming-call dialog and returns its result (a TCallDecision).
    virtual int AskAcceptance(const TIncomingCall& call) = 0;
    // The own pass-phrase setting: whether callers must give it, and the plain text.
    virtual void FetchPassPhraseSetting(bool& usePassPhrase, std::string& passPhrase) = 0;
    // Whether a transfer window is open.
    virtual bool TransferWindowOpen() = 0;
    // Opens the transfer window in receive mode for an offer (only when none is open).
    virtual void OpenReceiveWindow(const TTransferOffer& offer) = 0;
    // The partner accepted the file offered by the open transfer window: start sending.
    virtual void TransferAccepted(TConversation* connection) = 0;
    // The partner refused the file: close the open transfer window.
    virtual void TransferRefused(TConversation* connection) = 0;
    // The simple beep.
    virtual void Beep() = 0;
    // A call placed from here was turned away or broke off during its handshake; the log
    // lines are written as well. address: the partner's dotted address.
    virtual void CallFailed(const std::string& /*address*/, TCallFailure /*why*/) {}
    // Right after AddMember: how the member's connection is protected.
    virtual void MemberSecurity(TConversation* /*connection*/,
                                const TMemberSecurity& /*security*/) {}
    // A connection was refused for its keys (the log line is written as well). The window
    // warns, and may offer to accept a changed key (TConnectionCore::AcceptPartnerKey).
    virtual void SecurityWarning(const TSecurityWarning& /*warning*/) {}
};

}  // namespace vox
