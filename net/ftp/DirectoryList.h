// Directory-list parsers: each turns one line of a "LIST" listing into four columns (attribute, name,
// date, size). The base class splits a line into space-separated words; each server type's class picks
// the columns by fixed word positions counted from the end of the line.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/vcl/Classes.h"
#include "platform/vcl/StringList.h"

namespace NMFtp {

class TFTPDirectoryList : public vcl::TObject {
  public:
    // Number of word slots and the longest text a slot holds.
    static constexpr int kMaxWords = 25;
    static constexpr std::size_t kMaxWordLength = 255;

    TFTPDirectoryList();
    ~TFTPDirectoryList() override;

    TFTPDirectoryList(const TFTPDirectoryList&) = delete;
    TFTPDirectoryList& operator=(const TFTPDirectoryList&) = delete;

    // Empties the four lists; the word slots and WordCount keep the last line.
    void Clear();

    // Splits the line into the word slots. Each server type's override then appends the line's
    // columns to the lists, or nothing when the line has too few words.
    virtual void ParseLine(std::string line);

    const vcl::TStringList& AttributeList() const { return *FAttributeList; }
    const vcl::TStringList& NameList() const { return *FNameList; }
    const vcl::TStringList& DateList() const { return *FDateList; }
    const vcl::TStringList& SizeList() const { return *FSizeList; }

    // Word k of the last line, k from 1 to 25; an empty string for any other k.
    const std::string& Words(int k) const;
    // Number of words in the last line, 1 to 25.
    std::int32_t WordCount() const { return FWordCount; }

  protected:
    // Appends name W(n - shift), size W(n - shift - 4), date W(n - shift - 3..n - shift - 1) joined by
    // single spaces and attribute W(1), when the line has more than seven words. Unix-style listings
    // put the name last (shift 0); the others leave one word after it (shift 1).
    void AppendColumns(int shift);

    std::unique_ptr<vcl::TStringList> FAttributeList;
    std::unique_ptr<vcl::TStringList> FNameList;
    std::unique_ptr<vcl::TStringList> FDateList;
    std::unique_ptr<vcl::TStringList> FSizeList;
    std::array<std::string, kMaxWords> FWords;
    std::int32_t FWordCount = 0;
};

class TFTPUnixList : public TFTPDirectoryList {
  public:
    void ParseLine(std::string line) override;
};

class TFTPNETWAREList : public TFTPDirectoryList {
  public:
    void ParseLine(std::string line) override;
};

class TFTPDOSList : public TFTPDirectoryList {
  public:
    void ParseLine(std::string line) override;
};

class TFTPVMSList : public TFTPDirectoryList {
  public:
    void ParseLine(std::string line) override;
};

class TFTPMVSList : public TFTPDirectoryList {
  public:
    void ParseLine(std::string line) override;
};

class TFTPVMList : public TFTPDirectoryList {
  public:
    void ParseLine(std::string line) override;
};

class TFTPMACOSList : public TFTPDirectoryList {
  public:
    void ParseLine(std::string line) override;
};

// Fills only the name and attribute lists; size and date stay empty.
class TFTPAS400List : public TFTPDirectoryList {
  public:
    void ParseLine(std::string line) override;
};

class TFTPOTHERList : public TFTPDirectoryList {
  public:
    void ParseLine(std::string line) override;
};

}  // namespace NMFtp
