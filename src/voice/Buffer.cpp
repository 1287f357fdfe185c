#include "voice/Buffer.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

namespace vox {

// ---------------------------------------------------------------------------------------------
// TMyBuffer

void TMyBuffer::NotifyWrite() {
    if (OnWrite) {
        OnWrite(this);
    }
}

void TMyBuffer::NotifyRead() {
    if (OnRead) {
        OnRead(this);
    }
}

// ---------------------------------------------------------------------------------------------
// TCustomFifoBuffer

std::int32_t TCustomFifoBuffer::Size() const {
    return FSize;
}

void TCustomFifoBuffer::Write(const void* Buffer, std::int32_t Count) {
    if (Count <= 0) {
        return;
    }
    const std::int64_t needed = static_cast<std::int64_t>(FSize) + Count;
    if (needed > kMaxCapacity) {
        throw std::bad_alloc();
    }
    if (needed > FCapacity) {
        // Doubling keeps the copies of a growing buffer in proportion to what it takes in.
        Resize(
            std::max<std::int64_t>(needed, std::min<std::int64_t>(2LL * FCapacity, kMaxCapacity)));
    } else if (FCapacity > kCapacityStep && needed * 4 <= FCapacity) {
        // Mostly empty: the surplus goes, leaving room to grow before the next resize.
        Resize(2 * needed);
    }
    // At most two pieces: up to the end of the storage, then from its start.
    const auto* in = static_cast<const std::uint8_t*>(Buffer);
    const auto tail =
        static_cast<std::int32_t>((static_cast<std::int64_t>(FHead) + FSize) % FCapacity);
    const std::int32_t first = std::min(Count, FCapacity - tail);
    std::memcpy(FMemory.get() + tail, in, static_cast<std::size_t>(first));
    std::memcpy(FMemory.get(), in + first, static_cast<std::size_t>(Count - first));
    FSize += Count;
    NotifyWrite();
}

std::int32_t TCustomFifoBuffer::Read(void* Buffer, std::int32_t Count) {
    if (Count <= 0) {
        return 0;
    }
    const std::int32_t n = Peek(Buffer, Count, 0);
    Discard(n);
    NotifyRead();
    return n;
}

void TCustomFifoBuffer::Clear() {
    FMemory.reset();
    FCapacity = FHead = FSize = 0;
}

std::int32_t TCustomFifoBuffer::Discard(std::int32_t Count) {
    const std::int32_t n = std::min(FSize, Count);
    if (n <= 0) {
        return 0;
    }
    FSize -= n;
    // An emptied buffer starts again at the beginning of its storage: the next writes stay in
    // one piece.
    FHead = FSize == 0
                ? 0
                : static_cast<std::int32_t>((static_cast<std::int64_t>(FHead) + n) % FCapacity);
    return n;
}

std::int32_t TCustomFifoBuffer::Peek(void* Buffer, std::int32_t Count, std::int32_t Offset) const {
    if (Offset < 0 || Count <= 0 || Offset >= FSize) {
        return 0;
    }
    const std::int32_t n = std::min(FSize - Offset, Count);
    CopyOut(static_cast<std::int64_t>(FHead) + Offset, static_cast<std::uint8_t*>(Buffer), n);
    return n;
}

std::int32_t TCustomFifoBuffer::Capacity() const {
    return FCapacity;
}

void TCustomFifoBuffer::SetCapacity(std::int32_t NewCapacity) {
    Resize(NewCapacity);
}

void TCustomFifoBuffer::CopyOut(std::int64_t At, std::uint8_t* Out, std::int32_t Count) const {
    const auto from = static_cast<std::int32_t>(At % FCapacity);
    const std::int32_t first = std::min(Count, FCapacity - from);
    std::memcpy(Out, FMemory.get() + from, static_cast<std::size_t>(first));
    std::memcpy(Out + first, FMemory.get(), static_cast<std::size_t>(Count - first));
}

void TCustomFifoBuffer::Resize(std::int64_t NewCapacity) {
    // Never below the held bytes: shrinking under them would lose data and break every read.
    std::int64_t target = std::max<std::int64_t>(NewCapacity, FSize);
    if (target > 0) {
        target = (target + kCapacityStep - 1) / kCapacityStep * kCapacityStep;
        if (target > kMaxCapacity) {
            throw std::bad_alloc();
        }
    }
    const auto newCapacity = static_cast<std::int32_t>(target);
    if (newCapacity == FCapacity) {
        return;
    }
    if (newCapacity == 0) {
        Clear();
        return;
    }
    // Allocated before anything changes: a failure leaves the buffer as it was.
    auto memory =
        std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<std::size_t>(newCapacity));
    if (FSize > 0) {
        CopyOut(FHead, memory.get(), FSize);
    }
    FMemory = std::move(memory);
    FCapacity = newCapacity;
    FHead = 0;
}

// ---------------------------------------------------------------------------------------------
// TThreadFifoBuffer

std::int32_t TThreadFifoBuffer::Size() const {
    std::lock_guard lock(FLock);
    return FFifo.Size();
}

void TThreadFifoBuffer::Write(const void* Buffer, std::int32_t Count) {
    if (Count <= 0) {
        return;
    }
    {
        std::lock_guard lock(FLock);
        FFifo.Write(Buffer, Count);
    }
    FArrived.notify_all();
    NotifyWrite();
}

std::int32_t TThreadFifoBuffer::Read(void* Buffer, std::int32_t Count) {
    if (Count <= 0) {
        return 0;
    }
    std::int32_t n;
    {
        std::lock_guard lock(FLock);
        n = FFifo.Read(Buffer, Count);
    }
    NotifyRead();
    return n;
}

void TThreadFifoBuffer::Clear() {
    std::lock_guard lock(FLock);
    FFifo.Clear();
}

std::int32_t TThreadFifoBuffer::Discard(std::int32_t Count) {
    std::lock_guard lock(FLock);
    return FFifo.Discard(Count);
}

std::int32_t TThreadFifoBuffer::Peek(void* Buffer, std::int32_t Count, std::int32_t Offset) const {
    std::lock_guard lock(FLock);
    return FFifo.Peek(Buffer, Count, Offset);
}

std::int32_t TThreadFifoBuffer::Capacity() const {
    std::lock_guard lock(FLock);
    return FFifo.Capacity();
}

void TThreadFifoBuffer::SetCapacity(std::int32_t NewCapacity) {
    std::lock_guard lock(FLock);
    FFifo.SetCapacity(NewCapacity);
}

bool TThreadFifoBuffer::WaitForBytes(std::int32_t MinBytes) {
    std::unique_lock lock(FLock);
    FArrived.wait(lock, [&] { return FTerminated || FFifo.Size() >= MinBytes; });
    return FFifo.Size() >= MinBytes;
}

bool TThreadFifoBuffer::WaitForBytes(std::int32_t MinBytes, TClock::time_point Deadline) {
    std::unique_lock lock(FLock);
    FArrived.wait_until(lock, Deadline, [&] { return FTerminated || FFifo.Size() >= MinBytes; });
    return FFifo.Size() >= MinBytes;
}

void TThreadFifoBuffer::Terminate() {
    {
        std::lock_guard lock(FLock);
        FTerminated = true;
    }
    FArrived.notify_all();
}

bool TThreadFifoBuffer::Terminated() const {
    std::lock_guard lock(FLock);
    return FTerminated;
}

// ---------------------------------------------------------------------------------------------
// TFusionBuffer

TFusionBuffer::~TFusionBuffer() = default;

std::int32_t TFusionBuffer::Size() const {
    std::lock_guard lock(FLock);
    return LargestChild();
}

std::int32_t TFusionBuffer::LargestChild() const {
    std::int32_t largest = 0;
    for (const auto& child : FChildren) {
        largest = std::max(largest, child->Size());
    }
    return largest;
}

void TFusionBuffer::Write(const void*, std::int32_t) {
    throw std::logic_error("TFusionBuffer::Write: data enters the mixer only through WriteFrom");
}

std::int32_t TFusionBuffer::Read(void* Buffer, std::int32_t Count) {
    if (Count <= 0) {
        return 0;
    }
    std::int32_t delivered = 0;
    {
        std::lock_guard lock(FLock);
        const auto children = static_cast<std::int32_t>(FChildren.size());
        if (children == 0) {
            return 0;  // nothing read, so no notification either
        }
        auto* out = static_cast<std::uint8_t*>(Buffer);
        const auto now = std::chrono::steady_clock::now();
        if (children == 1) {
            // One talker passes through, at its volume, however much is asked for.
            TFusionChildBuffer& child = *FChildren.front();
            delivered = child.Read(Buffer, Count);
            if (delivered > 0) {
                child.LastRead = now;
            }
            const int volume = VolumeOf(child.Source()) * FOutputVolume / 100;
            if (volume != 100) {
                for (std::int32_t i = 0; i < delivered; ++i) {
                    out[i] = ScaleSample(out[i], volume);
                }
            }
        } else {
            // Never ask a child for more than one scratch block; the caller reads again for
            // the rest.
            const std::int32_t count = std::min(Count, MixScratchSize);
            const auto span = static_cast<std::size_t>(count);
            // Both working areas exist before any child is read, so a failed allocation loses
            // no bytes.
            if (FScratch.size() < span) {
                FScratch.resize(span);
                FSums.resize(span);
            }
            // A muted partner is not heard at all: its voice is taken (so it does not pile up)
            // but it does not count in the mean, so muting one partner leaves the others as
            // loud as if it were not there.
            std::uint32_t heard = 0;
            for (const auto& child : FChildren) {
                heard += VolumeOf(child->Source()) > 0 ? 1u : 0u;
            }
            // Every position starts as silence from every heard child; a child's bytes replace
            // its share of silence where it has them.
            std::fill_n(FSums.begin(), span, static_cast<std::uint32_t>(kSilence) * heard);
            for (const auto& child : FChildren) {
                const std::int32_t got = child->Read(FScratch.data(), count);
                if (got > 0) {
                    child->LastRead = now;
                }
                delivered = std::max(delivered, got);
                const int volume = VolumeOf(child->Source());
                if (volume <= 0) {
                    continue;
                }
                for (std::int32_t i = 0; i < got; ++i) {
                    const std::uint8_t sample = FScratch[static_cast<std::size_t>(i)];
                    FSums[static_cast<std::size_t>(i)] +=
                        volume == 100 ? sample : ScaleSample(sample, volume);
                    FSums[static_cast<std::size_t>(i)] -= kSilence;
                }
            }
            // The mean rounded half up: trunc(sum / N + 0.5) == (2 * sum + N) div (2 * N) for
            // non-negative integers, without floating point. Everyone muted: silence.
            const std::uint32_t n = heard;
            for (std::int32_t i = 0; i < delivered; ++i) {
                const std::uint32_t sum = FSums[static_cast<std::size_t>(i)];
                out[i] = n == 0 ? kSilence : static_cast<std::uint8_t>((2 * sum + n) / (2 * n));
                if (FOutputVolume != 100) {
                    out[i] = ScaleSample(out[i], FOutputVolume);
                }
            }
        }
    }
    NotifyRead();
    return delivered;
}

void TFusionBuffer::WriteFrom(const void* Buffer, std::int32_t Count, const void* Source) {
    if (Count <= 0) {
        return;
    }
    {
        std::lock_guard lock(FLock);
        TFusionChildBuffer* child = FindChild(Source);
        if (child == nullptr) {
            auto created = std::make_unique<TFusionChildBuffer>(Source);
            created->Write(Buffer, Count);  // a child that cannot take the bytes is not kept
            Trim(*created);
            FChildren.push_back(std::move(created));
        } else {
            child->Write(Buffer, Count);
            Trim(*child);
        }
    }
    FArrived.notify_all();
    NotifyWrite();
}

bool TFusionBuffer::WaitForData() {
    std::unique_lock lock(FLock);
    FArrived.wait(lock, [this] { return FTerminated || LargestChild() > 0; });
    return LargestChild() > 0;
}

void TFusionBuffer::Terminate() {
    {
        std::lock_guard lock(FLock);
        FTerminated = true;
    }
    FArrived.notify_all();
}

void TFusionBuffer::RemoveSource(const void* Source) {
    std::unique_ptr<TFusionChildBuffer> removed;  // freed after the lock is released
    std::lock_guard lock(FLock);
    std::erase_if(FVolumes, [Source](const auto& entry) { return entry.first == Source; });
    const auto it = std::find_if(FChildren.begin(), FChildren.end(),
                                 [Source](const auto& child) { return child->Source() == Source; });
    if (it != FChildren.end()) {
        removed = std::move(*it);
        FChildren.erase(it);
    }
}

std::int32_t TFusionBuffer::ChildCount() const {
    std::lock_guard lock(FLock);
    return static_cast<std::int32_t>(FChildren.size());
}

std::int32_t TFusionBuffer::SourceSize(const void* Source) const {
    std::lock_guard lock(FLock);
    const TFusionChildBuffer* child = FindChild(Source);
    return child == nullptr ? 0 : child->Size();
}

void TFusionBuffer::SetSourceLimit(std::int32_t Bytes, std::int32_t SampleSize) {
    std::lock_guard lock(FLock);
    FSampleSize = std::max<std::int32_t>(SampleSize, 1);
    FSourceLimit = Bytes <= 0 ? 0 : std::max(Bytes / FSampleSize * FSampleSize, FSampleSize);
}

std::int32_t TFusionBuffer::SourceLimit() const {
    std::lock_guard lock(FLock);
    return FSourceLimit;
}

std::int64_t TFusionBuffer::DroppedBytes() const {
    std::lock_guard lock(FLock);
    return FDroppedBytes;
}

void TFusionBuffer::Trim(TFusionChildBuffer& Child) {
    const std::int32_t held = Child.Size();
    if (FSourceLimit <= 0 || held <= FSourceLimit) {
        return;
    }
    // Whole samples only: the child's bytes stay aligned to the samples they belong to.
    const std::int32_t excess = held - FSourceLimit;
    const std::int32_t drop = (excess + FSampleSize - 1) / FSampleSize * FSampleSize;
    FDroppedBytes += Child.Discard(drop);
}

void TFusionBuffer::SetSourceVolume(const void* Source, int Percent) {
    std::lock_guard lock(FLock);
    Percent = std::max(Percent, 0);
    for (auto& entry : FVolumes) {
        if (entry.first == Source) {
            entry.second = Percent;
            return;
        }
    }
    FVolumes.emplace_back(Source, Percent);
}

int TFusionBuffer::SourceVolume(const void* Source) const {
    std::lock_guard lock(FLock);
    return VolumeOf(Source);
}

int TFusionBuffer::VolumeOf(const void* Source) const {
    for (const auto& entry : FVolumes) {
        if (entry.first == Source) {
            return entry.second;
        }
    }
    return 100;
}

void TFusionBuffer::SetOutputVolume(int Percent) {
    std::lock_guard lock(FLock);
    FOutputVolume = std::max(Percent, 0);
}

int TFusionBuffer::OutputVolume() const {
    std::lock_guard lock(FLock);
    return FOutputVolume;
}

bool TFusionBuffer::SourceActive(const void* Source, std::chrono::milliseconds Within) const {
    std::lock_guard lock(FLock);
    const TFusionChildBuffer* child = FindChild(Source);
    if (child == nullptr) {
        return false;
    }
    return child->Size() > 0 || std::chrono::steady_clock::now() - child->LastRead <= Within;
}

std::uint8_t ScaleSample(std::uint8_t Sample, int Percent) {
    const int offset = static_cast<int>(Sample) - TFusionBuffer::kSilence;
    const int scaled =
        offset >= 0 ? (offset * Percent + 50) / 100 : -((-offset * Percent + 50) / 100);
    return static_cast<std::uint8_t>(std::clamp(scaled + TFusionBuffer::kSilence, 0, 255));
}

TFusionChildBuffer* TFusionBuffer::FindChild(const void* Source) const {
    for (const auto& child : FChildren) {
        if (child->Source() == Source) {
            return child.get();
        }
    }
    return nullptr;
}

}  // namespace vox
