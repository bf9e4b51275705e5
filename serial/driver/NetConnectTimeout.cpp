#include "serial/driver/NetCommApi.h"

#include <algorithm>
#include <atomic>
#include <cstdint>

namespace comm::net {

namespace {
std::atomic<std::int64_t> g_connectTimeoutMs{kDefaultConnectTimeout.count()};
} // namespace

void SetConnectTimeout(std::chrono::milliseconds timeout) {
    g_connectTimeoutMs.store(std::max<std::int64_t>(timeout.count(), 1));
}

std::chrono::milliseconds ConnectTimeout() {
    return std::chrono::milliseconds(g_connectTimeoutMs.load());
}

} // namespace comm::net
