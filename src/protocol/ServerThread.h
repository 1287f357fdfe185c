// The thread that serves one incoming conversation connection: the caller's handshake with
// the pass-phrase check and the user's decision, then the receive loop.
#pragma once

#include "net/ServerSocket.h"
#include "protocol/Conversation.h"

namespace vox {

class TServerThread : public TServerClientThread, public TConversation {
  public:
    TServerThread(TConnectionCore& core, TSynchronizer* sync);
    ~TServerThread() override;
    TServerThread(const TServerThread&) = delete;
    TServerThread& operator=(const TServerThread&) = delete;

    // Takes the partner's address from the connection it is about to serve; a connection
    // the accept check has closed counts as closed from the start.
    void PrepareFor(const TCustomWinSocket& socket);

    // The caller's comment and host name, as the handshake found them.
    std::string PartnerComment() const;
    std::string PartnerHost() const;

  protected:
    // Closes the connection, which wakes the thread wherever it waits.
    void TerminateRequested() override;
    void ClientExecute() override;
    TCustomWinSocket* Socket() const override { return ClientSocket(); }
    bool StopRequested() const override { return Terminated(); }

  private:
    void Handshake();
    // Reads the rest of a pcConnect after its header; false when a field did not arrive.
    bool ReadConnectRequest(TWinSocketStream& stream, std::string& passPhrase);
    void Decide(const std::string& receivedPassPhrase);
    // Serves a caller that starts with a TLS hello through TLS; false when that failed (the
    // connection is closed and the failure logged).
    bool StartTlsIfAsked();
    // Compares the caller's key with the one pinned for its name: a changed key, or a caller
    // pinned as encrypted that comes in the clear, is refused with a reply; so is a caller in
    // the clear when unencrypted partners are refused. False when refused.
    bool CheckCallerKey();
    // An accepted caller's key is pinned.
    void PinAfterAcceptance();

    mutable std::mutex FInfoLock;
    std::string FPartnerHost;
    std::string FPartnerComment;
    std::string FCallerKey;  // the accepted caller's text in the trust store, when encrypted
};

}  // namespace vox
