// Buffers handed between two threads. A pair of queues circulates a fixed
// set of buffers (one queue of full buffers, one of empty ones), so the
// memory in flight is bounded by the buffers made.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>

namespace vesk {

template <class Buffer>
class Handoff {
public:
    void Put(Buffer buffer) {
        {
            std::lock_guard<std::mutex> lock(fMutex);
            fItems.push_back(std::move(buffer));
        }
        fReady.notify_one();
    }
    // Waits for a buffer; false once the queue is closed and empty.
    bool Take(Buffer& buffer) {
        std::unique_lock<std::mutex> lock(fMutex);
        fReady.wait(lock, [this] { return !fItems.empty() || fClosed; });
        if (fItems.empty()) return false;
        buffer = std::move(fItems.front());
        fItems.pop_front();
        return true;
    }
    // Wakes every waiter; Take returns what is left, then false.
    void Close() {
        {
            std::lock_guard<std::mutex> lock(fMutex);
            fClosed = true;
        }
        fReady.notify_all();
    }
    void Reopen() {
        std::lock_guard<std::mutex> lock(fMutex);
        fItems.clear();
        fClosed = false;
    }

private:
    std::mutex fMutex;
    std::condition_variable fReady;
    std::deque<Buffer> fItems;
    bool fClosed = false;
};

}  // namespace vesk
