#pragma once
// Catches what the test process writes to one of its real descriptors (standard output by
// default) while alive, so tests can check that code run in a kernel never lands there.

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string>

class HostOutput {
public:
    explicit HostOutput(int fd = 1) : fd_(fd) {
        flush();
        char path[] = "/tmp/veltaai-host-output-XXXXXX";
        file_ = ::mkstemp(path);
        ::unlink(path);
        saved_ = ::dup(fd_);
        if (file_ < 0 || saved_ < 0 || ::dup2(file_, fd_) < 0) {
            throw std::runtime_error("cannot redirect fd " + std::to_string(fd_));
        }
    }
    ~HostOutput() { restore(); }

    // Everything written to the descriptor so far; stops catching.
    std::string finish() {
        restore();
        std::string text;
        char buffer[4096];
        ::lseek(file_, 0, SEEK_SET);
        for (ssize_t n; (n = ::read(file_, buffer, sizeof buffer)) > 0;)
            text.append(buffer, static_cast<std::size_t>(n));
        return text;
    }

private:
    static void flush() {
        std::cout.flush();
        std::cerr.flush();
        std::fflush(stdout);
        std::fflush(stderr);
    }
    void restore() {
        if (saved_ < 0) return;
        flush();
        ::dup2(saved_, fd_);
        ::close(saved_);
        saved_ = -1;
    }
    int fd_;
    int file_ = -1;
    int saved_ = -1;
};
