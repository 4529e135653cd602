#pragma once

// The exception tree of the whole system.
//
// Every failure the system raises on purpose derives from vt::Exception. It
// carries a fixed English message and can name its own class, because some
// callers print that name (the HTTP server's 500 page reads
// "Internal server error: <class>: <message>"). Code that must tell "our"
// errors from anything else (a handler that raised std::bad_alloc, say)
// catches vt::Exception.
//
// Each module declares its own classes with VT_EXCEPTION_CLASS in its header,
// next to the code that raises them.

#include <exception>
#include <string>

namespace vt {

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}

  const std::string& Message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

  // The class name, as the system prints it ("EReader", "EWinSock", ...).
  virtual const char* ClassName() const noexcept { return "Exception"; }

 private:
  std::string message_;
};

// Declares `Name`, derived from `Base`, taking the base's constructors and
// reporting "Name" from ClassName().
#define VT_EXCEPTION_CLASS(Name, Base)                                \
  class Name : public Base {                                          \
   public:                                                            \
    using Base::Base;                                                 \
    const char* ClassName() const noexcept override { return #Name; } \
  }

// A failure of input or output: a stream, a reader or a writer (streams/),
// a socket or the stream over a connection (sockets/). The classes of those
// modules derive from it under their own names, so that code which has to
// tell "the connection or a body failed, nothing more can be sent" from
// every other failure catches this one class.
VT_EXCEPTION_CLASS(EIOError, Exception);

// A text could not be converted to a value (an impossible calendar date, for
// instance).
VT_EXCEPTION_CLASS(EConvertError, Exception);

// A failed operating-system call: the errno value and the system's message
// for it.
class EOSError : public Exception {
 public:
  EOSError(int error_code, std::string message) : Exception(std::move(message)), error_code_(error_code) {}

  int ErrorCode() const noexcept { return error_code_; }
  const char* ClassName() const noexcept override { return "EOSError"; }

 private:
  int error_code_;
};

// The system's text for an errno value ("No such file or directory").
std::string SystemErrorText(int error_code);

// Raises EOSError for the given errno value.
[[noreturn]] void RaiseOSError(int error_code);

// Raises EOSError for the current errno.
[[noreturn]] void RaiseLastOSError();

}  // namespace vt
