#pragma once
// The program's error classes. Every error knows the class name it is
// reported under ("Exception", "ERPC", "EPipeException", ...), so log lines
// and error replies read the same whatever module raised them.
#include <exception>
#include <string>

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : FMessage(std::move(message)) {}
  ~Exception() override = default;

  virtual const char* ClassName() const noexcept { return "Exception"; }
  const std::string& Message() const noexcept { return FMessage; }
  void SetMessage(std::string message) { FMessage = std::move(message); }
  const char* what() const noexcept override { return FMessage.c_str(); }

 private:
  std::string FMessage;
};

// Declares an error class with its reported class name.
#define VELMAR_DECLARE_EXCEPTION(Name, Base, NameText)                 \
  class Name : public Base {                                            \
   public:                                                              \
    using Base::Base;                                                   \
    const char* ClassName() const noexcept override { return NameText; } \
  }

// A format string that does not fit its arguments.
VELMAR_DECLARE_EXCEPTION(EConvertError, Exception, "EConvertError");
// Raised by Assert: an internal precondition does not hold.
VELMAR_DECLARE_EXCEPTION(EAssertionFailed, Exception, "EAssertionFailed");
// An input/output failure with the platform's message.
VELMAR_DECLARE_EXCEPTION(EInOutError, Exception, "EInOutError");

// Internal preconditions raise an error with the message "Assertion failure".
inline void Assert(bool condition) {
  if (!condition) throw EAssertionFailed("Assertion failure");
}
