// The packet reader after the handshake: a caller whose pcConnect is accepted, then the
// input as everything it sends on the established connection (voice, text, transfer
// requests and replies, unknown commands, lengths at every boundary).
#include <cstddef>
#include <cstdint>

#include "fuzz/ConversationFuzz.h"
#include "wire/PassPhrase.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const vox::Packet connect = vox::BuildConnect("fuzz", "", "");
    vox::fuzz::RunIncoming(connect, data, size);
    return 0;
}
