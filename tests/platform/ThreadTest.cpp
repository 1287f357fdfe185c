#include "platform/Thread.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/Synchronizer.h"

namespace vox {
namespace {

using namespace std::chrono_literals;

// Runs a function as its body; stops itself in its destructor as derived classes must.
class TFunctionThread : public TThread {
  public:
    explicit TFunctionThread(std::function<void(TFunctionThread&)> body,
                             TSynchronizer* sync = nullptr)
        : TThread(sync), body_(std::move(body)) {}
    ~TFunctionThread() override {
        Terminate();
        WaitFor();
    }
    using TThread::Synchronize;

  protected:
    void Execute() override { body_(*this); }

  private:
    std::function<void(TFunctionThread&)> body_;
};

TEST(ThreadTest, RunsUntilTerminatedAndWaitForJoins) {
    std::atomic<int> loops{0};
    TFunctionThread t([&](TFunctionThread& self) {
        while (!self.Terminated()) {
            ++loops;
            std::this_thread::sleep_for(1ms);
        }
    });
    EXPECT_FALSE(t.Started());
    t.WaitFor();  // not started: returns at once
    t.Start();
    t.Start();  // second start is ignored
    while (loops < 3) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_FALSE(t.Finished());
    t.Terminate();
    t.WaitFor();
    EXPECT_TRUE(t.Finished());
    t.WaitFor();  // again: nothing left to join
}

TEST(ThreadTest, ExceptionsAreCaughtAndOffered) {
    std::string offered;
    TFunctionThread t([](TFunctionThread&) { throw std::runtime_error("broken"); });
    t.OnException = [&](std::exception_ptr e) {
        try {
            std::rethrow_exception(e);
        } catch (const std::runtime_error& err) {
            offered = err.what();
        }
        throw std::logic_error("the hook itself fails");  // dropped
    };
    t.Start();
    t.WaitFor();
    EXPECT_EQ(offered, "broken");
    EXPECT_TRUE(t.FatalException() != nullptr);
}

TEST(ThreadTest, EndNotificationRunsOnTheMainThreadWhileWaitForPumps) {
    TSynchronizer sync;
    std::thread::id notifiedOn;
    std::thread::id syncedOn;
    TFunctionThread t(
        [&](TFunctionThread& self) {
            self.Synchronize([&] { syncedOn = std::this_thread::get_id(); });
        },
        &sync);
    t.OnTerminate = [&] { notifiedOn = std::this_thread::get_id(); };
    t.Start();
    t.WaitFor();  // would deadlock if it did not run the synchronised calls
    EXPECT_EQ(syncedOn, std::this_thread::get_id());
    EXPECT_EQ(notifiedOn, std::this_thread::get_id());
}

TEST(ThreadTest, WaitForOffTheMainThreadDoesNotPump) {
    TSynchronizer sync;
    std::atomic<bool> notified{false};
    TFunctionThread t([](TFunctionThread&) {}, &sync);
    t.OnTerminate = [&] { notified = true; };
    t.Start();
    std::atomic<bool> waited{false};
    std::thread other([&] {
        t.WaitFor();
        waited = true;
    });
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(waited);  // the end notification waits for the main thread
    sync.WaitUntil([&] { return waited.load(); });
    other.join();
    EXPECT_TRUE(notified);
}

TEST(ThreadTest, WithoutSynchronizerCallsRunOnTheThread) {
    std::thread::id syncedOn;
    std::thread::id notifiedOn;
    std::thread::id threadId;
    TFunctionThread t([&](TFunctionThread& self) {
        threadId = std::this_thread::get_id();
        self.Synchronize([&] { syncedOn = std::this_thread::get_id(); });
    });
    t.OnTerminate = [&] { notifiedOn = std::this_thread::get_id(); };
    t.Start();
    t.WaitFor();
    EXPECT_EQ(syncedOn, threadId);
    EXPECT_EQ(notifiedOn, threadId);
}

// The system's nice value of the calling thread (Linux keeps one per thread).
int OwnNice() {
    errno = 0;
    return getpriority(PRIO_PROCESS, 0);
}

// A lower priority reaches the system's scheduler, whether it is set before the thread starts
// or while it runs: the file transfers must yield to the voice.
TEST(ThreadTest, ALowerPriorityReachesTheThread) {
    const int normal = OwnNice();
    if (normal > 0) {
        GTEST_SKIP() << "the tests run at nice " << normal << ", a priority cannot go back up";
    }
    constexpr int kUnseen = -100;
    std::atomic<int> atStart{kUnseen};
    std::atomic<bool> lowered{false};
    std::atomic<int> afterLowering{kUnseen};
    TFunctionThread t([&](TFunctionThread& self) {
        atStart = OwnNice();
        while (!self.Terminated()) {
            if (lowered.load()) {
                afterLowering = OwnNice();
            }
            std::this_thread::sleep_for(1ms);
        }
    });
    const auto until = [](const std::atomic<int>& seen) {
        const auto limit = std::chrono::steady_clock::now() + 10s;
        while (seen.load() == kUnseen && std::chrono::steady_clock::now() < limit) {
            std::this_thread::sleep_for(1ms);
        }
    };
    t.SetPriority(TThreadPriority::tpLower);
    t.Start();
    until(atStart);
    t.SetPriority(TThreadPriority::tpLowest);
    lowered = true;
    until(afterLowering);
    t.Terminate();
    t.WaitFor();
    EXPECT_GT(atStart.load(), normal);
    EXPECT_GT(afterLowering.load(), atStart.load());
}

TEST(ThreadTest, TheSystemThreadIdIsKnownWhileItRuns) {
    std::atomic<int> inside{0};
    std::atomic<bool> go{false};
    TFunctionThread t([&](TFunctionThread&) {
        inside = static_cast<int>(gettid());
        while (!go) {
            std::this_thread::sleep_for(1ms);
        }
    });
    EXPECT_EQ(t.SystemThreadId(), 0);
    t.Start();
    while (inside == 0) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(t.SystemThreadId(), inside.load());
    EXPECT_NE(t.SystemThreadId(), static_cast<int>(gettid()));
    go = true;
    t.WaitFor();
    EXPECT_EQ(t.SystemThreadId(), 0);
}

TEST(ThreadTest, WaitForFromTheThreadItselfReturns) {
    TFunctionThread t([](TFunctionThread& self) { self.WaitFor(); });
    t.Start();
    t.WaitFor();
    EXPECT_TRUE(t.Finished());
}

// An owner that frees a thread from inside that thread leaves it running in freed memory: the
// program stops there with a message instead.
TEST(ThreadDeathTest, DestroyingAThreadFromInsideItselfStopsTheProgram) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            auto* t = new TFunctionThread([](TFunctionThread& self) { delete &self; });
            t->Start();
            std::this_thread::sleep_for(5s);
        },
        "destroyed from inside its own thread");
}

}  // namespace
}  // namespace vox
