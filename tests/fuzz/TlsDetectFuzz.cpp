// The first bytes of a connection as a listener with keys sees them: the peek that tells a TLS
// hello from the plain protocol's magic, and what follows either way (a partial record, a
// record that is no hello, a hello cut short or followed by garbage, an older caller's
// plain handshake and conversation). Whatever comes, the connection ends; a caller that
// started with a TLS record gets only whole TLS records back, any other caller only whole
// packets of the plain protocol.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "fuzz/ConversationFuzz.h"

using namespace vox;
using namespace vox::fuzz;

namespace {

// The largest record TLS 1.3 lets a peer send: 2^14 bytes of data and 256 of expansion.
constexpr std::size_t kMaxTlsRecordBody = (1U << 14) + 256;
constexpr std::size_t kTlsRecordHeader = 5;

void CheckWholeTlsRecords(const std::vector<std::uint8_t>& bytes) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        if (bytes.size() - at < kTlsRecordHeader) {
            Fail("the listener wrote part of a TLS record header");
        }
        // The record's version is not looked at: an alert to a hello that names a version
        // of its own may carry that version.
        const std::uint8_t type = bytes[at];
        if (type < 20 || type > 23) {
            std::fprintf(stderr, "at %zu of %zu:", at, bytes.size());
            for (std::size_t i = at; i < bytes.size() && i < at + 16; ++i) {
                std::fprintf(stderr, " %02x", bytes[i]);
            }
            std::fprintf(stderr, "\n");
            Fail("the listener wrote something that is no TLS record");
        }
        const std::size_t length = (std::size_t{bytes[at + 3]} << 8) | bytes[at + 4];
        if (length > kMaxTlsRecordBody) {
            Fail("the listener wrote a TLS record longer than TLS allows");
        }
        if (bytes.size() - at - kTlsRecordHeader < length) {
            Fail("the listener wrote part of a TLS record");
        }
        at += kTlsRecordHeader + length;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    TConversationWorld& world = TConversationWorld::Get(true);
    // Callers come as strangers: no key pinned, none refused for want of encryption.
    world.Trust.Pins.clear();
    const std::vector<std::uint8_t> back = ServeIncoming(world, {}, data, size);
    if (LooksLikeTls(data, size)) {
        CheckWholeTlsRecords(back);
    } else {
        CheckWholePackets(back);
    }
    return 0;
}
