#pragma once
// Catches what the test process writes to its real standard output (descriptor 1) while
// alive, so tests can check that code run in a kernel never lands there.

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string>

class HostOutput {
public:
    HostOutput() {
        flush();
        char path[] = "/tmp/veltaai-host-output-XXXXXX";
        file_ = ::mkstemp(path);
        ::unlink(path);
        saved_ = ::dup(1);
        if (file_ < 0 || saved_ < 0 || ::dup2(file_, 1) < 0) throw std::runtime_error("cannot redirect fd 1");
    }
    ~HostOutput() { restore(); }

    // Everything written to descriptor 1 so far; stops catching.
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
        std::fflush(stdout);
    }
    void restore() {
        if (saved_ < 0) return;
        flush();
        ::dup2(saved_, 1);
        ::close(saved_);
        saved_ = -1;
    }
    int file_ = -1;
    int saved_ = -1;
};
