#include "host/MessageLoop.h"

#include "host/ExceptionDisplay.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <utility>

namespace host {

struct THiddenWindow::State {
    TWindowProc procedure;
    bool alive = true; // guarded by the runtime's lock
};

namespace {

// One hand-over to the GUI thread.
struct Task {
    enum class Kind { kPosted, kSynchronize, kSent };
    Kind kind = Kind::kPosted;
    std::function<void()> call;
    // kSynchronize: the caller's own wake-up, without the runtime's lock.
    std::mutex doneLock;
    std::condition_variable doneCv;
    bool done = false;
    std::exception_ptr error;
    // kSent
    std::shared_ptr<THiddenWindow::State> window;
    TMessage message;
    bool replied = false;
    std::intptr_t result = 0;
};
using TaskPtr = std::shared_ptr<Task>;

struct Runtime {
    std::mutex lock;
    // Held while a worker wakes the binding, outside lock: the GUI thread
    // serving the queue never waits for a worker's wake-up call, and the
    // binding cannot be removed while one runs (SetMainLoop takes it too).
    std::mutex wakeLock;
    std::condition_variable guiWake;  // the GUI thread: work queued or WakeMainThread
    std::condition_variable released; // workers: their hand-over has run / been replied to
    std::deque<TaskPtr> queue;
    IMainLoop* loop = nullptr;
    std::thread::id guiThread;
    std::uint64_t wakes = 0;
};

Runtime& TheRuntime() {
    static Runtime runtime;
    return runtime;
}

// The sent message whose procedure runs on this thread now (nullptr: none, or
// the procedure was called directly).
thread_local Task* CurrentSent = nullptr;

Clock::time_point DeadlineAfter(std::chrono::milliseconds timeout) {
    const Clock::time_point now = Clock::now();
    if (timeout >=
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - now)) {
        return Clock::time_point::max();
    }
    return now + timeout;
}

bool WaitUntil(std::condition_variable& condition, std::unique_lock<std::mutex>& lock,
               Clock::time_point deadline, const std::function<bool()>& ready) {
    if (deadline == Clock::time_point::max()) {
        condition.wait(lock, ready);
        return true;
    }
    return condition.wait_until(lock, deadline, ready);
}

bool IsMainThreadLocked(const Runtime& rt) {
    return rt.loop != nullptr && rt.guiThread == std::this_thread::get_id();
}

// Queues a hand-over; false when no binding is installed (nobody would serve it).
bool Enqueue(const TaskPtr& task) {
    Runtime& rt = TheRuntime();
    std::lock_guard wakeGuard(rt.wakeLock);
    {
        std::lock_guard guard(rt.lock);
        if (rt.loop == nullptr) {
            return false;
        }
        rt.queue.push_back(task);
        rt.guiWake.notify_all();
    }
    // Under wakeLock only: the binding cannot be removed meanwhile, and the
    // GUI thread may already take the task while the wake-up is under way.
    // Wake never blocks.
    rt.loop->Wake();
    return true;
}

void Release(Task& task, std::intptr_t result) {
    Runtime& rt = TheRuntime();
    std::lock_guard guard(rt.lock);
    if (!task.replied) {
        task.replied = true;
        task.result = result;
        rt.released.notify_all();
    }
}

void CallProcedure(THiddenWindow::State& window, TMessage& message, Task* sent) {
    Task* const outer = std::exchange(CurrentSent, sent);
    try {
        window.procedure(message);
    } catch (...) {
        CurrentSent = outer;
        throw;
    }
    CurrentSent = outer;
}

void Run(Task& task) {
    Runtime& rt = TheRuntime();
    switch (task.kind) {
    case Task::Kind::kPosted:
        try {
            task.call();
        } catch (...) {
            ShowException(std::current_exception());
        }
        break;
    case Task::Kind::kSynchronize: {
        std::exception_ptr error;
        try {
            task.call();
        } catch (...) {
            error = std::current_exception();
        }
        {
            std::lock_guard guard(task.doneLock);
            task.error = std::move(error);
            task.done = true;
        }
        // The caller holds the task too: it outlives the notification.
        task.doneCv.notify_one();
        break;
    }
    case Task::Kind::kSent: {
        {
            std::lock_guard guard(rt.lock);
            if (!task.window->alive) {
                break; // the window's destruction released the sender
            }
        }
        try {
            CallProcedure(*task.window, task.message, &task);
        } catch (...) {
            Release(task, 0);
            ShowException(std::current_exception());
            break;
        }
        Release(task, task.message.Result);
        break;
    }
    }
}

TaskPtr PopTask() {
    Runtime& rt = TheRuntime();
    std::lock_guard guard(rt.lock);
    if (rt.queue.empty()) {
        return nullptr;
    }
    TaskPtr task = std::move(rt.queue.front());
    rt.queue.pop_front();
    return task;
}

// Runs the hand-overs queued before the call (not those they queue).
void ServePending() {
    Runtime& rt = TheRuntime();
    std::size_t count = 0;
    {
        std::lock_guard guard(rt.lock);
        count = rt.queue.size();
    }
    for (; count > 0; --count) {
        TaskPtr task = PopTask();
        if (!task) {
            break;
        }
        Run(*task);
    }
}

} // namespace

IMainLoop* SetMainLoop(IMainLoop* loop) {
    Runtime& rt = TheRuntime();
    IMainLoop* previous = nullptr;
    std::deque<TaskPtr> leftovers;
    {
        std::lock_guard wakeGuard(rt.wakeLock);
        std::lock_guard guard(rt.lock);
        previous = std::exchange(rt.loop, loop);
        rt.guiThread = std::this_thread::get_id();
        if (loop == nullptr) {
            leftovers.swap(rt.queue);
        } else if (!rt.queue.empty()) {
            loop->Wake();
        }
    }
    for (const TaskPtr& task : leftovers) {
        Run(*task);
    }
    return previous;
}

void ServeHandOvers() {
    if (IsMainThread()) {
        ServePending();
    }
}

IMainLoop* MainLoop() {
    Runtime& rt = TheRuntime();
    std::lock_guard guard(rt.lock);
    return rt.loop;
}

bool IsMainThread() {
    Runtime& rt = TheRuntime();
    std::lock_guard guard(rt.lock);
    return IsMainThreadLocked(rt);
}

void ProcessMessages() {
    Runtime& rt = TheRuntime();
    IMainLoop* loop = nullptr;
    {
        std::lock_guard guard(rt.lock);
        if (!IsMainThreadLocked(rt)) {
            return;
        }
        loop = rt.loop; // only this thread changes it
    }
    ServePending();
    loop->ProcessFrameworkMessages();
}

void Synchronize(const std::function<void()>& call) {
    if (IsMainThread()) {
        call();
        return;
    }
    auto task = std::make_shared<Task>();
    task->kind = Task::Kind::kSynchronize;
    task->call = call;
    if (!Enqueue(task)) {
        call();
        return;
    }
    // One wait and one wake per hand-over, without the runtime's lock.
    std::exception_ptr error;
    {
        std::unique_lock guard(task->doneLock);
        task->doneCv.wait(guard, [&] { return task->done; });
        // Once done is set the GUI thread no longer touches the exception.
        error = std::move(task->error);
    }
    if (error) {
        std::rethrow_exception(error);
    }
}

void PostToMainThread(std::function<void()> call) {
    auto task = std::make_shared<Task>();
    task->kind = Task::Kind::kPosted;
    task->call = std::move(call);
    if (!Enqueue(task)) {
        Run(*task);
    }
}

void QueueException(std::exception_ptr error) {
    if (error) {
        PostToMainThread([error] { ShowException(error); });
    }
}

std::size_t PendingHandOvers() {
    Runtime& rt = TheRuntime();
    std::lock_guard guard(rt.lock);
    return rt.queue.size();
}

void WakeMainThread() {
    Runtime& rt = TheRuntime();
    std::lock_guard guard(rt.lock);
    ++rt.wakes;
    rt.guiWake.notify_all();
    if (rt.loop != nullptr) {
        rt.loop->Wake();
    }
}

bool WaitServingUntil(const std::function<bool()>& ready, std::chrono::milliseconds timeout) {
    Runtime& rt = TheRuntime();
    const Clock::time_point deadline = DeadlineAfter(timeout);
    const bool gui = IsMainThread();
    for (;;) {
        std::uint64_t seen = 0;
        {
            std::lock_guard guard(rt.lock);
            seen = rt.wakes;
        }
        if (ready()) {
            return true;
        }
        if (gui) {
            if (TaskPtr task = PopTask()) {
                Run(*task);
                continue;
            }
        }
        std::unique_lock guard(rt.lock);
        const bool woken = WaitUntil(rt.guiWake, guard, deadline, [&] {
            return rt.wakes != seen || (gui && !rt.queue.empty());
        });
        if (!woken) {
            guard.unlock();
            return ready();
        }
    }
}

void WaitForThreadServing(std::thread& thread) {
    if (!thread.joinable()) {
        return;
    }
    if (!IsMainThread()) {
        thread.join();
        return;
    }
    // std::thread reports no end, so a helper joins it and wakes this thread.
    std::atomic<bool> ended{false};
    std::thread joiner;
    try {
        joiner = std::thread([&] {
            thread.join();
            ended = true;
            WakeMainThread();
        });
    } catch (const std::system_error&) {
        thread.join(); // no thread to spare: wait without serving
        return;
    }
    WaitServingUntil([&] { return ended.load(); });
    joiner.join();
}

bool RunLoopUntil(const std::function<bool()>& ready, std::chrono::milliseconds timeout) {
    if (!IsMainThread()) {
        return WaitServingUntil(ready, timeout);
    }
    const Clock::time_point deadline = DeadlineAfter(timeout);
    IMainLoop* loop = MainLoop();
    for (;;) {
        ProcessMessages();
        if (ready()) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        loop->WaitForWake(deadline);
    }
}

// ---- Hidden windows -------------------------------------------------------------------

THiddenWindow::THiddenWindow(TWindowProc procedure) : FState(std::make_shared<State>()) {
    FState->procedure = std::move(procedure);
}

THiddenWindow::~THiddenWindow() {
    Runtime& rt = TheRuntime();
    std::lock_guard guard(rt.lock);
    FState->alive = false;
    for (auto it = rt.queue.begin(); it != rt.queue.end();) {
        Task& task = **it;
        if (task.kind == Task::Kind::kSent && task.window == FState) {
            task.replied = true;
            task.result = 0;
            it = rt.queue.erase(it);
        } else {
            ++it;
        }
    }
    rt.released.notify_all();
}

std::intptr_t SendMessage(THiddenWindow& window, std::uint32_t msg, std::uintptr_t wParam,
                          std::intptr_t lParam) {
    const std::shared_ptr<THiddenWindow::State> state = window.FState;
    TMessage message;
    message.Msg = msg;
    message.WParam = wParam;
    message.LParam = lParam;
    if (!IsMainThread()) {
        auto task = std::make_shared<Task>();
        task->kind = Task::Kind::kSent;
        task->window = state;
        task->message = message;
        if (Enqueue(task)) {
            Runtime& rt = TheRuntime();
            std::unique_lock guard(rt.lock);
            rt.released.wait(guard, [&] { return task->replied; });
            return task->result;
        }
    }
    // Same thread (or no GUI thread at all): the procedure runs directly.
    CallProcedure(*state, message, nullptr);
    return message.Result;
}

bool InSendMessage() {
    return CurrentSent != nullptr;
}

bool ReplyMessage(std::intptr_t result) {
    Task* sent = CurrentSent;
    if (sent == nullptr) {
        return false;
    }
    Runtime& rt = TheRuntime();
    std::lock_guard guard(rt.lock);
    if (sent->replied) {
        return false;
    }
    sent->replied = true;
    sent->result = result;
    rt.released.notify_all();
    return true;
}

} // namespace host
