#pragma once
#include <exception>
#include <string>

// A failure that carries the operator's message and is caught at the level that shows it
// (the update run, or the link's own callers for a library that cannot be loaded).
class Abort : public std::exception {
public:
    explicit Abort(std::string message) : message_(std::move(message)) {}
    const char *what() const noexcept override { return message_.c_str(); }
    const std::string &message() const { return message_; }

private:
    std::string message_;
};
