// The audit log's queue: rows posted from any thread all written, each
// thread's in its order, stamped when posted; closing that waits for them
// but not for ever; a hung writer that costs the poster nothing, and a
// worker left behind that still has all it uses.
#include "sign/AuditLogFile.h"
#include "sign/AuditQueue.h"

#include "tests/sign/AuditLogRows.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace audit;
using namespace rc_test;
using namespace std::chrono_literals;

namespace {

// Where the worker's hook waits while the test holds it shut: a file system
// that does not answer. It also hears when the hook itself is destroyed,
// which is when the queue's shared state goes.
class TGate {
public:
    void Pass() {
        std::unique_lock<std::mutex> lock(mutex_);
        ++arrived_;
        changed_.notify_all();
        changed_.wait(lock, [&] { return open_; });
    }
    void Open() {
        const std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    bool WaitArrived(int n) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] { return arrived_ >= n; });
    }
    void NoteGone() {
        const std::lock_guard<std::mutex> lock(mutex_);
        gone_ = true;
        changed_.notify_all();
    }
    bool WaitGone() {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] { return gone_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int arrived_ = 0;
    bool open_ = false;
    bool gone_ = false;
};

// A hook that waits at the gate, and tells it when the hook is destroyed.
std::function<void(const TAuditRecord&)> HookAt(const std::shared_ptr<TGate>& gate) {
    const std::shared_ptr<void> token(nullptr, [gate](void*) { gate->NoteGone(); });
    return [gate, token](const TAuditRecord&) { gate->Pass(); };
}

TRows RowsOf(const std::string& path) {
    TRows rows;
    EXPECT_TRUE(ParseCsv(ReadText(path), rows)) << "a torn line in " << path;
    return rows;
}

// The UTC seconds of a row's time ("2026-12-09T08:15:02+01:00").
long UtcSecondsOf(const std::string& time) {
    std::smatch m;
    if (!std::regex_match(
            time, m,
            std::regex(R"((\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d):(\d\d)([+-])(\d\d):(\d\d))")))
        return -1;
    std::tm local{};
    local.tm_year = std::stoi(m[1]) - 1900;
    local.tm_mon = std::stoi(m[2]) - 1;
    local.tm_mday = std::stoi(m[3]);
    local.tm_hour = std::stoi(m[4]);
    local.tm_min = std::stoi(m[5]);
    local.tm_sec = std::stoi(m[6]);
    std::tm epoch{};
    epoch.tm_year = 70;
    epoch.tm_mday = 1;
    const long offset = (m[7] == "-" ? -1 : 1) * (std::stol(m[8]) * 3600 + std::stol(m[9]) * 60);
    return detail::UtcOffsetSeconds(local, epoch) - offset;
}

TEST(AuditQueue, RowsFromSeveralThreadsAreAllWrittenEachInItsOrder) {
    TempDir tmp;
    TAuditQueue queue(tmp / "log");
    constexpr int Threads = 4;
    constexpr int PerThread = 100;
    std::vector<std::thread> posters;
    for (int t = 0; t < Threads; ++t)
        posters.emplace_back([&queue, t] {
            for (int i = 0; i < PerThread; ++i) {
                TAuditRecord r = ReadTime(std::to_string(t));
                r.Tries = i;
                queue.Post(r);
            }
        });
    for (std::thread& t : posters)
        t.join();
    ASSERT_TRUE(queue.WaitWritten(30s));
    EXPECT_EQ(queue.Error(), "");

    const TRows rows = RowsOf(queue.Path());
    ASSERT_EQ(rows.size(), 1u + Threads * PerThread);
    EXPECT_EQ(rows[0], HeaderFields);
    const TAuditContext here = CurrentContext();
    std::map<std::string, int> next;
    for (std::size_t i = 1; i < rows.size(); ++i) {
        ASSERT_EQ(rows[i].size(), HeaderFields.size());
        EXPECT_EQ(rows[i][9], std::to_string(next[rows[i][4]]++)) << "out of order or lost";
        EXPECT_GT(UtcSecondsOf(rows[i][0]), 0) << rows[i][0];
        EXPECT_EQ(rows[i][2], here.User);
        EXPECT_EQ(rows[i][3], here.Computer);
    }
    EXPECT_EQ(next.size(), static_cast<std::size_t>(Threads));
}

// The queue goes with the window: what was posted is written first.
TEST(AuditQueue, ClosingWritesWhatIsQueuedThenTakesNoMore) {
    TempDir tmp;
    constexpr int Rows = 300;
    {
        TAuditQueueOptions options;
        options.CloseWait = 60s; // the bound is not what this test is about
        TAuditQueue queue(tmp / "log", options);
        for (int i = 0; i < Rows; ++i) {
            TAuditRecord r = ReadTime("COM1");
            r.Tries = i;
            queue.Post(Context, r);
        }
    }
    const TRows rows = RowsOf(tmp / "log/audit.csv");
    ASSERT_EQ(rows.size(), 1u + Rows);
    for (int i = 0; i < Rows; ++i)
        EXPECT_EQ(rows[1 + i][9], std::to_string(i));

    TAuditQueue closed(tmp / "other");
    EXPECT_EQ(closed.Close(), 0u);
    closed.Post(ReadTime("COM1"));
    EXPECT_EQ(closed.Error(),
              "1 row left out of the audit log " + closed.Path() + ": it was closed");
    EXPECT_EQ(closed.Close(), 0u);
    EXPECT_FALSE(fs::exists(tmp / "other"));
}

// A write that hangs: closing waits its bound, says so and goes; the worker,
// left behind, writes the rows when the file system answers again, then
// lets go of the state it shared (the hook it held is destroyed).
TEST(AuditQueue, ClosingGivesUpOnAWriteThatHangsAndTheWorkerFinishesAlone) {
    TempDir tmp;
    const auto gate = std::make_shared<TGate>();
    std::string path;
    {
        TAuditQueueOptions options;
        options.CloseWait = 100ms;
        options.BeforeAppend = HookAt(gate);
        auto queue = std::make_unique<TAuditQueue>(tmp / "log", std::move(options));
        path = queue->Path();
        for (const char* port : {"COM1", "COM2", "COM3"})
            queue->Post(Context, ReadTime(port));
        ASSERT_TRUE(gate->WaitArrived(1));
        testing::internal::CaptureStderr();
        queue.reset();
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "the audit log " + path + ": 3 rows not written within 100 ms of closing\n");
    }
    gate->Open();
    ASSERT_TRUE(gate->WaitGone()) << "the worker never let go of its state";
    EXPECT_EQ(ReadText(path), HeaderLine() + Line("COM1") + Line("COM2") + Line("COM3"));
}

// A worker held up for long: Post still returns at once, rows past the
// queue's room are left out and said, and each row carries the time it was
// posted at, not the time it was written at.
TEST(AuditQueue, BehindAHungWriterRowsAreStampedWhenPostedAndThoseWithoutRoomLeftOut) {
    TempDir tmp;
    const auto gate = std::make_shared<TGate>();
    TAuditQueueOptions options;
    options.MaxQueued = 2;
    options.BeforeAppend = HookAt(gate);
    TAuditQueue queue(tmp / "log", std::move(options));

    const std::time_t before = std::time(nullptr);
    queue.Post(ReadTime("COM1"));
    ASSERT_TRUE(gate->WaitArrived(1)); // taken by the worker, which hangs
    queue.Post(ReadTime("COM2"));
    queue.Post(ReadTime("COM3"));
    EXPECT_EQ(queue.Error(), "");
    queue.Post(ReadTime("COM4"));
    EXPECT_EQ(queue.Error(), "1 row left out of the audit log " + queue.Path() +
                                 ": its writer is held up (a file system that does not answer?)");
    const std::time_t after = std::time(nullptr);
    EXPECT_FALSE(queue.WaitWritten(0ms));
    // Let the clock pass the posting times before the rows are written.
    while (std::time(nullptr) <= after + 1)
        std::this_thread::sleep_for(20ms);
    gate->Open();
    ASSERT_TRUE(queue.WaitWritten(30s));

    const TRows rows = RowsOf(queue.Path());
    ASSERT_EQ(rows.size(), 4u);
    for (std::size_t i = 1; i < rows.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(rows[i][4], "COM" + std::to_string(i));
        EXPECT_GE(UtcSecondsOf(rows[i][0]), static_cast<long>(before));
        EXPECT_LE(UtcSecondsOf(rows[i][0]), static_cast<long>(after));
    }
}

// A row that cannot be written is said in Error(), a rotation that fails
// once in TakeWarning(); neither reaches the poster as more than that.
TEST(AuditQueue, FailuresAreSaidNotRaised) {
    TempDir tmp;
    fs::create_directories(tmp.Path() / "taken" / "audit.csv");
    TAuditQueue taken(tmp / "taken");
    taken.Post(ReadTime("COM1"));
    ASSERT_TRUE(taken.WaitWritten(30s));
    EXPECT_EQ(taken.Error(), "cannot write the audit log " + taken.Path() +
                                 ": it is a folder, not a regular file");

    TAuditQueue nowhere("");
    nowhere.Post(ReadTime("COM1"));
    ASSERT_TRUE(nowhere.WaitWritten(30s));
    EXPECT_NE(nowhere.Error().find("no per-user data folder"), std::string::npos)
        << nowhere.Error();

    fs::create_directories(tmp.Path() / "full" / AuditRotatedName);
    TAuditQueueOptions options;
    options.RotateBytes = 1;
    TAuditQueue full(tmp / "full", options);
    for (const char* port : {"COM1", "COM2", "COM3"})
        full.Post(Context, ReadTime(port));
    ASSERT_TRUE(full.WaitWritten(30s));
    EXPECT_EQ(full.Error(), "");
    EXPECT_EQ(full.TakeWarning().rfind("cannot rotate the audit log " + full.Path(), 0), 0u);
    EXPECT_EQ(full.TakeWarning(), "");
    EXPECT_EQ(ReadText(full.Path()), HeaderLine() + Line("COM1") + Line("COM2") + Line("COM3"));
}

} // namespace
