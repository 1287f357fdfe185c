// Two copies of the program over TLS, and with copies that know only the plain protocol: what
// crosses the wire, how partners' keys are pinned, and what happens when a key changes or a
// partner pinned as encrypted answers in the clear.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "support/ConversationTestSupport.h"
#include "support/TrustTestSupport.h"
#include "voice/BlockCompression.h"

namespace vox::testing {
namespace {

// Long enough for a TLS handshake on a loaded machine under a sanitizer.
TConversationTimeouts TlsTimeouts() {
    TConversationTimeouts t;
    t.SocketTimeoutMs = 3000;
    t.HandshakeLimitMs = 6000;
    t.ReverseLookupMs = 200;
    return t;
}

// The window that also keeps the security warnings.
struct TWarningUi : TFakeUi {
    std::vector<TSecurityWarning> Warnings;
    void SecurityWarning(const TSecurityWarning& warning) override { Warnings.push_back(warning); }
};

// One copy: a core with its window and, when encrypted, its keys and trust store.
struct TWarnSide {
    TWarningUi ui;
    TMemoryTrustStore trust;
    std::shared_ptr<TTlsIdentity> identity = TTlsIdentity::Generate();
    std::unique_ptr<TConnectionCore> core;
    TWarnSide(TSynchronizer& sync, bool encrypted)
        : core(std::make_unique<TConnectionCore>(sync, ui, TlsTimeouts())) {
        if (encrypted) {
            core->SetTls(identity, &trust);
        }
    }
    TConversation* Member() const { return ui.Members.empty() ? nullptr : ui.Members[0].second; }
    int LogCount(std::string_view suffix) const {
        return static_cast<int>(std::count_if(ui.Logs.begin(), ui.Logs.end(), [&](const auto& l) {
            return l.size() >= suffix.size() &&
                   l.compare(l.size() - suffix.size(), suffix.size(), suffix) == 0;
        }));
    }
};

class EncryptedCallTest : public ::testing::Test {
  protected:
    TSynchronizer sync;
    TPumpWhileWaiting pump{sync};

    static void Call(TWarnSide& caller, int port, std::string_view passPhrase = "") {
        TCallRequest request;
        request.Address = "127.0.0.1";
        request.Port = port;
        request.MyName = "me";
        request.PartnerName = "partner";
        request.PassPhrase = std::string(passPhrase);
        caller.core->Call(request);
    }
    bool BothMembers(TWarnSide& a, TWarnSide& b) {
        return PumpUntil(sync,
                         [&] { return a.ui.Members.size() == 1 && b.ui.Members.size() == 1; });
    }
    void HangUp(TWarnSide& a, TWarnSide& b) {
        a.core->DisconnectAll();
        ASSERT_TRUE(PumpUntil(sync, [&] {
            return a.ui.Members.empty() && b.ui.Members.empty() && a.core->OutgoingCount() == 0 &&
                   b.core->IncomingCount() == 0;
        }));
    }
};

constexpr std::string_view kBadMagic = " はVoxilen.exeではありません。";

TEST_F(EncryptedCallTest, NothingReadableCrossesTheWireAndBothEndsPinEachOther) {
    TWarnSide caller(sync, true);
    TWarnSide listener(sync, true);
    listener.ui.UsePassPhrase = true;
    listener.ui.OwnPassPhrase = "open-sesame-42";
    listener.core->StartListening(0);
    TRecordingRelay relay(listener.core->ListeningPort());
    Call(caller, relay.Port(), "open-sesame-42");
    ASSERT_TRUE(BothMembers(caller, listener)) << caller.ui.AllLogs() << listener.ui.AllLogs();

    TConversation* out = caller.Member();
    TConversation* in = listener.Member();
    EXPECT_EQ(out->Security(), TPartnerSecurity::Encrypted);
    EXPECT_EQ(in->Security(), TPartnerSecurity::Encrypted);
    EXPECT_EQ(out->PartnerFingerprint(), listener.identity->Fingerprint());
    EXPECT_EQ(in->PartnerFingerprint(), caller.identity->Fingerprint());
    EXPECT_EQ(out->CheckString().size(), 4u);
    EXPECT_EQ(out->CheckString(), in->CheckString());
    // A file transfer between them encrypts with the same keys.
    EXPECT_EQ(out->EncryptionIdentity().get(), caller.identity.get());
    EXPECT_EQ(in->EncryptionIdentity().get(), listener.identity.get());
    // Pinned both ways once the call was accepted.
    const std::string calledKey = CalledPartnerKey("127.0.0.1", relay.Port());
    EXPECT_EQ(caller.trust.PinnedKey(calledKey), listener.identity->Fingerprint());
    EXPECT_TRUE(PumpUntil(sync, [&] {
        return listener.trust.PinnedKey(CallerPartnerKey("me")) == caller.identity->Fingerprint();
    }));

    // A chat line each way, and voice: a block of samples compressed as the encoder does.
    caller.core->SendText("chat-line-from-the-caller");
    listener.core->SendText("chat-line-from-the-listener");
    std::vector<std::uint8_t> samples(4410);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<std::uint8_t>((i * 7) ^ (i >> 3));
    }
    const std::vector<std::uint8_t> compressed =
        CompressBlock(samples.data(), static_cast<std::int32_t>(samples.size()));
    caller.core->SendVoicePacket(BuildVoice(4410, compressed));
    ASSERT_TRUE(PumpUntil(sync, [&] {
        return listener.ui.Chat.size() == 1 && caller.ui.Chat.size() == 1 &&
               in->VoiceInput().Size() == static_cast<int>(kVoiceHeaderSize + compressed.size());
    }));
    EXPECT_EQ(listener.ui.Chat[0], "me: chat-line-from-the-caller");

    const auto text = [](const auto& bytes) { return std::string(bytes.begin(), bytes.end()); };
    EXPECT_GT(relay.Recording().size(), compressed.size());
    EXPECT_FALSE(relay.Saw("chat-line-from-the-caller"));
    EXPECT_FALSE(relay.Saw("chat-line-from-the-listener"));
    EXPECT_FALSE(relay.Saw("open-sesame-42"));
    EXPECT_FALSE(relay.Saw(text(EncodePassPhrase("me", "open-sesame-42"))));
    EXPECT_FALSE(relay.Saw(text(compressed).substr(0, 32)));
    EXPECT_FALSE(relay.Saw(text(samples).substr(100, 32)));
    EXPECT_FALSE(relay.Saw(kPacketMagic));

    // The next call meets the pinned keys: verified on both ends.
    HangUp(caller, listener);
    Call(caller, relay.Port(), "open-sesame-42");
    ASSERT_TRUE(BothMembers(caller, listener)) << caller.ui.AllLogs() << listener.ui.AllLogs();
    EXPECT_EQ(caller.Member()->Security(), TPartnerSecurity::Verified);
    EXPECT_EQ(listener.Member()->Security(), TPartnerSecurity::Verified);
    EXPECT_TRUE(caller.ui.Warnings.empty());
    EXPECT_TRUE(listener.ui.Warnings.empty());
}

TEST_F(EncryptedCallTest, AnOlderListenerIsProbedOnceThenCalledInTheClear) {
    TWarnSide caller(sync, true);
    TWarnSide older(sync, false);  // knows only the plain protocol
    older.core->StartListening(0);
    Call(caller, older.core->ListeningPort());
    ASSERT_TRUE(BothMembers(caller, older)) << caller.ui.AllLogs() << older.ui.AllLogs();
    EXPECT_EQ(caller.Member()->Security(), TPartnerSecurity::Plain);
    EXPECT_EQ(caller.Member()->CheckString(), "");
    EXPECT_EQ(caller.Member()->EncryptionIdentity(), nullptr);  // files go in the clear too
    EXPECT_EQ(older.LogCount(kBadMagic), 1) << older.ui.AllLogs();
    EXPECT_EQ(caller.LogCount(texts::kFallingBackToPlain), 1) << caller.ui.AllLogs();
    const std::string key = CalledPartnerKey("127.0.0.1", older.core->ListeningPort());
    EXPECT_TRUE(caller.trust.KnownPlain(key));
    EXPECT_TRUE(caller.trust.PinnedKey(key).empty());

    // Chat and voice both ways, in the clear.
    caller.core->SendText("hello older");
    older.core->SendText("hello newer");
    caller.core->SendVoicePacket(BuildVoice(3, std::vector<std::uint8_t>{1, 2, 3}));
    older.core->SendVoicePacket(BuildVoice(3, std::vector<std::uint8_t>{4, 5, 6}));
    ASSERT_TRUE(PumpUntil(sync, [&] {
        return older.ui.Chat.size() == 1 && caller.ui.Chat.size() == 1 &&
               older.Member()->VoiceInput().Size() == static_cast<int>(kVoiceHeaderSize + 3) &&
               caller.Member()->VoiceInput().Size() == static_cast<int>(kVoiceHeaderSize + 3);
    }));
    EXPECT_EQ(older.ui.Chat[0], "me: hello older");

    // Known to be older: the next call goes in the clear at once, without a probe.
    HangUp(caller, older);
    Call(caller, older.core->ListeningPort());
    ASSERT_TRUE(BothMembers(caller, older)) << caller.ui.AllLogs() << older.ui.AllLogs();
    EXPECT_EQ(older.LogCount(kBadMagic), 1) << older.ui.AllLogs();
    // Once the week has passed (the store forgets), the probe comes again: one more bad magic.
    HangUp(caller, older);
    caller.trust.Plain.clear();
    Call(caller, older.core->ListeningPort());
    ASSERT_TRUE(BothMembers(caller, older)) << caller.ui.AllLogs() << older.ui.AllLogs();
    EXPECT_EQ(older.LogCount(kBadMagic), 2) << older.ui.AllLogs();
}

TEST_F(EncryptedCallTest, AnOlderCallerIsServedInTheClear) {
    TWarnSide older(sync, false);
    TWarnSide listener(sync, true);
    listener.core->StartListening(0);
    Call(older, listener.core->ListeningPort());
    ASSERT_TRUE(BothMembers(older, listener)) << older.ui.AllLogs() << listener.ui.AllLogs();
    EXPECT_EQ(listener.Member()->Security(), TPartnerSecurity::Plain);
    EXPECT_EQ(listener.Member()->EncryptionIdentity(), nullptr);
    older.core->SendText("plain line");
    listener.core->SendText("plain answer");
    ASSERT_TRUE(
        PumpUntil(sync, [&] { return older.ui.Chat.size() == 1 && listener.ui.Chat.size() == 1; }));
    EXPECT_TRUE(listener.trust.Pins.empty());
    EXPECT_TRUE(listener.ui.Warnings.empty());

    // With unencrypted partners refused, the same caller is turned away with a reply.
    HangUp(older, listener);
    listener.trust.Refuse = true;
    Call(older, listener.core->ListeningPort());
    ASSERT_TRUE(PumpUntil(sync, [&] {
        return listener.ui.Warnings.size() == 1 && older.ui.CallFailures.size() == 1;
    }));
    EXPECT_EQ(listener.ui.Warnings[0].Problem, TSecurityProblem::Unencrypted);
    EXPECT_EQ(older.ui.CallFailures[0].second, TCallFailure::Refused);
    EXPECT_TRUE(listener.ui.Members.empty());
}

TEST_F(EncryptedCallTest, ADowngradingRelayIsFollowedOnlyForAnUnpinnedPartner) {
    TWarnSide caller(sync, true);
    TWarnSide listener(sync, true);
    listener.core->StartListening(0);
    TRecordingRelay relay(listener.core->ListeningPort(), /*dropTls=*/true);
    const std::string key = CalledPartnerKey("127.0.0.1", relay.Port());

    // Unpinned: the hello is dropped, the call goes again in the clear and is marked so.
    Call(caller, relay.Port());
    ASSERT_TRUE(BothMembers(caller, listener)) << caller.ui.AllLogs() << listener.ui.AllLogs();
    EXPECT_EQ(caller.Member()->Security(), TPartnerSecurity::Plain);
    EXPECT_EQ(listener.Member()->Security(), TPartnerSecurity::Plain);
    EXPECT_EQ(relay.Dropped(), 1);
    HangUp(caller, listener);

    // Pinned: never in the clear. The call is refused with the warning.
    caller.trust.Plain.clear();
    caller.trust.Pins[key] = listener.identity->Fingerprint();
    Call(caller, relay.Port());
    ASSERT_TRUE(PumpUntil(sync, [&] { return caller.ui.Warnings.size() == 1; }))
        << caller.ui.AllLogs();
    PumpFor(sync, 200);
    EXPECT_EQ(caller.ui.Warnings[0].Problem, TSecurityProblem::PlainFromPinned);
    EXPECT_EQ(caller.ui.Warnings[0].Partner, key);
    EXPECT_EQ(caller.LogCount(texts::kPlainFromPinned), 1) << caller.ui.AllLogs();
    EXPECT_EQ(relay.Dropped(), 2);
    EXPECT_EQ(relay.Connections(), 3) << "no second, plain connection";
    EXPECT_TRUE(caller.ui.Members.empty());
    EXPECT_TRUE(listener.ui.Members.empty());
    EXPECT_FALSE(caller.trust.KnownPlain(key));

    // With unencrypted partners refused, an unpinned partner is refused the same way.
    caller.trust.Pins.clear();
    caller.trust.Refuse = true;
    Call(caller, relay.Port());
    ASSERT_TRUE(PumpUntil(sync, [&] { return caller.ui.Warnings.size() == 2; }));
    EXPECT_EQ(caller.ui.Warnings[1].Problem, TSecurityProblem::Unencrypted);
    EXPECT_TRUE(caller.ui.Members.empty());
}

TEST_F(EncryptedCallTest, AChangedKeyIsRefusedUntilTheUserAcceptsIt) {
    TWarnSide caller(sync, true);
    TWarnSide listener(sync, true);
    listener.core->StartListening(0);
    const std::string key = CalledPartnerKey("127.0.0.1", listener.core->ListeningPort());
    const std::string old = TTlsIdentity::Generate()->Fingerprint();
    caller.trust.Pins[key] = old;

    // The called partner comes back with another key.
    Call(caller, listener.core->ListeningPort());
    ASSERT_TRUE(PumpUntil(sync, [&] { return caller.ui.Warnings.size() == 1; }))
        << caller.ui.AllLogs();
    const TSecurityWarning warning = caller.ui.Warnings[0];
    EXPECT_EQ(warning.Problem, TSecurityProblem::KeyChanged);
    EXPECT_EQ(warning.PinnedFingerprint, old);
    EXPECT_EQ(warning.NewFingerprint, listener.identity->Fingerprint());
    EXPECT_EQ(caller.LogCount(texts::kKeyChanged), 1) << caller.ui.AllLogs();
    PumpFor(sync, 100);
    EXPECT_TRUE(caller.ui.Members.empty());
    EXPECT_TRUE(listener.ui.Calls.empty()) << "refused before the pass phrase went out";
    EXPECT_EQ(caller.trust.PinnedKey(key), old);

    // Accepting the new key pins it, and the next call goes through, verified.
    caller.core->AcceptPartnerKey(warning.Partner, warning.NewFingerprint);
    EXPECT_EQ(caller.trust.PinnedKey(key), listener.identity->Fingerprint());
    Call(caller, listener.core->ListeningPort());
    ASSERT_TRUE(BothMembers(caller, listener)) << caller.ui.AllLogs();
    EXPECT_EQ(caller.Member()->Security(), TPartnerSecurity::Verified);
    HangUp(caller, listener);

    // The other way: the caller's key is not the one the listener pinned for its name.
    listener.trust.Pins[CallerPartnerKey("me")] = old;
    listener.ui.Calls.clear();
    Call(caller, listener.core->ListeningPort());
    ASSERT_TRUE(PumpUntil(sync, [&] {
        return listener.ui.Warnings.size() == 1 && caller.ui.CallFailures.size() == 1;
    })) << listener.ui.AllLogs();
    EXPECT_EQ(listener.ui.Warnings[0].Problem, TSecurityProblem::KeyChanged);
    EXPECT_EQ(listener.ui.Warnings[0].NewFingerprint, caller.identity->Fingerprint());
    EXPECT_EQ(caller.ui.CallFailures[0].second, TCallFailure::Refused);
    EXPECT_TRUE(listener.ui.Calls.empty()) << "never asked to accept";

    // A caller in the clear under a name pinned as encrypted is refused too.
    TWarnSide older(sync, false);
    Call(older, listener.core->ListeningPort());
    ASSERT_TRUE(PumpUntil(sync, [&] { return listener.ui.Warnings.size() == 2; }));
    EXPECT_EQ(listener.ui.Warnings[1].Problem, TSecurityProblem::PlainFromPinned);
}

}  // namespace
}  // namespace vox::testing
