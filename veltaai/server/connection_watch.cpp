#include "veltaai/server/connection_watch.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace veltaai::server {
namespace {

// Port and printable address of one end of a socket.
bool end_of(int fd, bool peer, std::string& address, int& port) {
    sockaddr_storage storage{};
    socklen_t size = sizeof storage;
    auto* base = reinterpret_cast<sockaddr*>(&storage);
    if ((peer ? ::getpeername(fd, base, &size) : ::getsockname(fd, base, &size)) != 0) return false;
    char text[INET6_ADDRSTRLEN] = {0};
    if (storage.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&storage);
        ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
        port = ntohs(in->sin_port);
    } else if (storage.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&storage);
        ::inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
        port = ntohs(in6->sin6_port);
    } else {
        return false;
    }
    address = text;
    return true;
}

int find_socket(const std::string& peer_address, int peer_port, int local_port) {
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return -1;
    int found = -1;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
        const int fd = std::atoi(entry->d_name);
        struct stat st {};
        if (fd == ::dirfd(dir) || ::fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
        std::string address;
        int port = 0;
        if (!end_of(fd, true, address, port) || port != peer_port || address != peer_address) continue;
        if (!end_of(fd, false, address, port) || port != local_port) continue;
        found = fd;
        break;
    }
    ::closedir(dir);
    return found;
}

}  // namespace

bool widen_backlog(int port, int backlog) {
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return false;
    bool done = false;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
        const int fd = std::atoi(entry->d_name);
        struct stat st {};
        int listening = 0;
        socklen_t size = sizeof listening;
        if (fd == ::dirfd(dir) || ::fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
        if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || !listening) continue;
        std::string address;
        int local = 0;
        if (end_of(fd, false, address, local) && local == port && ::listen(fd, backlog) == 0) done = true;
    }
    ::closedir(dir);
    return done;
}

ConnectionWatch::Entry::~Entry() {
    if (watch_) watch_->remove(key_);
}

ConnectionWatch::ConnectionWatch() : thread_([this] { loop(); }) {}

ConnectionWatch::~ConnectionWatch() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

ConnectionWatch::Entry ConnectionWatch::add(const std::string& peer_address, int peer_port, int local_port,
                                            std::shared_ptr<Cancellation> token) {
    // The socket stays open while its request is handled, so the descriptor found here is
    // that connection's until the entry goes.
    const int fd = find_socket(peer_address, peer_port, local_port);
    if (fd < 0) return Entry(nullptr, 0);
    const std::lock_guard lock(mutex_);
    const long key = ++next_key_;
    watched_[key] = {fd, std::move(token)};
    changed_.notify_all();
    return Entry(this, key);
}

void ConnectionWatch::remove(long key) {
    const std::lock_guard lock(mutex_);
    watched_.erase(key);
}

void ConnectionWatch::loop() {
    std::vector<pollfd> fds;
    std::vector<std::shared_ptr<Cancellation>> tokens;
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (watched_.empty()) {
            changed_.wait(lock, [this] { return stopping_ || !watched_.empty(); });
            continue;
        }
        fds.clear();
        tokens.clear();
        for (const auto& [key, watched] : watched_) {
            fds.push_back({watched.fd, POLLRDHUP, 0});
            tokens.push_back(watched.token);
        }
        lock.unlock();
        // A hang-up is noticed within this many milliseconds.
        ::poll(fds.data(), fds.size(), 50);
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) tokens[i]->cancel();
        }
        lock.lock();
        // Entries that were seen hanging up are cancelled already; a wait keeps the loop from spinning on
        // them.
        changed_.wait_for(lock, std::chrono::milliseconds(50));
    }
}

}  // namespace veltaai::server
