#pragma once
// The one exception hierarchy of veltaai. Every error the library raises derives from Error;
// the families mirror what callers catch: argument kinds, missing keys, database failures,
// HTTP and model-service failures, and failures of Python code run by a kernel.

#include <stdexcept>
#include <string>

namespace veltaai {

class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A value of the wrong kind was passed (a list where a record was expected, ...).
class TypeError : public Error {
public:
    using Error::Error;
};

// A value of the right kind but an unusable content.
class ValueError : public Error {
public:
    using Error::Error;
};

// A record lacks a key that was read; what() is the key itself.
class KeyError : public Error {
public:
    explicit KeyError(const std::string& key) : Error(key), key_(key) {}
    const std::string& key() const noexcept { return key_; }

private:
    std::string key_;
};

// A position outside a list was read.
class IndexError : public Error {
public:
    using Error::Error;
};

// A statement the database rejected, or any failure while running it. The message is the
// server's own text.
class DatabaseError : public Error {
public:
    using Error::Error;
};

// A connection-level database failure: unreachable server, bad credentials, lost connection.
class OperationalError : public DatabaseError {
public:
    using DatabaseError::DatabaseError;
};

// A failed HTTP exchange. status is 0 when no answer arrived (connection error, time-out).
class HttpError : public Error {
public:
    HttpError(const std::string& message, long status = 0) : Error(message), status_(status) {}
    long status() const noexcept { return status_; }

private:
    long status_;
};

// The chat model service failed or answered something that does not fit.
class ModelServiceError : public Error {
public:
    using Error::Error;
};

// Python code run by a kernel raised an error. kind is the exception's class name without its
// module ("ZeroDivisionError"), message its text, traceback the formatted traceback.
class PythonError : public Error {
public:
    PythonError(std::string kind, std::string message, std::string traceback = {})
        : Error(kind + ": " + message),
          kind_(std::move(kind)),
          message_(std::move(message)),
          traceback_(std::move(traceback)) {}
    const std::string& kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }
    const std::string& traceback() const noexcept { return traceback_; }

private:
    std::string kind_;
    std::string message_;
    std::string traceback_;
};

// Python code asked its interpreter to end (SystemExit). Not an ordinary error of the code.
class PythonExit : public Error {
public:
    using Error::Error;
};

// The kernel itself failed: the interpreter could not start, died, or ran past its time limit.
class KernelError : public Error {
public:
    using Error::Error;
};

}  // namespace veltaai
