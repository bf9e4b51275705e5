#pragma once
// The audit log (sign/AuditLog.h) for a thread that must not wait
// on a file: the window's GUI thread. Post() stamps the row with the time
// and returns at once; one worker thread of the queue appends the rows, in
// the order posted, to a TAuditLog of the folder. A log on a file system
// that does not answer (a network share gone) then holds up the worker, and
// the window goes on.
//
// Closing (Close(), or the destructor) waits for the rows already posted to
// be written, at most CloseWait (2 s). Past it the worker is left to finish
// alone, if it ever does: it holds the state it shares with the queue, so
// nothing it uses goes with the TAuditQueue, and a program that ends
// meanwhile ends it. The destructor says so on standard error; Close()
// answers the rows left instead.
//
// Thread: every call from any thread. Blocks: Post and the queries never
// wait on the file (the worker holds the queue's mutex only to take a row
// or to note its result); WaitWritten and Close wait, each at most its
// bound. Raises: nothing; a row that cannot be queued (want of memory, a
// queue full behind a worker that is held up) is counted and said in
// Error(). No Qt.

#include "sign/AuditLog.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace audit {

struct TAuditQueueOptions {
    std::uint64_t RotateBytes = AuditRotateBytes;
    // How long closing waits for the rows still to be written.
    std::chrono::milliseconds CloseWait{2000};
    // The rows that may wait at once; past it (a worker held up for
    // hundreds of commands) a row posted is left out and counted.
    std::size_t MaxQueued = 1000;
    // For tests: called on the worker before each row is appended; one that
    // blocks stands for a file system that does not answer.
    std::function<void(const TAuditRecord&)> BeforeAppend;
};

class TAuditQueue {
public:
    // The log in `folder`, as TAuditLog takes it (empty: every row fails).
    explicit TAuditQueue(std::string folder, TAuditQueueOptions options = {});
    // Close(), and a line on standard error when rows were left.
    ~TAuditQueue();
    TAuditQueue(const TAuditQueue&) = delete;
    TAuditQueue& operator=(const TAuditQueue&) = delete;

    // Queues the record's row with the local time now and the user and
    // computer of CurrentContext(), looked up once by the worker (they do
    // not change while the program runs; a user database that is slow to
    // answer holds up the worker, not the caller). After Close: left out.
    void Post(const TAuditRecord& record);
    // The same with the caller's context.
    void Post(const TAuditContext& context, const TAuditRecord& record);

    // Waits until every row posted before the call has been appended or has
    // failed, at most `bound`; whether it came to that.
    bool WaitWritten(std::chrono::milliseconds bound) const;

    // Takes no more rows, waits for those posted (at most CloseWait) and
    // stops the worker, or leaves it when they are not all written by then.
    // Answers the rows not written by then (0: all were); 0 when called
    // again.
    std::size_t Close();

    // The file written to ("" when the folder is empty).
    std::string Path() const;
    // Why the last row that failed was not written, or how many rows were
    // left out; "" while none has failed.
    std::string Error() const;
    // The log's warning (TAuditLog::TakeWarning): a failed rotation, once.
    std::string TakeWarning();

private:
    struct TState;
    static void Run(const std::shared_ptr<TState>& state);
    void Enqueue(TAuditContext context, bool stampWho, const TAuditRecord& record);

    std::shared_ptr<TState> FState;
    std::thread FWorker;
    std::string FPath;
};

} // namespace audit
