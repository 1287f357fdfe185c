// Helpers shared by the voice tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

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
