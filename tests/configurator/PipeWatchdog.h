#pragma once
// A watchdog for the window's tests of a pipe where it expects a file.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

namespace rc_test {

// Frees the GUI thread should it hang in opening or reading a pipe: when Done
// has not been called within the deadline, opens both ends of the pipe (an
// open of either end waits for the other; a read of the reading end then
// gets the end of the file) and records that it had to. It goes on opening
// and closing a writing end every 100 ms until Done, so that a window that
// opens the pipe again (a second read) is freed as well and the test fails
// rather than hangs.
class PipeWatchdog {
public:
    explicit PipeWatchdog(std::string fifo) : fifo_(std::move(fifo)) {
        thread_ = std::thread([this] {
            std::unique_lock lock(mutex_);
            if (done_cv_.wait_for(lock, std::chrono::seconds(10), [this] { return done_; }))
                return;
            hung_ = true;
            // The reading end stays open until Done, so that a writer freed
            // from its open has somewhere to write.
            const int reader = ::open(fifo_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            do {
                const int writer = ::open(fifo_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                if (writer >= 0)
                    ::close(writer);
            } while (
                !done_cv_.wait_for(lock, std::chrono::milliseconds(100), [this] { return done_; }));
            if (reader >= 0)
                ::close(reader);
        });
    }
    ~PipeWatchdog() {
        Done();
        thread_.join();
    }
    // Whether the watchdog had to free the GUI thread.
    bool Done() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        done_cv_.notify_all();
        std::lock_guard lock(mutex_);
        return hung_;
    }

private:
    std::string fifo_;
    std::mutex mutex_;
    std::condition_variable done_cv_;
    bool done_ = false;
    bool hung_ = false;
    std::thread thread_;
};

} // namespace rc_test
