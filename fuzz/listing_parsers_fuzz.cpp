// The word split and the nine listing parsers. The first byte picks the parser (or the bare word split);
// the rest is a listing whose lines, cut at LF, go to ParseLine one by one, as List hands them over.
#include <array>
#include <functional>

#include "fuzz/FuzzSupport.h"

namespace {

using namespace NMFtp;

template <typename T>
std::unique_ptr<TFTPDirectoryList> Make() {
    return std::make_unique<T>();
}

const std::array<std::function<std::unique_ptr<TFTPDirectoryList>()>, 10> kParsers = {
    Make<TFTPUnixList>,  Make<TFTPNETWAREList>,   Make<TFTPDOSList>,   Make<TFTPVMSList>,
    Make<TFTPMVSList>,   Make<TFTPVMList>,        Make<TFTPMACOSList>, Make<TFTPAS400List>,
    Make<TFTPOTHERList>, Make<TFTPDirectoryList>,
};

void Check(const TFTPDirectoryList& list, bool withSizeAndDate) {
    const int n = list.WordCount();
    if (n < 1 || n > TFTPDirectoryList::kMaxWords) __builtin_trap();
    for (int k = 0; k <= TFTPDirectoryList::kMaxWords + 1; ++k) {
        const std::string& w = list.Words(k);
        if (w.size() > TFTPDirectoryList::kMaxWordLength || w.find(' ') != std::string::npos)
            __builtin_trap();
        if ((k < 1 || k > n) && !w.empty()) __builtin_trap();
    }
    const int rows = list.NameList().Count();
    if (list.AttributeList().Count() != rows) __builtin_trap();
    const int columns = withSizeAndDate ? rows : 0;
    if (list.SizeList().Count() != columns || list.DateList().Count() != columns) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::size_t which = data[0] % kParsers.size();
    const auto parser = kParsers[which]();
    const bool bareSplit = which == kParsers.size() - 1;
    const bool as400 = which == 7;
    const std::string listing = fuzz::Bytes(data + 1, size - 1);
    std::size_t start = 0;
    while (start <= listing.size()) {
        std::size_t end = listing.find('\n', start);
        if (end == std::string::npos) end = listing.size();
        parser->ParseLine(listing.substr(start, end - start));
        Check(*parser, !as400 && !bareSplit);
        if (bareSplit && parser->NameList().Count() != 0) __builtin_trap();
        start = end + 1;
    }
    return 0;
}
