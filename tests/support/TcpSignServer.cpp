// The network signs' server: each thread owns an epoll set with its share of
// the listening ports, the connections accepted from them, an eventfd that
// wakes it for a command, and a queue of replies waiting for their time. The
// epoll data of a registration is an id: 0 the eventfd, a listening port's id
// below kFirstConnection, a connection's id above it (never reused, so a reply
// due for a connection that has gone finds nothing rather than its
// descriptor's next owner).

#include "tests/support/TcpSignServer.h"

#include "tools/sign-sim/SimSign.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <queue>
#include <stdexcept>
#include <thread>
#include <unordered_map>
#include <utility>

namespace rc_test {

namespace {

using signsim::Clock;

constexpr std::uint64_t kWake = 0;
constexpr std::uint64_t kFirstConnection = std::uint64_t{1} << 32;
// Replies not taken by the client beyond this are dropped, as sign-sim does.
constexpr std::size_t kMaxOutput = 65536;
// After accept() found no descriptor left, the ports rest this long.
constexpr std::chrono::milliseconds kAcceptPause{50};

std::string SystemWords(int error) {
    return std::strerror(error);
}

struct TConnection {
    int fd = -1;
    std::size_t sign = 0;
    signsim::TRequestParser parser;
    std::deque<std::pair<Clock::time_point, std::string>> due; // replies not yet due
    std::string output;                                        // due, not yet written
    std::deque<std::size_t> replyEnds;                         // where each reply in output ends
    bool waitsForRoom = false;                                 // EPOLLOUT registered
};

struct TListener {
    int fd = -1;
    std::size_t sign = 0;
};

} // namespace

struct TcpSignServer::TImpl {
    struct TWorker {
        TImpl* server = nullptr;
        std::size_t index = 0;          // in server->workers_ and closeDone_
        std::atomic<bool> ended{false}; // Run() returned: it acknowledges nothing
        int epoll = -1;
        int wake = -1;
        std::vector<std::uint64_t> listeners; // ids (index + 1 into server->listeners_)
        std::unordered_map<std::uint64_t, TConnection> connections;
        std::priority_queue<std::pair<Clock::time_point, std::uint64_t>,
                            std::vector<std::pair<Clock::time_point, std::uint64_t>>,
                            std::greater<>>
            timers;
        std::uint64_t nextId = kFirstConnection;
        Clock::time_point acceptPausedUntil{};
        bool acceptPaused = false;
        std::thread thread;

        void Run();
        void Accept(const TListener& listener);
        void Read(std::uint64_t id, TConnection& c);
        void Flush(std::uint64_t id, TConnection& c);
        void Drop(std::uint64_t id);
        void DropAll();
        void SendDue(Clock::time_point now);
        void PauseAccept(bool pause);
    };

    TcpSignServerOptions options_;
    std::vector<TListener> listeners_;
    std::vector<signsim::TSimSign> signs_;
    std::vector<std::uint16_t> ports_;
    std::vector<std::unique_ptr<TWorker>> workers_;
    std::atomic<std::size_t> connections_{0}, requests_{0}, replies_{0};

    // Commands to the workers: a request number each acknowledges.
    std::mutex mutex_;
    std::condition_variable done_;
    std::uint64_t closeRequest_ = 0; // guarded by mutex_
    std::vector<std::uint64_t> closeDone_;
    std::atomic<bool> stopping_{false};
    bool stopped_ = false;

    void Wake(TWorker& w) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(w.wake, &one, sizeof one);
    }
    void Close() {
        for (auto& w : workers_) {
            if (w->epoll >= 0)
                ::close(w->epoll);
            if (w->wake >= 0)
                ::close(w->wake);
        }
        for (const TListener& l : listeners_)
            if (l.fd >= 0)
                ::close(l.fd);
    }
};

void TcpSignServer::TImpl::TWorker::PauseAccept(bool pause) {
    acceptPaused = pause;
    for (const std::uint64_t id : listeners) {
        epoll_event ev{};
        ev.events = pause ? 0u : static_cast<std::uint32_t>(EPOLLIN);
        ev.data.u64 = id;
        ::epoll_ctl(epoll, EPOLL_CTL_MOD, server->listeners_[id - 1].fd, &ev);
    }
}

void TcpSignServer::TImpl::TWorker::Accept(const TListener& listener) {
    for (;;) {
        const int fd = ::accept4(listener.fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Level-triggered: the waiting connection would wake us at
                // once again. Rest until a descriptor may be free.
                PauseAccept(true);
                acceptPausedUntil = Clock::now() + kAcceptPause;
            }
            return;
        }
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        const std::uint64_t id = nextId++;
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLRDHUP;
        ev.data.u64 = id;
        if (::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &ev) != 0) {
            ::close(fd);
            continue;
        }
        TConnection& c = connections[id];
        c.fd = fd;
        c.sign = listener.sign;
        ++server->connections_;
    }
}

void TcpSignServer::TImpl::TWorker::Drop(std::uint64_t id) {
    const auto it = connections.find(id);
    if (it == connections.end())
        return;
    ::close(it->second.fd); // leaves the epoll set with it
    connections.erase(it);
    if (acceptPaused)
        PauseAccept(false);
}

void TcpSignServer::TImpl::TWorker::DropAll() {
    for (auto& [id, c] : connections)
        ::close(c.fd);
    connections.clear();
    if (acceptPaused)
        PauseAccept(false);
}

void TcpSignServer::TImpl::TWorker::Read(std::uint64_t id, TConnection& c) {
    for (;;) {
        char buf[4096];
        const ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (n <= 0) {
            Drop(id); // the client closed, or the connection broke
            return;
        }
        const Clock::time_point now = Clock::now();
        for (const signsim::TParsed& p :
             c.parser.Feed(std::string(buf, static_cast<std::size_t>(n)))) {
            if (p.Kind != signsim::TParsed::Request)
                continue;
            ++server->requests_;
            switch (server->options_.OnRequest) {
            case TcpSignServerOptions::Silent:
                continue;
            case TcpSignServerOptions::Close:
                Drop(id);
                return;
            case TcpSignServerOptions::Answer:
                break;
            }
            std::string reply = server->signs_[c.sign].Handle(p, now).Reply;
            const Clock::time_point due = now + server->options_.Delay;
            c.due.emplace_back(due, std::move(reply));
            timers.emplace(due, id);
        }
    }
}

void TcpSignServer::TImpl::TWorker::Flush(std::uint64_t id, TConnection& c) {
    std::size_t sent = 0;
    while (sent < c.output.size()) {
        const ssize_t n =
            ::send(c.fd, c.output.data() + sent, c.output.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (n < 0) {
            Drop(id);
            return;
        }
        sent += static_cast<std::size_t>(n);
    }
    c.output.erase(0, sent);
    const bool wait = !c.output.empty();
    if (wait != c.waitsForRoom) {
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLRDHUP | (wait ? EPOLLOUT : 0u);
        ev.data.u64 = id;
        ::epoll_ctl(epoll, EPOLL_CTL_MOD, c.fd, &ev);
        c.waitsForRoom = wait;
    }
}

void TcpSignServer::TImpl::TWorker::SendDue(Clock::time_point now) {
    while (!timers.empty() && timers.top().first <= now) {
        const std::uint64_t id = timers.top().second;
        timers.pop();
        const auto it = connections.find(id);
        if (it == connections.end())
            continue;
        TConnection& c = it->second;
        while (!c.due.empty() && c.due.front().first <= now) {
            if (c.output.size() + c.due.front().second.size() <= kMaxOutput) {
                c.output += c.due.front().second;
                ++server->replies_; // before the send: a client that has it finds it counted
            }
            c.due.pop_front();
        }
        Flush(id, c);
    }
}

void TcpSignServer::TImpl::TWorker::Run() {
    std::uint64_t closeSeen = 0;
    std::vector<epoll_event> events(256);
    for (;;) {
        Clock::time_point now = Clock::now();
        SendDue(now);
        if (acceptPaused && now >= acceptPausedUntil)
            PauseAccept(false);
        int timeout = -1;
        const auto msUntil = [&now](Clock::time_point t) {
            return t <= now ? 0
                            : static_cast<int>(
                                  std::chrono::ceil<std::chrono::milliseconds>(t - now).count());
        };
        if (!timers.empty())
            timeout = msUntil(timers.top().first);
        if (acceptPaused) {
            const int rest = msUntil(acceptPausedUntil);
            timeout = timeout < 0 ? rest : std::min(timeout, rest);
        }
        const int n = ::epoll_wait(epoll, events.data(), static_cast<int>(events.size()), timeout);
        if (n < 0 && errno != EINTR) {
            // Cannot wait any more: Stop() still joins, CloseConnections()
            // does not wait for this thread.
            std::lock_guard lock(server->mutex_);
            ended = true;
            server->done_.notify_all();
            return;
        }
        for (int i = 0; i < n; ++i) {
            const std::uint64_t id = events[static_cast<std::size_t>(i)].data.u64;
            const std::uint32_t what = events[static_cast<std::size_t>(i)].events;
            if (id == kWake) {
                std::uint64_t count = 0;
                [[maybe_unused]] const ssize_t r = ::read(wake, &count, sizeof count);
                if (server->stopping_)
                    return;
                std::uint64_t request = 0;
                {
                    std::lock_guard lock(server->mutex_);
                    request = server->closeRequest_;
                }
                if (request != closeSeen) {
                    DropAll();
                    closeSeen = request;
                    std::lock_guard lock(server->mutex_);
                    server->closeDone_[index] = request;
                    server->done_.notify_all();
                }
                continue;
            }
            if (id < kFirstConnection) {
                Accept(server->listeners_[id - 1]);
                continue;
            }
            const auto it = connections.find(id);
            if (it == connections.end())
                continue; // dropped earlier in this round
            if ((what & EPOLLOUT) != 0)
                Flush(id, it->second);
            if (connections.count(id) != 0 && (what & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)))
                Read(id, connections.find(id)->second);
        }
    }
}

TcpSignServer::TcpSignServer(const TcpSignServerOptions& options)
    : impl_(std::make_unique<TImpl>()) {
    TImpl& s = *impl_;
    s.options_ = options;
    const unsigned threads = options.Threads == 0 ? 1 : std::min(options.Threads, 2u);
    s.signs_.resize(options.Ports);
    if (options.ClockBytes)
        for (signsim::TSimSign& sign : s.signs_)
            sign.SignClock().Stop(*options.ClockBytes);
    const auto fail = [&s](const std::string& what) {
        const std::string text = what + ": " + SystemWords(errno);
        s.Close();
        throw std::runtime_error(text);
    };
    for (std::size_t i = 0; i < options.Ports; ++i) {
        TListener l;
        l.sign = i;
        l.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (l.fd < 0)
            fail("cannot open a socket for sign " + std::to_string(i));
        s.listeners_.push_back(l);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = 0;
        if (::bind(l.fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(l.fd, SOMAXCONN) != 0)
            fail("cannot listen on 127.0.0.1 for sign " + std::to_string(i));
        socklen_t len = sizeof a;
        if (::getsockname(l.fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            fail("cannot learn the port of sign " + std::to_string(i));
        s.ports_.push_back(ntohs(a.sin_port));
    }
    s.closeDone_.assign(threads, 0);
    for (unsigned t = 0; t < threads; ++t) {
        auto w = std::make_unique<TImpl::TWorker>();
        w->server = &s;
        w->index = t;
        s.workers_.push_back(std::move(w));
        TImpl::TWorker& worker = *s.workers_.back();
        worker.epoll = ::epoll_create1(EPOLL_CLOEXEC);
        worker.wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (worker.epoll < 0 || worker.wake < 0)
            fail("cannot make the server's wait");
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = kWake;
        if (::epoll_ctl(worker.epoll, EPOLL_CTL_ADD, worker.wake, &ev) != 0)
            fail("cannot make the server's wait");
    }
    for (std::size_t i = 0; i < s.listeners_.size(); ++i) {
        TImpl::TWorker& worker = *s.workers_[i % threads];
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = i + 1;
        if (::epoll_ctl(worker.epoll, EPOLL_CTL_ADD, s.listeners_[i].fd, &ev) != 0)
            fail("cannot wait on the port of sign " + std::to_string(i));
        worker.listeners.push_back(i + 1);
    }
    for (auto& w : s.workers_)
        w->thread = std::thread([worker = w.get()] { worker->Run(); });
}

namespace {
TcpSignServerOptions PortsAndDelay(std::size_t ports, std::chrono::milliseconds delay) {
    TcpSignServerOptions options;
    options.Ports = ports;
    options.Delay = delay;
    return options;
}
} // namespace

TcpSignServer::TcpSignServer(std::size_t ports, std::chrono::milliseconds delay)
    : TcpSignServer(PortsAndDelay(ports, delay)) {}

TcpSignServer::~TcpSignServer() {
    Stop();
}

const std::vector<std::uint16_t>& TcpSignServer::Ports() const {
    return impl_->ports_;
}

std::string TcpSignServer::Name(std::size_t i) const {
    return "tcp://127.0.0.1:" + std::to_string(impl_->ports_.at(i));
}

std::size_t TcpSignServer::Connections() const {
    return impl_->connections_;
}
std::size_t TcpSignServer::Requests() const {
    return impl_->requests_;
}
std::size_t TcpSignServer::Replies() const {
    return impl_->replies_;
}

void TcpSignServer::CloseConnections() {
    TImpl& s = *impl_;
    std::unique_lock lock(s.mutex_);
    if (s.stopped_)
        return;
    const std::uint64_t request = ++s.closeRequest_;
    lock.unlock();
    for (auto& w : s.workers_)
        s.Wake(*w);
    lock.lock();
    s.done_.wait(lock, [&s, request] {
        for (std::size_t i = 0; i < s.workers_.size(); ++i)
            if (s.closeDone_[i] < request && !s.workers_[i]->ended)
                return false;
        return true;
    });
}

void TcpSignServer::Stop() {
    TImpl& s = *impl_;
    {
        std::lock_guard lock(s.mutex_);
        if (s.stopped_)
            return;
        s.stopped_ = true;
    }
    s.stopping_ = true;
    for (auto& w : s.workers_)
        s.Wake(*w);
    for (auto& w : s.workers_) {
        if (w->thread.joinable())
            w->thread.join();
        w->DropAll();
    }
    s.Close();
}

} // namespace rc_test
