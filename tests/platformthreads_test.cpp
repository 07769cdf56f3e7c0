// Mutexes, semaphores and thread pools.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "threads.h"
#include "vesk_assert.h"

namespace {

// Counts how many bodies ran and how many were destroyed.
struct Counters {
    std::atomic<int> ran{0};
    std::atomic<int> destroyed{0};
};

class CountingBody : public CallBackObject {
public:
    explicit CountingBody(Counters& c) : fC(c) {}
    ~CountingBody() override { ++fC.destroyed; }
    void Run() override { ++fC.ran; }

private:
    Counters& fC;
};

// Runs until asked to stop, polling the flag.
class PollingBody : public CallBackObject {
public:
    std::atomic<bool> started{false};
    std::atomic<bool> finished{false};
    void Run() override {
        started = true;
        while (!StopRequested()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        finished = true;
    }
};

// Blocks on a semaphore; a stop request wakes it.
class BlockedBody : public CallBackObject {
public:
    sfSemaphore sem{0};
    std::atomic<bool> started{false};
    std::atomic<bool> finished{false};
    void Run() override {
        started = true;
        sem.Wait();
        finished = true;
    }

protected:
    void OnStopRequested() override { sem.Post(); }
};

template <class Pred>
bool WaitUntil(Pred pred) {
    for (int i = 0; i < 5000 && !pred(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return pred();
}

}  // namespace

TEST(SemaphoreTest, CountingAndHandOff) {
    sfSemaphore sem(2);
    EXPECT_TRUE(sem.TryWait());
    EXPECT_TRUE(sem.TryWait());
    EXPECT_FALSE(sem.TryWait());
    EXPECT_FALSE(sem.WaitFor(20));
    sem.Post(3);
    EXPECT_TRUE(sem.WaitFor(20));
    sem.Wait();
    EXPECT_TRUE(sem.TryWait());
    EXPECT_FALSE(sem.TryWait());

    // Producer and consumer hand items over through two semaphores (a
    // one-slot buffer): every item arrives, in order.
    sfSemaphore full(0), empty(1);
    int slot = -1;
    std::vector<int> received;
    std::thread consumer([&] {
        for (int i = 0; i < 2000; ++i) {
            full.Wait();
            received.push_back(slot);
            empty.Post();
        }
    });
    for (int i = 0; i < 2000; ++i) {
        empty.Wait();
        slot = i;
        full.Post();
    }
    consumer.join();
    ASSERT_EQ(received.size(), 2000u);
    for (int i = 0; i < 2000; ++i) ASSERT_EQ(received[i], i);

    EXPECT_THROW(sfSemaphore(-1), VESK_AssertFailed);
}

TEST(MutexTest, GuardSerialisesUpdates) {
    sfMutex m;
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                sfMutex::Guard g(m);
                ++counter;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 80000);
    EXPECT_TRUE(m.try_lock());
    EXPECT_FALSE(m.try_lock());
    m.unlock();
}

TEST(ThreadPoolTest, RunsSubmittedBodiesOnceAndOwnsAdoptedOnes) {
    Counters c;
    {
        sfThreadPool pool(2, 0);
        ASSERT_TRUE(pool.Init());
        // Submitted before Start: they wait for the threads.
        for (int i = 0; i < 10; ++i) pool.Submit(new CountingBody(c));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(c.ran, 0);
        ASSERT_TRUE(pool.Start());
        EXPECT_TRUE(pool.Running());
        pool.WaitIdle();
        EXPECT_EQ(c.ran, 10);
        EXPECT_EQ(c.destroyed, 10);

        // A body the caller keeps is run but not deleted.
        CountingBody kept(c);
        pool.Submit(&kept, false);
        pool.WaitIdle();
        EXPECT_EQ(c.ran, 11);
        EXPECT_EQ(c.destroyed, 10);
    }
    EXPECT_EQ(c.destroyed, 11);  // `kept` went out of scope

    // Two threads really run side by side: each body waits for the other.
    sfThreadPool pool(2, 0);
    sfSemaphore a(0), b(0);
    std::atomic<int> met{0};
    struct Meet : CallBackObject {
        sfSemaphore &mine, &other;
        std::atomic<int>& met;
        Meet(sfSemaphore& m, sfSemaphore& o, std::atomic<int>& n) : mine(m), other(o), met(n) {}
        void Run() override {
            other.Post();
            if (mine.WaitFor(5000)) ++met;
        }
    };
    pool.Submit(new Meet(a, b, met));
    pool.Submit(new Meet(b, a, met));
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
    PollingBody polling;
    pool.Submit(&polling, false);
    ASSERT_TRUE(WaitUntil([&] { return polling.started.load(); }));

    // Queued behind the running body: dropped (and deleted) by stopAll.
    Counters c;
    pool.Submit(new CountingBody(c));
    pool.stopAll();
    EXPECT_TRUE(polling.finished);
    EXPECT_TRUE(polling.StopRequested());
    EXPECT_EQ(c.ran, 0);
    EXPECT_EQ(c.destroyed, 1);
    EXPECT_FALSE(pool.Running());

    // The pool starts again; resubmission clears the stop flag.
    BlockedBody blocked;
    pool.Submit(&blocked, false);
    EXPECT_FALSE(blocked.StopRequested());
    pool.Start();
    ASSERT_TRUE(WaitUntil([&] { return blocked.started.load(); }));
    pool.stopAll();  // OnStopRequested posts the semaphore the body waits on
    EXPECT_TRUE(blocked.finished);

    // The destructor stops a running pool.
    PollingBody another;
    {
        sfThreadPool scoped(1, 0);
        scoped.Start();
        scoped.Submit(&another, false);
        ASSERT_TRUE(WaitUntil([&] { return another.started.load(); }));
    }
    EXPECT_TRUE(another.finished);
}

TEST(ThreadPoolTest, DrainOnStopRunsEverythingQueued) {
    Counters c;
    sfThreadPool pool(1, sfThreadPoolBase::kDrainOnStop);
    pool.Start();
    struct Slow : CallBackObject {
        Counters& c;
        explicit Slow(Counters& k) : c(k) {}
        void Run() override {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            EXPECT_FALSE(StopRequested());
            ++c.ran;
        }
    };
    for (int i = 0; i < 20; ++i) pool.Submit(new Slow(c));
    pool.stopAll();
    EXPECT_EQ(c.ran, 20);

    // Calling stopAll from a body of the pool is a misuse.
    sfThreadPool self(1, 0);
    struct SelfStop : CallBackObject {
        sfThreadPool& pool;
        std::atomic<bool> caught{false};
        explicit SelfStop(sfThreadPool& p) : pool(p) {}
        void Run() override {
            try {
                pool.stopAll();
            } catch (const VESK_AssertFailed&) {
                caught = true;
            }
        }
    } body(self);
    self.Submit(&body, false);
    self.Start();
    self.WaitIdle();
    EXPECT_TRUE(body.caught);
}
