#include "common/RunInOrder.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace qelt {

void RunInOrder(std::size_t count, unsigned threads, std::size_t ahead,
                const std::function<bool(std::size_t)>& make,
                const std::function<bool(std::size_t)>& hand, const std::atomic<bool>* cancel)
{
    std::vector<char> made(count, 0);
    std::vector<std::exception_ptr> errors(count);
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t limit = count; // parts from here on are not made
    std::size_t taken = 0;
    std::size_t handed = 0;

    const auto makePart = [&](std::size_t k) {
        bool last = false;
        std::exception_ptr error;
        try {
            last = make(k);
        } catch (...) {
            error = std::current_exception();
        }
        const std::lock_guard<std::mutex> lock(mutex);
        if (last || error)
            limit = std::min(limit, k + 1);
        errors[k] = error;
        made[k] = 1;
        changed.notify_all();
    };

    std::vector<std::thread> workers;
    for (unsigned w = 1; w < threads; ++w) {
        workers.emplace_back([&] {
            for (;;) {
                std::size_t k;
                {
                    std::unique_lock<std::mutex> lock(mutex);
                    changed.wait(lock, [&] { return taken >= limit || taken < handed + ahead; });
                    if (taken >= limit)
                        return;
                    k = taken++;
                }
                makePart(k);
            }
        });
    }

    std::exception_ptr error;
    for (;;) {
        std::unique_lock<std::mutex> lock(mutex);
        const auto stop = [&] {
            limit = 0; // lets the workers go
            changed.notify_all();
        };
        if (cancel && cancel->load(std::memory_order_relaxed)) {
            stop();
            break;
        }
        if (handed < limit && made[handed]) {
            const std::size_t k = handed++;
            changed.notify_all();
            if (errors[k]) {
                error = errors[k];
                stop();
                break;
            }
            lock.unlock();
            bool more = false;
            try {
                more = hand(k);
            } catch (...) {
                error = std::current_exception();
            }
            if (!more) {
                lock.lock();
                stop();
                break;
            }
            continue;
        }
        if (handed >= limit)
            break;
        if (taken < limit && taken < handed + ahead) {
            const std::size_t k = taken++;
            lock.unlock();
            makePart(k);
            continue;
        }
        changed.wait(lock);
    }
    for (auto& worker : workers)
        worker.join();
    if (error)
        std::rethrow_exception(error);
}

} // namespace qelt
