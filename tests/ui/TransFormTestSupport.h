// Two ends of a transfer in one process: two connection cores joined over loopback, each with
// the transfer windows of its own program and a main window that only keeps a log.
#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <memory>
#include <string>
#include <vector>

#include "DialogTestSupport.h"
#include "net/Tls.h"
#include "support/ConversationTestSupport.h"
#include "support/ScratchDir.h"
#include "support/TrustTestSupport.h"
#include "ui/TransferWindows.h"

namespace vox::testing {

// A loopback port that nothing listens on (free a moment ago).
inline int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

// One copy of the program: its folder and settings file, its log, its member list, its
// transfer windows and its connections.
class TProgramEnd : public IConversationUi {
  public:
    TProgramEnd(TSynchronizer& sync, int transferPort, std::int64_t sendWindowBytes) {
        TTransFormEnv env;
        env.Sync = &sync;
        env.IniFileName = Dir.File("Voxilen.Ini");
        env.AddLog = [this](const QString& line) { Logs.push_back(line.toStdString()); };
        env.MessageBox = [this](const QString& text) { Messages.push_back(text.toStdString()); };
        env.CloseDelayMs = 150;
        env.Options.SocketTimeoutMs = 100;
        env.Options.IdleLimitMs = 600;
        env.Options.ConnectTimeoutMs = 1000;
        env.Options.ProgressIntervalMs = 0;
        env.Options.SendWindowBytes = sendWindowBytes;
        env.OpenUrl = [this](const QUrl& url) {
            Opened.push_back(url.toLocalFile().toStdString());
            return true;
        };
        Windows = std::make_unique<TTransferWindows>(nullptr, env,
                                                     [transferPort] { return transferPort; });
        // Quick to notice an ended connection, but patient with the call itself: a loaded
        // machine or a sanitizer build may need more than the protocol tests' 600 ms.
        TConversationTimeouts timeouts = FastTimeouts();
        timeouts.HandshakeLimitMs = 5000;
        Core = std::make_unique<TConnectionCore>(sync, *this, timeouts);
    }
    ~TProgramEnd() override {
        Core.reset();
        Windows.reset();
    }

    TTransForm* Window() const { return Windows->TransForm(); }
    std::string RecvFolder() const { return Dir.Path() + "/Recieved/"; }
    bool HasLog(std::string_view line) const {
        return std::find(Logs.begin(), Logs.end(), line) != Logs.end();
    }
    std::string AllLogs() const {
        std::string all;
        for (const auto& line : Logs) {
            all += line + "\n";
        }
        return all;
    }

    void AddLog(const std::string& message) override { Logs.push_back(Cp932ToUtf8(message)); }
    void ShowChatLine(const std::string&, const std::string&) override {}
    void AddMember(const std::string& name, TConversation* connection) override {
        Members.emplace_back(QString::fromStdString(Cp932ToUtf8(name)), connection);
    }
    void ConnectionEnded(TConversation* connection) override {
        std::erase_if(Members, [&](const auto& m) { return m.second == connection; });
        Windows->ConnectionEnded(connection);
    }
    int AskAcceptance(const TIncomingCall&) override { return cdAccepted; }
    void FetchPassPhraseSetting(bool& use, std::string& passPhrase) override {
        use = false;
        passPhrase.clear();
    }
    bool TransferWindowOpen() override { return Windows->TransferWindowOpen(); }
    void OpenReceiveWindow(const TTransferOffer& offer) override {
        Windows->OpenReceiveWindow(offer);
    }
    void TransferAccepted(TConversation* c) override { Windows->TransferAccepted(c); }
    void TransferRefused(TConversation* c) override { Windows->TransferRefused(c); }
    void Beep() override {}

    test::TScratchDir Dir;
    std::vector<std::string> Logs;      // UTF-8, without date and time
    std::vector<std::string> Messages;  // message boxes, UTF-8
    std::vector<std::string> Opened;    // files and folders opened with the desktop's program
    std::vector<std::pair<QString, TConversation*>> Members;
    std::unique_ptr<TTransferWindows> Windows;
    std::unique_ptr<TConnectionCore> Core;
};

template <typename T>
T* Child(QWidget* form, const char* name) {
    T* found = form->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(found, nullptr) << name;
    return found;
}

inline QString Q(const char* utf8) {
    return QString::fromUtf8(utf8);
}

// The receiving program ("たろう", listening) and the sending program ("はなこ"), which has
// called it. Both see the other in their member lists.
class TransFormTest : public DialogTest {
  protected:
    // sendWindowBytes: 256 sends stop-and-wait, so that a transfer lasts. encrypted: both
    // programs have keys, and their conversation runs TLS.
    explicit TransFormTest(std::int64_t sendWindowBytes = kSendWindowBytes, bool encrypted = false)
        : sendWindow(sendWindowBytes) {
        sync.SetWakeMainThread([this] {
            QMetaObject::invokeMethod(
                &context, [this] { sync.CheckSynchronize(0); }, Qt::QueuedConnection);
        });
        if (encrypted) {
            // Patient with the TLS handshake on a loaded machine or under a sanitizer.
            TConversationTimeouts timeouts = FastTimeouts();
            timeouts.SocketTimeoutMs = 3000;
            timeouts.HandshakeLimitMs = 6000;
            for (TProgramEnd* end : {&recv, &send}) {
                end->Core = std::make_unique<TConnectionCore>(sync, *end, timeouts);
                end->Core->SetTls(TTlsIdentity::Generate(), end == &recv ? &recvTrust : &sendTrust);
            }
        }
        recv.Core->StartListening(0);
        TCallRequest request;
        request.Address = "127.0.0.1";
        request.Port = recv.Core->ListeningPort();
        request.MyName = Sj("はなこ");
        request.PartnerName = Sj("たろう");
        send.Core->Call(request);
        EXPECT_TRUE(Pump([&] { return send.Members.size() == 1 && recv.Members.size() == 1; }))
            << send.AllLogs() << recv.AllLogs();
    }
    ~TransFormTest() override {
        send.Windows->CloseWindow();
        recv.Windows->CloseWindow();
        Flush();
        send.Core.reset();
        recv.Core.reset();
        sync.SetWakeMainThread({});
    }

    bool Pump(const std::function<bool()>& pred, int ms = 5000) {
        return ProcessUntil(
            [&] {
                sync.CheckSynchronize(0);
                return pred();
            },
            ms);
    }
    void PumpFor(int ms) {
        Pump([] { return false; }, ms);
    }

    // The sending window to "たろう" with path typed in; OK not yet pressed.
    TTransForm* OpenSending(const QString& path) {
        send.Windows->OpenSendWindow(send.Members.at(0).first, send.Members.at(0).second);
        TTransForm* form = send.Window();
        EXPECT_NE(form, nullptr);
        auto* edit = Child<QLineEdit>(form, "FileNameEdit");
        edit->setFocus();
        CommitText(edit, path);
        return form;
    }
    // A partner of the sending program's own making, calling it from 127.0.0.2 as "raw".
    TRawPeer RawCallsSender() {
        send.Core->StartListening(0);
        TRawPeer raw = TRawPeer::Connect(send.Core->ListeningPort(), "127.0.0.2");
        raw.Send(ConnectPacket(Sj("raw")));
        EXPECT_FALSE(raw.ReceivePacket().empty());
        EXPECT_TRUE(Pump([&] { return send.Members.size() == 2; }));
        return raw;
    }
    // Offers path and waits for the receiving window.
    TTransForm* Offer(const QString& path) {
        TTransForm* form = OpenSending(path);
        Child<QPushButton>(form, "OkBitBtn")->click();
        EXPECT_TRUE(Pump([&] { return recv.Window() != nullptr; })) << send.AllLogs();
        return recv.Window();
    }

    TSynchronizer sync;
    TPumpWhileWaiting pumpWhileWaiting{sync};
    QObject context;
    const int transferPort = FreePort();
    const std::int64_t sendWindow;
    TMemoryTrustStore recvTrust;
    TMemoryTrustStore sendTrust;
    TProgramEnd recv{sync, 0, sendWindow};
    TProgramEnd send{sync, transferPort, sendWindow};
};

}  // namespace vox::testing
