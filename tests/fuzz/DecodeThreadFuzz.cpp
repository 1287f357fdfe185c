// A connection's received voice (VoiceHeader + block, back to back, as the receive loop
// appends them) through a real decode thread into the mixer: the thread takes exactly what
// the framing says, never more than the mixer's per-partner limit waits there, and the
// thread stops cleanly wherever the stream ends.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>

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
    vox::TFusionBuffer mixer;
    mixer.SetSourceLimit(kLimit);
    // A small input limit so that the dropping of a backlog is reached too.
    vox::TDecodeThread decoder(mixer, 4096);
    decoder.InputBuffer().Write(data, static_cast<std::int32_t>(size));
    const std::int32_t left = ExpectedLeft(data, size);
    decoder.Start();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (decoder.InputBuffer().Size() != left) {
        if (decoder.InputBuffer().Size() < left) {
            Fail("the decode thread took bytes beyond the framing");
        }
        if (std::chrono::steady_clock::now() > deadline) {
            Fail("the decode thread stopped before the framing says");
        }
        std::this_thread::yield();
    }
    if (mixer.SourceSize(decoder.SourceKey()) > kLimit) {
        Fail("a partner's voice in the mixer passed the limit");
    }
    decoder.StopAndRemoveSource();
    if (decoder.FatalException()) {
        Fail("the decode thread ended with an error");
    }
    if (mixer.ChildCount() != 0) {
        Fail("a child stayed in the mixer after its source was removed");
    }
    return 0;
}
