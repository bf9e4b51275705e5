// The network opens under way and their abort (NetCommApi.h's AbortOpens,
// NetSocket.h's TOpenWatch): a flag that stays set, and the wake-ups of the
// opens that wait.

#include "serial/driver/NetCommApi.h"
#include "serial/driver/NetSocket.h"

#include <atomic>
#include <map>
#include <mutex>

namespace comm::net {

namespace {

std::atomic<bool> g_aborted{false};

struct TRegistry {
    std::mutex mutex;
    std::uint64_t next = 0;
    std::map<std::uint64_t, std::function<void()>> wakes;
};

TRegistry& Registry() {
    static TRegistry* registry = new TRegistry; // used until the process ends
    return *registry;
}

} // namespace

void AbortOpens() {
    TRegistry& r = Registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    // Set under the lock: a watch registered after this sees it.
    g_aborted.store(true);
    for (const auto& [id, wake] : r.wakes)
        wake();
}

bool OpensAborted() {
    return g_aborted.load();
}

TOpenWatch::TOpenWatch(std::function<void()> wake) {
    TRegistry& r = Registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    id_ = r.next++;
    r.wakes.emplace(id_, std::move(wake));
}

TOpenWatch::~TOpenWatch() {
    TRegistry& r = Registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.wakes.erase(id_);
}

} // namespace comm::net
