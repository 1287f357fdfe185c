// The called partner's whole byte stream on an outgoing connection: the answer to the
// caller's pcConnect and, after an accepting reply, the receive loop.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "fuzz/ConversationFuzz.h"

using namespace vox;
using namespace vox::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    TConversationWorld& world = TConversationWorld::Get();
    world.Ui.WindowOpen = false;
    const int endedBefore = world.Ui.Ended;

    TSocketPair pair;
    pair.Feed(data, size);
    pair.EndFeeding();
    {
        auto component = std::make_shared<TMyClientSocket>();
        component->MyName = "caller";
        component->Comment = "fuzz";
        component->PartnerName = "partner";
        component->PassPhrase = "secret";
        component->PartnerKey = CalledPartnerKey("127.0.0.1", 40000);
        const sockaddr_in peer = LoopbackPeer();
        component->Socket().AdoptConnected(pair.TakeCoreEnd(),
                                           reinterpret_cast<const sockaddr&>(peer));
        TClientThread thread(world.Core, &world.Sync, component, 0);
        thread.WriteOnQueuingThread();
        thread.ConverseHere();
    }
    if (world.Ui.Ended != endedBefore + 1) {
        Fail("the outgoing connection did not tell the window it ended");
    }
    if (world.Core.OutgoingCount() != 0) {
        Fail("the outgoing connection stayed listed");
    }
    // The caller's own pcConnect comes first; whatever follows is whole packets too.
    const std::vector<std::uint8_t> back = pair.Drain();
    CheckWholePackets(back);
    if (back.empty() || back[13] != pcConnect) {
        Fail("the caller did not start with pcConnect");
    }
    return 0;
}
