// A list of byte strings.
#pragma once

#include <string>
#include <vector>

namespace vcl {

class TStringList {
  public:
    int Add(const std::string& s) {
        FStrings.push_back(s);
        return static_cast<int>(FStrings.size()) - 1;
    }
    void Clear() { FStrings.clear(); }
    int Count() const { return static_cast<int>(FStrings.size()); }
    const std::string& Strings(int index) const { return FStrings.at(static_cast<std::size_t>(index)); }
    const std::string& operator[](int index) const { return Strings(index); }
    // The lines joined, each followed by CR LF.
    std::string Text() const {
        std::string t;
        for (const auto& s : FStrings) t += s + "\r\n";
        return t;
    }

  private:
    std::vector<std::string> FStrings;
};

}  // namespace vcl
