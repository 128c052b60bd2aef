#pragma once
// Notices clients that hang up while their question runs. The HTTP library gives a handler
// the peer's address but not its socket, so the socket is found among the process's
// descriptors by its two ends; one thread then polls every watched socket for the peer's
// shutdown and cancels that question's token.

#include "veltaai/core/cancellation.h"

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace veltaai::server {

class ConnectionWatch {
public:
    // A socket being watched; watching ends when the entry is destroyed.
    class Entry {
    public:
        Entry(ConnectionWatch* watch, long key) : watch_(watch), key_(key) {}
        Entry(Entry&& other) noexcept : watch_(std::exchange(other.watch_, nullptr)), key_(other.key_) {}
        Entry& operator=(Entry&&) = delete;
        ~Entry();

    private:
        ConnectionWatch* watch_;
        long key_;
    };

    ConnectionWatch();
    ~ConnectionWatch();
    ConnectionWatch(const ConnectionWatch&) = delete;
    ConnectionWatch& operator=(const ConnectionWatch&) = delete;

    // Watches the connection from peer_address:peer_port to local_port; a socket that
    // cannot be found is not watched (the question then runs to its end or its deadline).
    Entry add(const std::string& peer_address, int peer_port, int local_port,
              std::shared_ptr<Cancellation> token);

private:
    struct Watched {
        int fd;
        std::shared_ptr<Cancellation> token;
    };
    void loop();
    void remove(long key);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<long, Watched> watched_;
    long next_key_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};

// Raises the accept queue of this process's listening socket on port. The HTTP library listens
// with a queue of five, so a burst of clients would see connections dropped and retried;
// listen() again on a listening socket only changes its queue. False when none was found.
bool widen_backlog(int port, int backlog);

}  // namespace veltaai::server
