// The audit log's queue: the state the worker and the queue share, the
// worker's loop, and closing with a bound.
#include "sign/AuditQueue.h"
#include "sign/AuditLogFile.h"

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <mutex>
#include <utility>

namespace audit {

namespace {

struct TItem {
    TAuditContext Context;
    bool StampWho = false; // the worker fills in the user and the computer
    TAuditRecord Record;
};

std::string Rows(std::uint64_t n) {
    return std::to_string(n) + (n == 1 ? " row" : " rows");
}

} // namespace

// Shared by the queue and its worker, so that a worker left running after
// the queue has gone still has all it uses.
struct TAuditQueue::TState {
    TState(std::string folder, TAuditQueueOptions options)
        : Options(std::move(options)), Log(std::move(folder), Options.RotateBytes) {}

    const TAuditQueueOptions Options;
    TAuditLog Log; // the worker's alone

    std::mutex Lock;              // guards what follows, never held across file I/O
    std::condition_variable Wake; // the worker: a row, or closing
    std::condition_variable Idle; // waiters: a row done
    std::deque<TItem> Items;
    std::uint64_t Posted = 0; // rows queued, ever
    std::uint64_t Done = 0;   // of them, appended or failed
    std::uint64_t LeftOut = 0;
    bool Closing = false; // no more rows taken; the worker ends when all are done
    bool Closed = false;  // Close() has been called
    std::string Error;
    std::string Warning;
};

TAuditQueue::TAuditQueue(std::string folder, TAuditQueueOptions options)
    : FState(std::make_shared<TState>(std::move(folder), std::move(options))),
      FPath(FState->Log.Path()) {
    try {
        FWorker = std::thread(Run, FState);
    } catch (const std::exception& e) {
        // No thread to be had: rows are left out, and said.
        const std::lock_guard<std::mutex> lock(FState->Lock);
        FState->Closing = true;
        FState->Error = std::string("cannot start the audit log's writer: ") + e.what();
    }
}

TAuditQueue::~TAuditQueue() {
    const std::size_t left = Close();
    if (left > 0)
        std::fprintf(stderr, "the audit log %s: %s not written within %lld ms of closing\n",
                     FPath.c_str(), Rows(left).c_str(),
                     static_cast<long long>(FState->Options.CloseWait.count()));
}

void TAuditQueue::Run(const std::shared_ptr<TState>& state) {
    std::string user;
    std::string computer;
    bool whoKnown = false;
    std::unique_lock<std::mutex> lock(state->Lock);
    for (;;) {
        state->Wake.wait(lock, [&] { return !state->Items.empty() || state->Closing; });
        if (state->Items.empty())
            return; // closing, and all written
        TItem item = std::move(state->Items.front());
        state->Items.pop_front();
        lock.unlock();

        bool written = false;
        std::string error;
        std::string warning;
        try {
            if (item.StampWho) {
                if (!whoKnown) {
                    user = detail::LoginName();
                    computer = detail::ComputerName();
                    whoKnown = true;
                }
                item.Context.User = user;
                item.Context.Computer = computer;
            }
            if (state->Options.BeforeAppend)
                state->Options.BeforeAppend(item.Record);
            written = state->Log.Append(item.Context, item.Record);
            if (!written)
                error = state->Log.Error();
            warning = state->Log.TakeWarning();
        } catch (const std::exception& e) { // want of memory, or the test's hook
            error = std::string("cannot write the audit log: ") + e.what();
        }

        lock.lock();
        if (!written)
            state->Error = std::move(error);
        if (!warning.empty())
            state->Warning = std::move(warning);
        ++state->Done;
        state->Idle.notify_all();
    }
}

void TAuditQueue::Enqueue(TAuditContext context, bool stampWho, const TAuditRecord& record) {
    const std::lock_guard<std::mutex> lock(FState->Lock);
    bool queued = false;
    if (!FState->Closing && FState->Items.size() < FState->Options.MaxQueued) {
        try {
            FState->Items.push_back({std::move(context), stampWho, record});
            queued = true;
        } catch (const std::exception&) { // want of memory
        }
    }
    if (!queued) {
        ++FState->LeftOut;
        FState->Error = Rows(FState->LeftOut) + " left out of the audit log " + FPath +
                        (FState->Closing ? ": it was closed"
                                         : ": its writer is held up (a file system that "
                                           "does not answer?)");
        return;
    }
    ++FState->Posted;
    FState->Wake.notify_one();
}

void TAuditQueue::Post(const TAuditRecord& record) {
    TAuditContext context;
    try {
        context.LocalTime = detail::LocalTimeNow();
    } catch (const std::exception&) { // want of memory: the row fails too
    }
    Enqueue(std::move(context), true, record);
}

void TAuditQueue::Post(const TAuditContext& context, const TAuditRecord& record) {
    Enqueue(context, false, record);
}

bool TAuditQueue::WaitWritten(std::chrono::milliseconds bound) const {
    std::unique_lock<std::mutex> lock(FState->Lock);
    const std::uint64_t target = FState->Posted;
    return FState->Idle.wait_for(lock, bound, [&] { return FState->Done >= target; });
}

std::size_t TAuditQueue::Close() {
    std::unique_lock<std::mutex> lock(FState->Lock);
    if (FState->Closed)
        return 0;
    FState->Closed = true;
    FState->Closing = true;
    FState->Wake.notify_all();
    const bool drained = FState->Idle.wait_for(lock, FState->Options.CloseWait,
                                               [&] { return FState->Done == FState->Posted; });
    const auto left = static_cast<std::size_t>(FState->Posted - FState->Done);
    lock.unlock();
    if (FWorker.joinable()) {
        if (drained)
            FWorker.join();
        else
            FWorker.detach(); // it holds the state; see the top of AuditQueue.h
    }
    return left;
}

std::string TAuditQueue::Path() const {
    return FPath;
}

std::string TAuditQueue::Error() const {
    const std::lock_guard<std::mutex> lock(FState->Lock);
    return FState->Error;
}

std::string TAuditQueue::TakeWarning() {
    const std::lock_guard<std::mutex> lock(FState->Lock);
    return std::exchange(FState->Warning, {});
}

} // namespace audit
