#pragma once
// The one base class of the program's own failures: an exception that carries a
// message text. Components raise it (or a class derived from it) and the thread
// and step boundaries catch it and log the message.

#include <exception>
#include <string>

class Exception : public std::exception {
public:
  explicit Exception(std::string Msg) : FMessage(std::move(Msg)) {}
  const std::string& Message() const noexcept { return FMessage; }
  const char* what() const noexcept override { return FMessage.c_str(); }

private:
  std::string FMessage;
};

// printf-style formatting into a std::string (the message texts of this
// program are format strings).
std::string Format(const char* Fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
