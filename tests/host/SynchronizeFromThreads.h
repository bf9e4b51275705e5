#pragma once
// What every binding of the GUI thread's message loop must do with
// Synchronize calls from several threads at once: run each on the GUI thread,
// each thread's calls in the order it made them. A test makes this object on
// the GUI thread (which starts the workers), runs its binding's loop until
// the last worker has called lastDone, and then calls JoinAndCheck.

#include "host/MessageLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <thread>
#include <vector>

namespace rc_test {

class SynchronizeFromThreads {
public:
    // Starts `threads` workers, each calling host::Synchronize `calls` times;
    // the last to finish then calls lastDone on its own thread.
    SynchronizeFromThreads(int threads, int calls, std::function<void()> lastDone)
        : calls_(calls), seen_(static_cast<std::size_t>(threads)) {
        for (int t = 0; t < threads; ++t) {
            workers_.emplace_back([this, t, threads, lastDone] {
                for (int i = 0; i < calls_; ++i) {
                    host::Synchronize([this, t, i] {
                        allOnGui_ = allOnGui_ && std::this_thread::get_id() == gui_;
                        seen_[static_cast<std::size_t>(t)].push_back(i);
                    });
                }
                if (++finished_ == threads)
                    lastDone();
            });
        }
    }
    ~SynchronizeFromThreads() { Join(); }
    SynchronizeFromThreads(const SynchronizeFromThreads&) = delete;
    SynchronizeFromThreads& operator=(const SynchronizeFromThreads&) = delete;

    bool Finished() const { return finished_ == static_cast<int>(workers_.size()); }

    // Joins the workers (serving what they still hand over), then checks that
    // every call ran on the GUI thread, each thread's in order.
    void JoinAndCheck() {
        Join();
        EXPECT_TRUE(allOnGui_);
        for (const std::vector<int>& calls : seen_) {
            ASSERT_EQ(calls.size(), static_cast<std::size_t>(calls_));
            for (int i = 0; i < calls_; ++i)
                EXPECT_EQ(calls[static_cast<std::size_t>(i)], i);
        }
    }

private:
    void Join() {
        for (std::thread& worker : workers_)
            host::WaitForThreadServing(worker);
    }

    const int calls_;
    const std::thread::id gui_ = std::this_thread::get_id();
    std::vector<std::vector<int>> seen_; // touched on the GUI thread only
    bool allOnGui_ = true;               // likewise
    std::atomic<int> finished_{0};
    std::vector<std::thread> workers_;
};

} // namespace rc_test
