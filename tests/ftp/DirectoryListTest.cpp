// Directory-list parsers: splitting a listing line into words, and the columns each server type's
// parser picks from those words.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/ftp/DirectoryList.h"

using NMFtp::TFTPDirectoryList;

namespace {

using Factory = std::function<std::unique_ptr<TFTPDirectoryList>()>;

struct ParserKind {
    const char* name;
    Factory make;
};

template <class T>
ParserKind Kind(const char* name) {
    return {name, [] { return std::unique_ptr<TFTPDirectoryList>(std::make_unique<T>()); }};
}

// Parsers that take the name from the last word.
const std::vector<ParserKind>& LastWordKinds() {
    static const std::vector<ParserKind> kinds = {Kind<NMFtp::TFTPUnixList>("Unix"),
                                                  Kind<NMFtp::TFTPOTHERList>("OTHER")};
    return kinds;
}

// Parsers that take the name from the word before the last.
const std::vector<ParserKind>& ShiftedKinds() {
    static const std::vector<ParserKind> kinds = {
        Kind<NMFtp::TFTPNETWAREList>("NETWARE"), Kind<NMFtp::TFTPDOSList>("DOS"),
        Kind<NMFtp::TFTPVMSList>("VMS"),         Kind<NMFtp::TFTPMVSList>("MVS"),
        Kind<NMFtp::TFTPVMList>("VM"),           Kind<NMFtp::TFTPMACOSList>("MACOS")};
    return kinds;
}

enum class Group { LastWord, Shifted, AS400 };

std::vector<ParserKind> KindsOf(Group g) {
    switch (g) {
        case Group::LastWord:
            return LastWordKinds();
        case Group::Shifted:
            return ShiftedKinds();
        case Group::AS400:
            return {Kind<NMFtp::TFTPAS400List>("AS400")};
    }
    return {};
}

std::string Numbered(int count) {
    std::string line;
    for (int i = 1; i <= count; ++i) {
        if (i > 1) line += ' ';
        line += "w" + std::to_string(i);
    }
    return line;
}

const std::string kUnixFile = "-rw-r--r-- 1 owner group 1234 Jan 15 10:30 file.txt";
const std::string kLongWord = std::string(255, 'a') + std::string(45, 'b');
// A string of every byte of a literal, embedded NULs included.
template <std::size_t N>
std::string Bytes(const char (&text)[N]) {
    return std::string(text, N - 1);
}

const std::string kBinary = Bytes("a\0b c\td \xff e f g h i");

struct ColumnCase {
    const char* label;
    Group group;
    std::string line;
    bool accepted;
    std::string name, size, date, attr;  // size and date unused for AS400
};

const std::vector<ColumnCase>& ColumnCases() {
    static const std::vector<ColumnCase> cases = {
        // Unix-style listing, name last.
        {"typical file", Group::LastWord, kUnixFile, true, "file.txt", "1234", "Jan 15 10:30", "-rw-r--r--"},
        {"typical dir", Group::LastWord, "drwxr-xr-x 2 owner group 4096 Dec 31 2023 src", true, "src", "4096",
         "Dec 31 2023", "drwxr-xr-x"},
        {"total header", Group::LastWord, "total 12", false, "", "", "", ""},
        {"name with one space", Group::LastWord, "-rw-r--r-- 1 owner group 1234 Jan 15 10:30 my file.txt",
         true, "file.txt", "Jan", "15 10:30 my", "-rw-r--r--"},
        {"eight words", Group::LastWord, "a b c d e f g h", true, "h", "d", "e f g", "a"},
        {"seven words", Group::LastWord, "a b c d e f g", false, "", "", "", ""},
        {"runs of spaces", Group::LastWord,
         "-rw-r--r--    1  owner   group     1234 Jan  15   10:30    file.txt", true, "file.txt", "1234",
         "Jan 15 10:30", "-rw-r--r--"},
        {"leading space", Group::LastWord, " " + kUnixFile, true, "file.txt", "1234", "Jan 15 10:30", ""},
        {"trailing space", Group::LastWord, kUnixFile + " ", true, "", "Jan", "15 10:30 file.txt",
         "-rw-r--r--"},
        {"leading and trailing spaces", Group::LastWord, "   " + kUnixFile + "   ", true, "", "Jan",
         "15 10:30 file.txt", ""},
        {"300-character name", Group::LastWord, "-rw-r--r-- 1 owner group 1234 Jan 15 10:30 " + kLongWord,
         true, std::string(255, 'a'), "1234", "Jan 15 10:30", "-rw-r--r--"},
        {"30 words keep 25", Group::LastWord, Numbered(30), true, "w25", "w21", "w22 w23 w24", "w1"},
        {"empty line", Group::LastWord, "", false, "", "", "", ""},
        {"only spaces", Group::LastWord, "          ", false, "", "", "", ""},
        {"binary bytes", Group::LastWord, kBinary, true, "i", "e", "f g h", Bytes("a\0b")},

        // Listings with one word after the name.
        {"typical", Group::Shifted, "-rw-r--r-- 1 owner group 1234 Jan 15 10:30 file.txt extra", true,
         "file.txt", "1234", "Jan 15 10:30", "-rw-r--r--"},
        {"unix line", Group::Shifted, kUnixFile, true, "10:30", "group", "1234 Jan 15", "-rw-r--r--"},
        {"total header", Group::Shifted, "total 12", false, "", "", "", ""},
        {"name with one space", Group::Shifted, "-rw-r--r-- 1 owner group 1234 Jan 15 10:30 my file.txt",
         true, "my", "1234", "Jan 15 10:30", "-rw-r--r--"},
        {"eight words", Group::Shifted, "a b c d e f g h", true, "g", "c", "d e f", "a"},
        {"seven words", Group::Shifted, "a b c d e f g", false, "", "", "", ""},
        {"runs of spaces", Group::Shifted, "a    b  c   d e     f g          h", true, "g", "c", "d e f",
         "a"},
        {"leading space", Group::Shifted, " " + kUnixFile, true, "10:30", "group", "1234 Jan 15", ""},
        {"trailing space", Group::Shifted, kUnixFile + " ", true, "file.txt", "1234", "Jan 15 10:30",
         "-rw-r--r--"},
        {"300-character name", Group::Shifted, "a b c d e f g " + kLongWord + " h", true,
         std::string(255, 'a'), "d", "e f g", "a"},
        {"30 words keep 25", Group::Shifted, Numbered(30), true, "w24", "w20", "w21 w22 w23", "w1"},
        {"empty line", Group::Shifted, "", false, "", "", "", ""},
        {"binary bytes", Group::Shifted, kBinary, true, "h", std::string("\xff"), "e f g", Bytes("a\0b")},

        // AS/400: name is the last word when it starts with "*", else the one before it.
        {"object type before name", Group::AS400, "QSYS 77824 02/23/00 15:09:55 *DIR QOpenSys/", true, "*DIR",
         "", "", "QSYS"},
        {"member type last", Group::AS400, "OWNER 4096 01/15/24 10:30:00 LIB.FILE *MEM", true, "*MEM", "", "",
         "OWNER"},
        {"four words, star last", Group::AS400, "a b c *X", true, "*X", "", "", "a"},
        {"four words", Group::AS400, "a b c d", true, "c", "", "", "a"},
        {"three words", Group::AS400, "a b *c", false, "", "", "", ""},
        {"total header", Group::AS400, "total 12", false, "", "", "", ""},
        {"name with one space", Group::AS400, "OWNER 4096 01/15/24 10:30:00 *FILE MY FILE", true, "MY", "",
         "", "OWNER"},
        {"eight words", Group::AS400, "a b c d e f g h", true, "g", "", "", "a"},
        {"seven words", Group::AS400, "a b c d e f g", true, "f", "", "", "a"},
        {"runs of spaces", Group::AS400, "a     b   c    *d", true, "*d", "", "", "a"},
        {"leading space", Group::AS400, " a b c *d", true, "*d", "", "", ""},
        {"trailing space after star", Group::AS400, "a b c *d ", true, "*d", "", "", "a"},
        {"300-character name", Group::AS400, "a b c " + kLongWord + " e", true, std::string(255, 'a'), "", "",
         "a"},
        {"300-character star word", Group::AS400, "a b c *" + kLongWord, true, "*" + std::string(254, 'a'),
         "", "", "a"},
        {"30 words keep 25", Group::AS400, Numbered(30), true, "w24", "", "", "w1"},
        {"empty line", Group::AS400, "", false, "", "", "", ""},
        {"binary bytes, three words", Group::AS400, Bytes("\0 \x01\x02 *\0"), false, "", "", "", ""},
        {"binary bytes, four words", Group::AS400, Bytes("\0 \x01\x02 \xff\xfe *\0"), true, Bytes("*\0"), "",
         "", Bytes("\0")},
    };
    return cases;
}

}  // namespace

TEST(DirectoryListParse, EachParserPicksItsColumns) {
    for (const auto& c : ColumnCases()) {
        for (const auto& kind : KindsOf(c.group)) {
            SCOPED_TRACE(std::string(kind.name) + ": " + c.label);
            auto parser = kind.make();
            parser->ParseLine(c.line);
            if (!c.accepted) {
                EXPECT_EQ(parser->NameList().Count(), 0);
                EXPECT_EQ(parser->SizeList().Count(), 0);
                EXPECT_EQ(parser->DateList().Count(), 0);
                EXPECT_EQ(parser->AttributeList().Count(), 0);
                continue;
            }
            ASSERT_EQ(parser->NameList().Count(), 1);
            ASSERT_EQ(parser->AttributeList().Count(), 1);
            EXPECT_EQ(parser->NameList()[0], c.name);
            EXPECT_EQ(parser->AttributeList()[0], c.attr);
            if (c.group == Group::AS400) {
                EXPECT_EQ(parser->SizeList().Count(), 0);
                EXPECT_EQ(parser->DateList().Count(), 0);
            } else {
                ASSERT_EQ(parser->SizeList().Count(), 1);
                ASSERT_EQ(parser->DateList().Count(), 1);
                EXPECT_EQ(parser->SizeList()[0], c.size);
                EXPECT_EQ(parser->DateList()[0], c.date);
            }
        }
    }
}

TEST(DirectoryListSplit, WordsAndWordCount) {
    struct SplitCase {
        const char* label;
        std::string line;
        std::vector<std::string> words;
    };
    std::vector<std::string> first25;
    for (int i = 1; i <= 25; ++i) first25.push_back("w" + std::to_string(i));
    const std::vector<SplitCase> cases = {
        {"single word", "abc", {"abc"}},
        {"two words", "total 12", {"total", "12"}},
        {"run of spaces is one separator", "a    b", {"a", "b"}},
        {"leading space", " a b", {"", "a", "b"}},
        {"leading run of spaces", "    a", {"", "a"}},
        {"trailing space", "a b ", {"a", "b", ""}},
        {"trailing run of spaces", "a b    ", {"a", "b", ""}},
        {"only spaces", "   ", {"", ""}},
        {"empty line", "", {""}},
        {"tab is not a separator", "a\tb c", {"a\tb", "c"}},
        {"NUL is not a separator", Bytes("a\0b c"), {Bytes("a\0b"), "c"}},
        {"300 characters keep 255", kLongWord + " x", {std::string(255, 'a'), "x"}},
        {"exactly 25 words", Numbered(25), first25},
        {"30 words keep the first 25", Numbered(30), first25},
        {"25 words and a trailing space", Numbered(25) + " ", first25},
        {"long last slot is still cut", Numbered(24) + " " + kLongWord + " more",
         [&] {
             auto w = first25;
             w[24] = std::string(255, 'a');
             return w;
         }()},
    };
    TFTPDirectoryList parser;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        parser.ParseLine(c.line);
        ASSERT_EQ(parser.WordCount(), static_cast<int>(c.words.size()));
        for (int k = 1; k <= TFTPDirectoryList::kMaxWords; ++k) {
            const std::string expected = k <= static_cast<int>(c.words.size()) ? c.words[k - 1] : "";
            EXPECT_EQ(parser.Words(k), expected) << "word " << k;
        }
        // The base class only splits; it never fills a list.
        EXPECT_EQ(parser.NameList().Count(), 0);
        EXPECT_EQ(parser.AttributeList().Count(), 0);
    }
    EXPECT_EQ(parser.Words(0), "");
    EXPECT_EQ(parser.Words(26), "");
}

TEST(DirectoryListParse, ListsStayInStepAcrossLines) {
    NMFtp::TFTPUnixList parser;
    const std::vector<std::string> lines = {
        "total 8",
        "drwxr-xr-x 2 owner group 4096 Jan 1 2024 docs",
        "a b c d e f g",
        "-rw-r--r-- 1 owner group 77 Feb 2 09:15 notes.txt",
        "",
    };
    for (const auto& line : lines) parser.ParseLine(line);
    ASSERT_EQ(parser.NameList().Count(), 2);
    ASSERT_EQ(parser.SizeList().Count(), 2);
    ASSERT_EQ(parser.DateList().Count(), 2);
    ASSERT_EQ(parser.AttributeList().Count(), 2);
    EXPECT_EQ(parser.NameList()[0], "docs");
    EXPECT_EQ(parser.SizeList()[0], "4096");
    EXPECT_EQ(parser.DateList()[0], "Jan 1 2024");
    EXPECT_EQ(parser.AttributeList()[0], "drwxr-xr-x");
    EXPECT_EQ(parser.NameList()[1], "notes.txt");
    EXPECT_EQ(parser.SizeList()[1], "77");
    EXPECT_EQ(parser.DateList()[1], "Feb 2 09:15");
    EXPECT_EQ(parser.AttributeList()[1], "-rw-r--r--");
    // The word slots hold the last line, even though it was not accepted.
    EXPECT_EQ(parser.WordCount(), 1);
    EXPECT_EQ(parser.Words(1), "");
    EXPECT_EQ(parser.Words(2), "");
}

TEST(DirectoryListParse, ClearEmptiesListsButKeepsWords) {
    for (const auto& group : {Group::LastWord, Group::Shifted, Group::AS400}) {
        for (const auto& kind : KindsOf(group)) {
            SCOPED_TRACE(kind.name);
            auto parser = kind.make();
            parser->ParseLine("first 1 2 3 4 5 6 7 8");
            parser->ParseLine("second 1 2 3 4 5 6 7 *8");
            parser->Clear();
            EXPECT_EQ(parser->NameList().Count(), 0);
            EXPECT_EQ(parser->SizeList().Count(), 0);
            EXPECT_EQ(parser->DateList().Count(), 0);
            EXPECT_EQ(parser->AttributeList().Count(), 0);
            EXPECT_EQ(parser->WordCount(), 9);
            EXPECT_EQ(parser->Words(1), "second");
            EXPECT_EQ(parser->Words(9), "*8");

            parser->ParseLine("third a b c d e f g h");
            ASSERT_EQ(parser->NameList().Count(), 1);
            ASSERT_EQ(parser->AttributeList().Count(), 1);
            EXPECT_EQ(parser->AttributeList()[0], "third");
            const int sizeEntries = group == Group::AS400 ? 0 : 1;
            EXPECT_EQ(parser->SizeList().Count(), sizeEntries);
            EXPECT_EQ(parser->DateList().Count(), sizeEntries);
        }
    }
}

TEST(DirectoryListSplit, ShorterLineEmptiesSlotsOfLongerOne) {
    TFTPDirectoryList parser;
    parser.ParseLine(Numbered(25));
    parser.ParseLine("x y");
    EXPECT_EQ(parser.WordCount(), 2);
    EXPECT_EQ(parser.Words(1), "x");
    EXPECT_EQ(parser.Words(2), "y");
    for (int k = 3; k <= TFTPDirectoryList::kMaxWords; ++k) EXPECT_EQ(parser.Words(k), "") << "word " << k;
}

TEST(DirectoryListParse, ArbitraryBytesNeverOverrun) {
    // Every byte value, in lines of many lengths and many words, through every parser.
    std::string all;
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
    std::vector<std::string> lines;
    for (std::size_t len : {1u, 31u, 33u, 256u}) lines.push_back(all.substr(0, len));
    std::string spaced;
    for (int b = 0; b < 256; ++b) {
        spaced.push_back(static_cast<char>(b));
        spaced.push_back(' ');
    }
    lines.push_back(spaced);
    lines.push_back(std::string(1000, '\0'));
    lines.push_back(std::string(1000, ' '));
    for (const auto& group : {Group::LastWord, Group::Shifted, Group::AS400}) {
        for (const auto& kind : KindsOf(group)) {
            SCOPED_TRACE(kind.name);
            auto parser = kind.make();
            for (const auto& line : lines) {
                parser->ParseLine(line);
                EXPECT_GE(parser->WordCount(), 1);
                EXPECT_LE(parser->WordCount(), TFTPDirectoryList::kMaxWords);
                for (int k = 1; k <= TFTPDirectoryList::kMaxWords; ++k)
                    EXPECT_LE(parser->Words(k).size(), TFTPDirectoryList::kMaxWordLength);
            }
            // Only the line with a space after every byte has enough words (it is cut at 25);
            // its first word is the NUL byte.
            EXPECT_EQ(parser->NameList().Count(), 1);
            EXPECT_EQ(parser->AttributeList().Count(), 1);
            EXPECT_EQ(parser->AttributeList()[0], std::string(1, '\0'));
        }
    }
}
