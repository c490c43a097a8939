// The failure type every layer raises: an English message, nothing more.
#pragma once
#include <stdexcept>
#include <string>

class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& message) : std::runtime_error(message) {}
    std::string Message() const { return what(); }
};

// Raised by file operations; the message follows the runtime's wording
// ("File not found", "File access denied", "I/O error 28", ...).
class EInOutError : public Exception {
public:
    EInOutError(const std::string& message, int code) : Exception(message), ErrorCode(code) {}
    int ErrorCode;
};

// A command line the program cannot serve: it says why and ends with
// status 2 (wrong usage), having made nothing.
class UsageError : public Exception {
public:
    using Exception::Exception;
};
