// The called partner's whole byte stream on an outgoing connection: the answer to the
// caller's pcConnect and, after an accepting reply, the receive loop.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "fuzz/ConversationFuzz.h"

using namespace vox;
using namespace vox::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    TConversationWorld& world = TConversationWorld::Get();
    static auto listener = std::make_unique<TLoopbackListener>();
    static int runs = 0;
    if (++runs % kRunsPerPort == 0) {
        listener = std::make_unique<TLoopbackListener>();
    }
    world.Ui.WindowOpen = false;
    const int endedBefore = world.Ui.Ended;
    const int threadsBefore = ThreadCount();

    TCallRequest request;
    request.Address = "127.0.0.1";
    request.Port = listener->Port();
    request.MyName = "caller";
    request.Comment = "fuzz";
    request.PartnerName = "partner";
    request.PassPhrase = "secret";
    world.Core.Call(request);
    const int fd = listener->Accept(world.Waiter);
    SendAll(world, fd, data, size);
    const std::vector<std::uint8_t> back = DrainUntilClosed(world, fd);
    CloseAbortively(fd);
    // The caller's own pcConnect comes first; whatever follows is whole packets too.
    CheckWholePackets(back);
    if (back.empty() || back[13] != pcConnect) {
        Fail("the caller did not start with pcConnect");
    }
    world.PumpUntil(
        [&] {
            return world.Ui.Ended > endedBefore && world.Core.OutgoingCount() == 0 &&
                   world.Core.OutgoingSocketCount() == 0;
        },
        "the outgoing connection's thread did not end");
    world.PumpUntil([&] { return ThreadCount() <= threadsBefore; },
                    "the outgoing connection's thread did not exit");
    return 0;
}
