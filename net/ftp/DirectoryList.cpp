#include "net/ftp/DirectoryList.h"

#include <utility>

namespace NMFtp {

namespace {

// Lines with more words than this are not accepted by the column-picking parsers.
constexpr int kMinWordsAbove = 7;
constexpr int kAS400MinWordsAbove = 3;

const std::string kEmpty;

}  // namespace

TFTPDirectoryList::TFTPDirectoryList()
    : FAttributeList(std::make_unique<vcl::TStringList>()),
      FNameList(std::make_unique<vcl::TStringList>()),
      FDateList(std::make_unique<vcl::TStringList>()),
      FSizeList(std::make_unique<vcl::TStringList>()) {}

TFTPDirectoryList::~TFTPDirectoryList() = default;

void TFTPDirectoryList::Clear() {
    FAttributeList->Clear();
    FNameList->Clear();
    FDateList->Clear();
    FSizeList->Clear();
}

const std::string& TFTPDirectoryList::Words(int k) const {
    if (k < 1 || k > kMaxWords) return kEmpty;
    return FWords[static_cast<std::size_t>(k - 1)];
}

// Only character 32 separates words (a tab is part of a word), and a run of spaces counts as one
// separator. A leading space leaves word 1 empty; a trailing space adds an empty last word.
// A word keeps its first 255 characters. A line of more than 25 words keeps its first 25: the
// split stops at the space that would start word 26, so everything after it is dropped and
// WordCount stays 25.
void TFTPDirectoryList::ParseLine(std::string line) {
    for (auto& word : FWords) word.clear();
    int w = 1;
    const std::size_t len = line.size();
    std::size_t p = 0;
    while (p < len) {
        const char c = line[p];
        if (c != ' ') {
            std::string& word = FWords[static_cast<std::size_t>(w - 1)];
            if (word.size() < kMaxWordLength) word.push_back(c);
            ++p;
        } else {
            if (w == kMaxWords) break;
            ++w;
            while (p < len && line[p] == ' ') ++p;
        }
    }
    FWordCount = w;
}

void TFTPDirectoryList::AppendColumns(int shift) {
    const int n = FWordCount;
    if (n <= kMinWordsAbove) return;
    const int last = n - shift;
    FNameList->Add(Words(last));
    FSizeList->Add(Words(last - 4));
    FDateList->Add(Words(last - 3) + " " + Words(last - 2) + " " + Words(last - 1));
    FAttributeList->Add(Words(1));
}

void TFTPUnixList::ParseLine(std::string line) {
    TFTPDirectoryList::ParseLine(std::move(line));
    AppendColumns(0);
}

void TFTPOTHERList::ParseLine(std::string line) {
    TFTPDirectoryList::ParseLine(std::move(line));
    AppendColumns(0);
}

void TFTPNETWAREList::ParseLine(std::string line) {
    TFTPDirectoryList::ParseLine(std::move(line));
    AppendColumns(1);
}

void TFTPDOSList::ParseLine(std::string line) {
    TFTPDirectoryList::ParseLine(std::move(line));
    AppendColumns(1);
}

void TFTPVMSList::ParseLine(std::string line) {
    TFTPDirectoryList::ParseLine(std::move(line));
    AppendColumns(1);
}

void TFTPMVSList::ParseLine(std::string line) {
    TFTPDirectoryList::ParseLine(std::move(line));
    AppendColumns(1);
}

void TFTPVMList::ParseLine(std::string line) {
    TFTPDirectoryList::ParseLine(std::move(line));
    AppendColumns(1);
}

void TFTPMACOSList::ParseLine(std::string line) {
    TFTPDirectoryList::ParseLine(std::move(line));
    AppendColumns(1);
}

// The name is the last word when it starts with "*" (an object type), else the word before it.
void TFTPAS400List::ParseLine(std::string line) {
    TFTPDirectoryList::ParseLine(std::move(line));
    const int n = FWordCount;
    if (n <= kAS400MinWordsAbove) return;
    const std::string& lastWord = Words(n);
    FNameList->Add(!lastWord.empty() && lastWord[0] == '*' ? lastWord : Words(n - 1));
    FAttributeList->Add(Words(1));
}

}  // namespace NMFtp
