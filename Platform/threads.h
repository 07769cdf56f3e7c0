// Locks, semaphores and thread pools: thin layers over the standard library
// used by the compressed temporary streams and the sort worker.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <semaphore>
#include <thread>
#include <vector>

// A non-recursive mutex. Satisfies BasicLockable, so std::lock_guard and
// std::unique_lock work on it as well as the scoped Guard.
class sfMutex {
public:
    sfMutex() = default;
    sfMutex(const sfMutex&) = delete;
    sfMutex& operator=(const sfMutex&) = delete;

    void lock() { fMutex.lock(); }
    void unlock() { fMutex.unlock(); }
    bool try_lock() { return fMutex.try_lock(); }
    void Lock() { lock(); }
    void Unlock() { unlock(); }

    // Holds the mutex for its lifetime.
    class Guard {
    public:
        explicit Guard(sfMutex& m) : fM(m) { fM.lock(); }
        ~Guard() { fM.unlock(); }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

    private:
        sfMutex& fM;
    };

private:
    std::mutex fMutex;
};

// A counting semaphore. Wait blocks until the count is positive and takes one;
// Post adds to the count and wakes waiters.
class sfSemaphore {
public:
    explicit sfSemaphore(int initialCount = 0);
    sfSemaphore(const sfSemaphore&) = delete;
    sfSemaphore& operator=(const sfSemaphore&) = delete;

    void Wait();
    // Takes one without blocking; false when the count was 0.
    bool TryWait();
    // Waits at most `milliseconds`; false on time-out.
    bool WaitFor(unsigned milliseconds);
    void Post(int count = 1);

private:
    std::counting_semaphore<> fSem;
};

// The body of a thread. A pool runs Run() once per submission. Long-running
// bodies poll StopRequested() and return when it becomes true; a body that
// blocks (on a semaphore, say) overrides OnStopRequested() to wake itself.
class CallBackObject {
public:
    CallBackObject() = default;
    virtual ~CallBackObject() = default;
    CallBackObject(const CallBackObject&) = delete;
    CallBackObject& operator=(const CallBackObject&) = delete;

    virtual void Run() = 0;

    bool StopRequested() const { return fStop.load(std::memory_order_acquire); }
    // Sets the stop flag, then calls OnStopRequested (on the caller's thread).
    void RequestStop();
    // Clears the stop flag; the pool does this when the object is submitted.
    void ResetStop() { fStop.store(false, std::memory_order_release); }

protected:
    // Called by RequestStop while the pool's lock is held: must not call into
    // the pool. The default does nothing.
    virtual void OnStopRequested() {}

private:
    std::atomic<bool> fStop{false};
};

// A fixed set of threads that run submitted bodies in submission order.
//
// Lifecycle: construct → Init → Start → Submit... → stopAll (or destruction).
// Bodies may be submitted before Start; they run once the threads exist.
// After stopAll the pool may be started again.
class sfThreadPoolBase {
public:
    // Flag: stopAll first lets every queued body run and every running body
    // finish without a stop request (a graceful drain), then stops the threads.
    // Without it, stopAll asks running bodies to stop and drops queued ones.
    static constexpr int kDrainOnStop = 1;

    virtual ~sfThreadPoolBase();
    sfThreadPoolBase(const sfThreadPoolBase&) = delete;
    sfThreadPoolBase& operator=(const sfThreadPoolBase&) = delete;

    // Prepares the pool; true when the thread count is usable (at least 1).
    bool Init();
    // Starts the threads (Init first); true when they run. Starting a running
    // pool does nothing and returns true.
    bool Start();
    // Queues a body. With adopt the pool owns it and deletes it after it ran
    // (or when it is dropped); otherwise the caller keeps it alive until it
    // has run or stopAll returned.
    void Submit(CallBackObject* body, bool adopt = true);
    // Blocks until no body is queued or running.
    void WaitIdle();
    // Stops the pool (see kDrainOnStop) and joins its threads. Must not be
    // called from one of the pool's own threads.
    void stopAll();

    int ThreadCount() const { return fThreadCount; }
    bool Running() const;

protected:
    sfThreadPoolBase(int threads, int flags);

private:
    struct Item {
        CallBackObject* body;
        bool adopt;
    };
    void WorkerLoop();

    int fThreadCount;
    int fFlags;
    bool fInitialised = false;
    mutable std::mutex fMutex;
    std::condition_variable fWork;
    std::condition_variable fIdle;
    std::deque<Item> fQueue;
    std::vector<Item> fRunning;
    std::vector<std::thread> fThreads;
    bool fStopping = false;
};

class sfThreadPool : public sfThreadPoolBase {
public:
    // (threads, flags): flags is 0 or sfThreadPoolBase::kDrainOnStop.
    sfThreadPool(int threads, int flags) : sfThreadPoolBase(threads, flags) {}
};
