// Helpers shared by the voice tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Thread.h"
#include "voice/Buffer.h"

namespace vox::test {

using Bytes = std::vector<std::uint8_t>;

// Polls Done every millisecond for at most TimeoutMs; true once it holds.
inline bool WaitUntil(const std::function<bool()>& Done, int TimeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    while (!Done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline void SleepMs(int Ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(Ms));
}

// Bytes that differ from one position to the next, so that order and gaps show.
inline Bytes Sequence(std::size_t Count, unsigned Seed = 0) {
    Bytes bytes(Count);
    for (std::size_t i = 0; i < Count; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 253 + Seed);
    }
    return bytes;
}

// Everything a buffer holds now.
inline Bytes Drain(TMyBuffer& Buffer) {
    Bytes out(static_cast<std::size_t>(Buffer.Size()));
    out.resize(
        static_cast<std::size_t>(Buffer.Read(out.data(), static_cast<std::int32_t>(out.size()))));
    return out;
}

// Context switches of this process's thread Tid so far, whether it gave up the processor
// (went to sleep) or was made to; -1 when the thread is gone.
inline std::int64_t ContextSwitches(int Tid) {
    std::ifstream status("/proc/self/task/" + std::to_string(Tid) + "/status");
    std::int64_t total = 0;
    int found = 0;
    for (std::string line; std::getline(status, line);) {
        for (const char* key : {"voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:"}) {
            if (line.rfind(key, 0) == 0) {
                total += std::stoll(line.substr(std::strlen(key)));
                ++found;
            }
        }
    }
    return found == 2 ? total : -1;
}

// How often each of Threads was switched in and out over Ms milliseconds: a thread asleep until
// there is work has next to none, one that looks for work every 10 ms about a hundred a second.
// -1 for a thread that is not running.
inline std::vector<std::int64_t> SwitchesOver(const std::vector<const TThread*>& Threads, int Ms) {
    std::vector<int> ids;
    std::vector<std::int64_t> before;
    for (const TThread* thread : Threads) {
        WaitUntil([&] { return thread->SystemThreadId() != 0; });
        ids.push_back(thread->SystemThreadId());
        before.push_back(ContextSwitches(ids.back()));
    }
    SleepMs(Ms);
    std::vector<std::int64_t> counts;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const std::int64_t after = ContextSwitches(ids[i]);
        counts.push_back(after < 0 || before[i] < 0 ? -1 : after - before[i]);
    }
    return counts;
}

// Idle for a second, a sleeping thread is switched fewer times than this.
inline constexpr std::int64_t kIdleSwitchLimit = 5;

// A locked FIFO that remembers the size of every write it took.
class TWriteLogFifo : public TThreadFifoBuffer {
  public:
    void Write(const void* Buffer, std::int32_t Count) override {
        {
            std::lock_guard lock(FLogLock);
            FWrites.push_back(Count);
        }
        TThreadFifoBuffer::Write(Buffer, Count);
    }
    std::vector<std::int32_t> Writes() const {
        std::lock_guard lock(FLogLock);
        return FWrites;
    }

  private:
    mutable std::mutex FLogLock;
    std::vector<std::int32_t> FWrites;
};

}  // namespace vox::test
