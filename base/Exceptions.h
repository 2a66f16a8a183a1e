#pragma once
// The program's exception classes. Every failure is an exception carrying its message;
// the main window's handler tells them apart by type.
#include <stdexcept>
#include <string>

class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& message) : std::runtime_error(message) {}
    // A copy owns its text. libstdc++'s copies share one reference-counted text, so a lost
    // device's notice posted to the user-interface thread and the original the event thread
    // frees would touch one buffer, ordered only by a count ThreadSanitizer cannot see.
    Exception(const Exception& other) : std::runtime_error(std::string(other.what())) {}
    Exception& operator=(const Exception& other)
    {
        std::runtime_error::operator=(std::runtime_error(std::string(other.what())));
        return *this;
    }
    std::string Message() const { return what(); }
};

// A text that is not a number met a conversion to a number.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// Opening, creating or closing a file failed; carries the errno text.
class EInOutError : public Exception {
public:
    EInOutError(const std::string& message, int errorCode) : Exception(message), ErrorCode(errorCode) {}
    int ErrorCode;
};

// Decimal text to integer, strict: optional sign and digits only, else EConvertError.
int StrToInt(const std::string& text);
