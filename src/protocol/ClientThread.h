// The outgoing side: the connector of one call, and the thread that sends the caller's
// pcConnect, waits for the answer and then runs the receive loop.
#pragma once

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
};

class TClientThread : public TThread, public TConversation {
  public:
    // Copies the component's four texts; the component stays alive at least as long as this
    // thread, which shares it.
    TClientThread(TConnectionCore& core, TSynchronizer* sync,
                  std::shared_ptr<TMyClientSocket> component);
    ~TClientThread() override;

    const std::string& MyName() const { return FMyName; }
    const std::string& Comment() const { return FComment; }
    const std::string& PassPhrase() const { return FPassPhrase; }
    TMyClientSocket& Component() const { return *FComponent; }

  protected:
    void Execute() override;
    TCustomWinSocket* Socket() const override { return &FComponent->Socket(); }
    bool StopRequested() const override { return Terminated(); }

  private:
    void Handshake();

    const std::shared_ptr<TMyClientSocket> FComponent;
    const std::string FMyName;
    const std::string FComment;
    const std::string FPassPhrase;
};

}  // namespace vox
