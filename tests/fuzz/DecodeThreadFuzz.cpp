// A connection's received voice (VoiceHeader + block, back to back, as the receive loop
// appends them) through a decode thread's steps into the mixer: the decoding takes exactly
// what the framing says, never more than the mixer's per-partner limit waits there, and it
// stops cleanly wherever the stream ends.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "voice/BlockCompression.h"
#include "voice/Buffer.h"
#include "voice/VoiceThreads.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

// Where the framing leaves the input once the thread has taken all it can: what is left is
// fewer than 8 bytes, or a header's block that has not fully arrived (the header taken).
std::int32_t ExpectedLeft(const std::uint8_t* data, std::size_t size) {
    std::size_t at = 0;
    for (;;) {
        if (size - at < 8) {
            return static_cast<std::int32_t>(size - at);
        }
        const std::size_t length = data[at + 4] | (data[at + 5] << 8);
        at += 8;
        if (length == 0) {
            continue;
        }
        if (size - at < length) {
            return static_cast<std::int32_t>(size - at);
        }
        at += length;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::int32_t kLimit = 13230;
    static vox::TFusionBuffer mixer;
    mixer.SetSourceLimit(kLimit);
    // A small input limit so that the dropping of a backlog is reached too. The decoding runs
    // on this thread, in the steps its own thread takes, with the whole stream there at once.
    vox::TDecodeThread decoder(mixer, 4096);
    decoder.InputBuffer().Write(data, static_cast<std::int32_t>(size));
    decoder.DecodeWaiting();
    const std::int32_t left = decoder.InputBuffer().Size();
    if (left < ExpectedLeft(data, size)) {
        Fail("the decoding took bytes beyond the framing");
    }
    if (left > ExpectedLeft(data, size)) {
        Fail("the decoding stopped before the framing says");
    }
    // Another look finds nothing more to take.
    decoder.DecodeWaiting();
    if (decoder.InputBuffer().Size() != left) {
        Fail("the decoding took more on a second look at the same bytes");
    }
    if (mixer.SourceSize(decoder.SourceKey()) > kLimit) {
        Fail("a partner's voice in the mixer passed the limit");
    }
    decoder.StopAndRemoveSource();
    if (decoder.FatalException()) {
        Fail("the decoding ended with an error");
    }
    if (mixer.ChildCount() != 0) {
        Fail("a child stayed in the mixer after its source was removed");
    }
    return 0;
}
