// The caller's whole byte stream on an incoming connection: the handshake (pcConnect, the
// pass-phrase check, the decision, the reply) and, after an accepted call, the receive loop.
#include <cstddef>
#include <cstdint>

#include "fuzz/ConversationFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vox::fuzz::RunIncoming({}, data, size);
    return 0;
}
