#include "platform/Synchronizer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

namespace vox {
namespace {

using namespace std::chrono_literals;

TEST(SynchronizerTest, RunsAtOnceOnTheMainThread) {
    TSynchronizer sync;
    EXPECT_TRUE(sync.IsMainThread());
    int ran = 0;
    sync.Synchronize([&] { ++ran; });
    EXPECT_EQ(ran, 1);
    EXPECT_FALSE(sync.CheckSynchronize());
}

TEST(SynchronizerTest, WorkerBlocksUntilTheMainThreadHasRunItsCall) {
    TSynchronizer sync;
    std::atomic<int> wakes{0};
    sync.SetWakeMainThread([&] { ++wakes; });
    std::thread::id ranOn;
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        EXPECT_FALSE(sync.IsMainThread());
        sync.Synchronize([&] { ranOn = std::this_thread::get_id(); });
        returned = true;
    });
    while (sync.PendingCount() == 0) {
        std::this_thread::sleep_for(1ms);
    }
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(returned);  // nobody pumped yet
    EXPECT_TRUE(sync.CheckSynchronize(1000));
    worker.join();
    EXPECT_TRUE(returned);
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_EQ(wakes, 1);
}

TEST(SynchronizerTest, CheckSynchronizeWaitsForACallAndTimesOut) {
    TSynchronizer sync;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(sync.CheckSynchronize(30));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 25ms);

    std::thread worker([&] {
        std::this_thread::sleep_for(20ms);
        sync.Synchronize([] {});
    });
    EXPECT_TRUE(sync.CheckSynchronize(5000));
    worker.join();
}

TEST(SynchronizerTest, RethrowsInTheWorker) {
    TSynchronizer sync;
    std::string caught;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        try {
            sync.Synchronize([] { throw std::runtime_error("boom"); });
        } catch (const std::runtime_error& e) {
            caught = e.what();
        }
        done = true;
    });
    sync.WaitUntil([&] { return done.load(); });
    worker.join();
    EXPECT_EQ(caught, "boom");
}

TEST(SynchronizerTest, ServesSeveralWorkersEachWaitingForItsOwnCall) {
    TSynchronizer sync;
    constexpr int kWorkers = 6;
    constexpr int kCalls = 50;
    std::vector<int> counts(kWorkers, 0);  // touched on the main thread only
    std::vector<int> seen(kWorkers, 0);
    std::atomic<int> finished{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w) {
        workers.emplace_back([&, w] {
            for (int i = 0; i < kCalls; ++i) {
                int value = -1;
                sync.Synchronize([&] { value = ++counts[w]; });
                // The call had run when Synchronize returned, and it was our own call.
                seen[w] += value == i + 1 ? 1 : 0;
            }
            ++finished;
        });
    }
    sync.WaitUntil([&] { return finished == kWorkers; });
    for (auto& t : workers) {
        t.join();
    }
    for (int w = 0; w < kWorkers; ++w) {
        EXPECT_EQ(counts[w], kCalls);
        EXPECT_EQ(seen[w], kCalls);
    }
}

TEST(SynchronizerTest, NestedPumpingRunsOtherCalls) {
    // A call that itself pumps (as a modal dialog does) lets other workers' calls run.
    TSynchronizer sync;
    std::atomic<bool> secondRan{false};
    std::thread second;
    std::thread first([&] {
        sync.Synchronize([&] {
            second = std::thread([&] { sync.Synchronize([&] { secondRan = true; }); });
            sync.WaitUntil([&] { return secondRan.load(); });
        });
    });
    sync.WaitUntil([&] { return secondRan.load() && sync.PendingCount() == 0; });
    first.join();
    second.join();
    EXPECT_TRUE(secondRan);
}

TEST(SynchronizerTest, CheckSynchronizeRefusesOtherThreads) {
    TSynchronizer sync;
    bool threw = false;
    std::thread([&] {
        try {
            sync.CheckSynchronize();
        } catch (const std::logic_error&) {
            threw = true;
        }
    }).join();
    EXPECT_TRUE(threw);
}

TEST(SynchronizerTest, WaitUntilOffTheMainThreadWakesOnWake) {
    TSynchronizer sync;
    std::atomic<bool> flag{false};
    std::thread waiter([&] { sync.WaitUntil([&] { return flag.load(); }, 10000); });
    std::this_thread::sleep_for(10ms);
    const auto start = std::chrono::steady_clock::now();
    flag = true;
    sync.Wake();
    waiter.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

}  // namespace
}  // namespace vox
