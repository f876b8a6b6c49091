// NthWord and NthPos on server text. The first byte is the delimiter, the second the field number (as a
// signed byte, so that 0 and negative numbers come up too); the rest is the text.
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const char delimiter = static_cast<char>(data[0]);
    const std::int32_t number = static_cast<std::int8_t>(data[1]);
    const std::string text = fuzz::Bytes(data + 2, size - 2);
    const std::string word = Psock::NthWord(text, delimiter, number);
    if (word.size() > text.size() || word.find(delimiter) != std::string::npos) __builtin_trap();
    if (number <= 0 && !word.empty()) __builtin_trap();
    const std::int32_t pos = Psock::NthPos(text, delimiter, number);
    const auto length = static_cast<std::int32_t>(text.size());
    if (pos < 1 || pos > length + 1) __builtin_trap();
    if (pos <= length && text[static_cast<std::size_t>(pos - 1)] != delimiter) __builtin_trap();
    return 0;
}
