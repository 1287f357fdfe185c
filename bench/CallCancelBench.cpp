// A call to a host that never answers (its packets are sent to a hardware address nobody has)
// and キャンセル: how long the window's thread goes without running its events while the call
// waits, and how long after Cancel the call's thread is gone. The core runs without its
// window; this program's main thread plays the window's thread, running the core's calls onto
// it as the event loop does. Targets: an IPv4 address, an IPv6 address, and a host name with
// both (Happy Eyeballs: two connects under way at the cancel).
//
// It makes a network and mount namespace of its own (root needed): a veth pair holding
// 10.9.9.0/24 and 2001:db8:9::/64, and a hosts file naming silent.test, bound over /etc/hosts
// there only. Nothing is left behind when it ends.
//
// Usage: bench_call_cancel [ROUNDS]
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "protocol/ConnectionCore.h"
#include "support/ConversationTestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

bool Setup() {
    if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return false;
    }
    const char* commands[] = {
        "ip link set lo up", "ip link add d0 type veth peer name d1", "ip link set d0 up",
        "ip link set d1 up", "ip addr add 10.9.9.2/24 dev d0",
        "ip -6 addr add 2001:db8:9::2/64 dev d0 nodad",
        // The silent host's hardware address belongs to nobody: its packets are sent and
        // dropped at the other end, unanswered.
        "ip neigh add 10.9.9.1 lladdr 02:00:00:00:09:01 dev d0 nud permanent",
        "ip -6 neigh add 2001:db8:9::1 lladdr 02:00:00:00:09:01 dev d0 nud permanent"};
    for (const char* command : commands) {
        if (std::system(command) != 0) {
            std::printf("failed: %s\n", command);
            return false;
        }
    }
    char hosts[] = "/tmp/vox-cancel-hosts-XXXXXX";
    const int fd = ::mkstemp(hosts);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    std::ofstream(hosts)
        << "127.0.0.1 localhost\n2001:db8:9::1 silent.test\n10.9.9.1 silent.test\n";
    const bool bound = ::mount(hosts, "/etc/hosts", nullptr, MS_BIND, nullptr) == 0;
    ::unlink(hosts);  // the bind mount keeps it while the namespace lives
    return bound;
}

struct TFigures {
    std::vector<double> Gaps;     // longest event-loop gap while the call waited, per round
    std::vector<double> Cancels;  // Cancel pressed .. the call's thread gone, per round
};

double Percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

}  // namespace

int main(int argc, char** argv) {
    using namespace vox;
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 10;
    if (::geteuid() != 0 || !Setup()) {
        std::printf("skipped: needs root and ip for a network namespace of its own\n");
        return 77;
    }
    TSynchronizer sync;
    testing::TFakeUi ui;
    TConnectionCore core(sync, ui);  // the program's own timeouts
    struct TTarget {
        const char* What;
        TCallRequest Request;
    };
    std::vector<TTarget> targets(3);
    targets[0].What = "IPv4 10.9.9.1";
    targets[0].Request.Address = "10.9.9.1";
    targets[1].What = "IPv6 2001:db8:9::1";
    targets[1].Request.Address = "2001:db8:9::1";
    targets[2].What = "silent.test (both)";
    targets[2].Request.HostName = "silent.test";
    bool allGone = true;
    for (TTarget& target : targets) {
        target.Request.Port = 9911;
        target.Request.MyName = "bench";
        target.Request.PartnerName = "silent";
        TFigures figures;
        for (int round = 0; round < rounds; ++round) {
            const std::size_t before = core.CallThreadCount();
            const TCallId call = core.Call(target.Request);
            // The call waits for 1.5 s while the window's thread runs its events.
            double gap = 0;
            auto last = Clock::now();
            const auto waiting = Clock::now();
            while (MsSince(waiting) < 1500) {
                sync.CheckSynchronize(1);
                gap = std::max(gap, MsSince(last));
                last = Clock::now();
            }
            const auto pressed = Clock::now();
            core.CancelCall(call);
            while (core.CallThreadCount() > before && MsSince(pressed) < 5000) {
                sync.CheckSynchronize(1);
            }
            allGone = allGone && core.CallThreadCount() == before;
            figures.Gaps.push_back(gap);
            figures.Cancels.push_back(MsSince(pressed));
        }
        std::printf(
            "%-20s event-loop gap while calling: median %.1f ms, worst %.1f ms; "
            "Cancel to call ended: median %.1f ms, worst %.1f ms (goal 200 ms; %d rounds)\n",
            target.What, Percentile(figures.Gaps, 0.5), Percentile(figures.Gaps, 1.0),
            Percentile(figures.Cancels, 0.5), Percentile(figures.Cancels, 1.0), rounds);
    }
    std::printf("calls failed meanwhile: %zu (none expected)\n", ui.CallFailures.size());
    return allGone && ui.CallFailures.empty() ? 0 : 1;
}
