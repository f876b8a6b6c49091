#include "platform/vcl/SysUtils.h"

#include <charconv>

namespace vcl {

std::string IntToStr(std::int64_t value) { return std::to_string(value); }

int StrToInt(const std::string& text) {
    int value = 0;
    std::size_t start = 0;
    while (start < text.size() && text[start] == ' ') ++start;
    const char* first = text.data() + start;
    const char* last = text.data() + text.size();
    if (first != last && *first == '+') ++first;
    auto [end, ec] = std::from_chars(first, last, value);
    if (ec != std::errc() || end != last || first == last)
        throw EConvertError("'" + text + "' is not a valid integer value");
    return value;
}

}  // namespace vcl
