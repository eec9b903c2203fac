// A few threads that run the first delivery attempt of each captured job, so
// a connection thread only stores its job and frees its slot: a slow device
// or cloud no longer holds a port's connections.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace qs {

class DeliveryPool {
public:
    static constexpr int32_t kThreads = 4;
    // Waiting ids beyond this are left to the delivery worker's next pass;
    // the job row is already stored, so nothing is lost.
    static constexpr size_t kMaxWaiting = 1024;

    // attempt runs one job's attempt on a pool thread.
    explicit DeliveryPool(std::function<void(int64_t id)> attempt, int32_t threads = kThreads);
    ~DeliveryPool();
    DeliveryPool(const DeliveryPool&) = delete;
    DeliveryPool& operator=(const DeliveryPool&) = delete;

    void Start();
    // Hands a stored job to a free thread at once; false when the pool is
    // stopped or full (the job then waits for the worker's pass).
    bool Submit(int64_t id);
    // Ends the threads: waiting ids are dropped (their rows stay pending),
    // a running attempt ends between its steps through the core's stop flag.
    // Joins every thread before it returns.
    void Stop();

private:
    void Run();

    const std::function<void(int64_t)> attempt_;
    const int32_t threadCount_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<int64_t> waiting_;
    bool running_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace qs
