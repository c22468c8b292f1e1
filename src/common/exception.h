#pragma once

#include <exception>
#include <string>
#include <string_view>
#include <utility>

namespace tessarine {

// Root of every failure the program raises. The message is kept as UTF-16 text, because it becomes
// answer bodies and message-box texts; what() gives the same text in UTF-8 for diagnostics.
class Exception : public std::exception {
 public:
  explicit Exception(std::u16string message);
  explicit Exception(std::string_view utf8Message);

  const std::u16string& Message() const noexcept { return m_message; }
  const char* what() const noexcept override { return m_what.c_str(); }

 private:
  std::u16string m_message;
  std::string m_what;
};

// The string list's index error: "List index out of bounds (%d)".
class EStringListError : public Exception {
 public:
  using Exception::Exception;
  static EStringListError IndexOutOfBounds(long long index);
};

// Root of the networking family.
class EIdException : public Exception {
 public:
  using Exception::Exception;
};

// A failed socket call; LastError keeps the Windows Sockets code. It lives here, beside its root, because the
// translation service must tell its engine's connection failing from the local connection failing without
// depending on the socket layer.
class EIdSocketError : public EIdException {
 public:
  EIdSocketError(int lastError, std::u16string message) : EIdException(std::move(message)), m_lastError(lastError) {}
  int LastError() const noexcept { return m_lastError; }

 private:
  int m_lastError;
};

// Failures that end a connection quietly.
class EIdSilentException : public EIdException {
 public:
  using EIdException::EIdException;
};

// Declares a class of the EIdException family with the usual constructors.
#define TESSARINE_EXCEPTION(Name, Base) \
  class Name : public Base {            \
   public:                              \
    using Base::Base;                   \
  }

}  // namespace tessarine
