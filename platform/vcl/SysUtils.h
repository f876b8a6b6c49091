// The general exception class and the text conversions the components use.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace vcl {

class Exception : public std::exception {
  public:
    explicit Exception(std::string message) : FMessage(std::move(message)) {}
    const std::string& Message() const { return FMessage; }
    const char* what() const noexcept override { return FMessage.c_str(); }

  private:
    std::string FMessage;
};

// Integer conversion failures.
class EConvertError : public Exception {
  public:
    using Exception::Exception;
};

std::string IntToStr(std::int64_t value);
// Decimal text to integer; EConvertError "'text' is not a valid integer value" when it is not one.
int StrToInt(const std::string& text);

}  // namespace vcl
