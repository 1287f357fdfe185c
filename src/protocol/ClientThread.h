// The outgoing side: the connector of one call, and the call's thread, which looks the host
// up, connects, sends the caller's pcConnect, waits for the answer and then runs the receive
// loop.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "net/ClientSocket.h"
#include "platform/Thread.h"
#include "protocol/Conversation.h"

namespace vox {

// The connector of one outgoing call, with what the connect dialog typed for it. Texts are
// CP932 bytes.
class TMyClientSocket : public TClientSocket {
  public:
    using TClientSocket::TClientSocket;

    std::string MyName;       // the own name to announce
    std::string Comment;      // the comment typed in the connect dialog
    std::string PartnerName;  // the name typed for the partner
    std::string PassPhrase;   // the pass phrase typed for the partner, plain
    std::string PartnerKey;   // whom the trust store knows the partner as
};

class TClientThread : public TThread, public TConversation {
  public:
    // Copies the component's four texts; the component stays alive at least as long as this
    // thread, which shares it. call: the number the core knows the call by.
    TClientThread(TConnectionCore& core, TSynchronizer* sync,
                  std::shared_ptr<TMyClientSocket> component, std::uint64_t call);
    ~TClientThread() override;
    TClientThread(const TClientThread&) = delete;
    TClientThread& operator=(const TClientThread&) = delete;

    std::uint64_t CallId() const { return FCallId; }
    // True once the connection stands and the thread has listed itself as outgoing: from
    // then on the connection ends through Disconnect() and the conversation's endings.
    bool InConversation() const { return FInConversation.load(); }

    const std::string& MyName() const { return FMyName; }
    const std::string& Comment() const { return FComment; }
    const std::string& PassPhrase() const { return FPassPhrase; }
    TMyClientSocket& Component() const { return *FComponent; }

    // Runs the call on the calling thread from the point where its connection stands (the
    // component's socket already connected, by adoption for instance): handshake,
    // conversation, ending. For running a connection's whole life in one thread; only on a
    // thread object that has not been started.
    void ConverseHere();

  protected:
    // Closes the connection, which wakes the thread wherever it waits.
    void TerminateRequested() override;
    void Execute() override;
    TCustomWinSocket* Socket() const override { return &FComponent->Socket(); }
    bool StopRequested() const override { return Terminated(); }

  private:
    // Looks up and connects, and hands the outcome to the core; false when the call ends here.
    bool PlaceCall();
    // Everything after the connection stands.
    void Converse();
    void Handshake();
    // Starts TLS on the call, or calls again in the clear when the partner knows no TLS and
    // may be called so; false when the call ends here (closed, logged and reported).
    bool Secure(bool& verified);
    // The partner's key is pinned once the call has been accepted.
    void PinAfterAcceptance(bool verified);

    const std::shared_ptr<TMyClientSocket> FComponent;
    const std::uint64_t FCallId;
    std::atomic<bool> FInConversation{false};
    const std::string FMyName;
    const std::string FComment;
    const std::string FPassPhrase;
};

}  // namespace vox
