#include "core/delivery_pool.h"

#include <utility>

#include "foundation/logger.h"

namespace qs {

DeliveryPool::DeliveryPool(std::function<void(int64_t)> attempt, int32_t threads)
    : attempt_(std::move(attempt)), threadCount_(threads < 1 ? 1 : threads) {}

DeliveryPool::~DeliveryPool() { Stop(); }

void DeliveryPool::Start() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_) return;
    running_ = true;
    waiting_.clear();
    for (int32_t i = 0; i < threadCount_; ++i) {
        try {
            threads_.emplace_back([this] { Run(); });
        } catch (...) {
            break;  // fewer threads still serve; the worker's pass covers the rest
        }
    }
}

bool DeliveryPool::Submit(int64_t id) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!running_ || threads_.empty() || waiting_.size() >= kMaxWaiting) return false;
        waiting_.push_back(id);
    }
    wake_.notify_one();
    return true;
}

void DeliveryPool::Stop() {
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = false;
        waiting_.clear();
        threads.swap(threads_);
    }
    wake_.notify_all();
    for (std::thread& t : threads) {
        if (t.get_id() == std::this_thread::get_id()) {
            t.detach();
        } else {
            t.join();
        }
    }
}

void DeliveryPool::Run() {
    for (;;) {
        int64_t id = 0;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return !running_ || !waiting_.empty(); });
            if (!running_) return;
            id = waiting_.front();
            waiting_.pop_front();
        }
        try {
            attempt_(id);
        } catch (...) {
            // One attempt's failure must not end the thread; the job stays
            // leased or pending and the worker's pass takes it up again.
        }
    }
}

}  // namespace qs
