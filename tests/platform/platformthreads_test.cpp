// Mutexes, semaphores and thread pools.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

#include "threads.h"
#include "vesk_assert.h"

namespace {

struct Counters {
    std::atomic<int> ran{0}, destroyed{0};
    std::pair<int, int> RanDestroyed() const { return {ran, destroyed}; }
};

// Runs fn (given the body itself); counts runs and destructions when given counters.
class FnBody : public CallBackObject {
public:
    explicit FnBody(std::function<void(FnBody&)> fn, Counters* c = nullptr) : fFn(std::move(fn)), fC(c) {}
    explicit FnBody(Counters& c) : FnBody([](FnBody&) {}, &c) {}
    ~FnBody() override {
        if (fC) ++fC->destroyed;
    }
    void Run() override {
        fFn(*this);
        if (fC) ++fC->ran;
    }

private:
    std::function<void(FnBody&)> fFn;
    Counters* fC;
};

// Runs until asked to stop: by polling the flag, or (blocking) on a semaphore
// that the stop request posts.
class StoppableBody : public CallBackObject {
public:
    explicit StoppableBody(bool blocking = false) : fBlocking(blocking) {}
    std::atomic<bool> started{false}, finished{false};
    void Run() override {
        started = true;
        if (fBlocking) fSem.Wait();
        while (!StopRequested()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        finished = true;
    }

protected:
    void OnStopRequested() override { fSem.Post(); }

private:
    bool fBlocking;
    sfSemaphore fSem{0};
};

bool WaitUntilStarted(const StoppableBody& b) {
    for (int i = 0; i < 5000 && !b.started; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return b.started;
}

}  // namespace

TEST(SynchronisationTest, SemaphoreCountsAndMutexSerialises) {
    sfSemaphore sem(2);
    EXPECT_TRUE(sem.TryWait() && sem.TryWait());
    EXPECT_FALSE(sem.WaitFor(20));
    sem.Post(3);
    EXPECT_TRUE(sem.WaitFor(20));
    sem.Wait();
    EXPECT_TRUE(sem.TryWait());
    EXPECT_FALSE(sem.TryWait());
    EXPECT_THROW(sfSemaphore(-1), VESK_AssertFailed);

    sfMutex m;
    {
        sfMutex::Guard g(m);
        EXPECT_FALSE(m.try_lock());
    }
    EXPECT_TRUE(m.try_lock());
    EXPECT_FALSE(m.try_lock());
    m.unlock();
}

TEST(ThreadPoolTest, RunsSubmittedBodiesOnceAndOwnsAdoptedOnes) {
    Counters c;
    {
        sfThreadPool pool(2, 0);
        ASSERT_TRUE(pool.Init());
        for (int i = 0; i < 10; ++i) pool.Submit(new FnBody(c));
        ASSERT_TRUE(pool.Start());
        EXPECT_TRUE(pool.Running());
        pool.WaitIdle();
        EXPECT_EQ(c.RanDestroyed(), std::make_pair(10, 10));
        FnBody kept(c);  // run but not deleted by the pool
        pool.Submit(&kept, false);
        pool.WaitIdle();
        EXPECT_EQ(c.RanDestroyed(), std::make_pair(11, 10));
    }
    EXPECT_EQ(c.destroyed, 11);

    // Two threads really run side by side: each body waits for the other.
    sfThreadPool pool(2, 0);
    sfSemaphore a(0), b(0);
    std::atomic<int> met{0};
    pool.Submit(new FnBody([&](FnBody&) { b.Post(), met += a.WaitFor(5000); }));
    pool.Submit(new FnBody([&](FnBody&) { a.Post(), met += b.WaitFor(5000); }));
    pool.Start();
    pool.WaitIdle();
    EXPECT_EQ(met, 2);

    sfThreadPool none(0, 0);
    EXPECT_FALSE(none.Init());
    EXPECT_FALSE(none.Start());
}

TEST(ThreadPoolTest, StopAllEndsBodiesCooperatively) {
    sfThreadPool pool(1, 0);
    pool.Init();
    pool.Start();
    StoppableBody polling;
    pool.Submit(&polling, false);
    ASSERT_TRUE(WaitUntilStarted(polling));
    Counters c;
    pool.Submit(new FnBody(c));  // queued behind: dropped and deleted
    pool.stopAll();
    EXPECT_TRUE(polling.finished && polling.StopRequested());
    EXPECT_EQ(c.RanDestroyed(), std::make_pair(0, 1));
    EXPECT_FALSE(pool.Running());

    // The pool starts again; resubmission clears the stop flag.
    StoppableBody blocked(true);
    pool.Submit(&blocked, false);
    EXPECT_FALSE(blocked.StopRequested());
    pool.Start();
    ASSERT_TRUE(WaitUntilStarted(blocked));
    pool.stopAll();
    EXPECT_TRUE(blocked.finished);

    StoppableBody another;
    {
        sfThreadPool scoped(1, 0);
        scoped.Start();
        scoped.Submit(&another, false);
        ASSERT_TRUE(WaitUntilStarted(another));
    }  // the destructor stops a running pool
    EXPECT_TRUE(another.finished);
}

// Draining on stop is relied on by the block compressor's threaded writes.
TEST(ThreadPoolTest, StopFromABodyIsAMisuse) {
    sfThreadPool self(1, 0);
    std::atomic<bool> caught{false};
    FnBody body([&](FnBody&) {
        try {
            self.stopAll();
        } catch (const VESK_AssertFailed&) {
            caught = true;
        }
    });
    self.Submit(&body, false);
    self.Start();
    self.WaitIdle();
    EXPECT_TRUE(caught);
}
