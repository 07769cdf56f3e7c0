#define VESK_SOURCE_NAME "Platform/threads"
#include "threads.h"

#include <algorithm>
#include <chrono>

#include "vesk_assert.h"

// ---------------------------------------------------------------- sfSemaphore

sfSemaphore::sfSemaphore(int initialCount) : fSem(initialCount < 0 ? 0 : initialCount) {
    VESK_ASSERT(initialCount >= 0);
}

void sfSemaphore::Wait() { fSem.acquire(); }

bool sfSemaphore::TryWait() { return fSem.try_acquire(); }

bool sfSemaphore::WaitFor(unsigned milliseconds) {
    return fSem.try_acquire_for(std::chrono::milliseconds(milliseconds));
}

void sfSemaphore::Post(int count) {
    VESK_ASSERT(count > 0);
    fSem.release(count);
}

// ---------------------------------------------------------------- CallBackObject

void CallBackObject::RequestStop() {
    fStop.store(true, std::memory_order_release);
    OnStopRequested();
}

// ---------------------------------------------------------------- sfThreadPoolBase

sfThreadPoolBase::sfThreadPoolBase(int threads, int flags) : fThreadCount(threads), fFlags(flags) {
    VESK_ASSERT((flags & ~kDrainOnStop) == 0);
}

sfThreadPoolBase::~sfThreadPoolBase() { stopAll(); }

bool sfThreadPoolBase::Init() {
    fInitialised = fThreadCount >= 1;
    return fInitialised;
}

bool sfThreadPoolBase::Running() const {
    std::lock_guard<std::mutex> lock(fMutex);
    return !fThreads.empty();
}

bool sfThreadPoolBase::Start() {
    if (!fInitialised && !Init()) return false;
    std::lock_guard<std::mutex> lock(fMutex);
    if (!fThreads.empty()) return true;
    fStopping = false;
    for (int i = 0; i < fThreadCount; ++i) fThreads.emplace_back([this] { WorkerLoop(); });
    return true;
}

void sfThreadPoolBase::Submit(CallBackObject* body, bool adopt) {
    VESK_ASSERT(body != nullptr);
    body->ResetStop();
    {
        std::lock_guard<std::mutex> lock(fMutex);
        fQueue.push_back({body, adopt});
    }
    fWork.notify_one();
}

void sfThreadPoolBase::WorkerLoop() {
    std::unique_lock<std::mutex> lock(fMutex);
    for (;;) {
        fWork.wait(lock, [this] { return fStopping || !fQueue.empty(); });
        if (fQueue.empty()) break;  // stopping, nothing left to run
        Item item = fQueue.front();
        fQueue.pop_front();
        fRunning.push_back(item);
        lock.unlock();
        item.body->Run();
        lock.lock();
        fRunning.erase(std::find_if(fRunning.begin(), fRunning.end(),
                                    [&](const Item& r) { return r.body == item.body; }));
        if (item.adopt) {
            lock.unlock();
            delete item.body;
            lock.lock();
        }
        if (fQueue.empty() && fRunning.empty()) fIdle.notify_all();
    }
}

void sfThreadPoolBase::WaitIdle() {
    std::unique_lock<std::mutex> lock(fMutex);
    if (fThreads.empty()) return;  // nothing would ever run the queue
    fIdle.wait(lock, [this] { return fQueue.empty() && fRunning.empty(); });
}

void sfThreadPoolBase::stopAll() {
    std::vector<std::thread> threads;
    std::vector<Item> dropped;
    {
        std::unique_lock<std::mutex> lock(fMutex);
        for (const std::thread& t : fThreads) VESK_ASSERT(t.get_id() != std::this_thread::get_id());
        if ((fFlags & kDrainOnStop) && !fThreads.empty())
            fIdle.wait(lock, [this] { return fQueue.empty() && fRunning.empty(); });
        fStopping = true;
        // Bodies that never started are not run; running ones are asked to end.
        dropped.assign(fQueue.begin(), fQueue.end());
        fQueue.clear();
        for (Item& item : fRunning) item.body->RequestStop();
        threads.swap(fThreads);
    }
    fWork.notify_all();
    for (std::thread& t : threads) t.join();
    for (Item& item : dropped)
        if (item.adopt) delete item.body;
    std::lock_guard<std::mutex> lock(fMutex);
    fStopping = false;
}
