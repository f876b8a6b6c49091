#include <gtest/gtest.h>

#include "net/psock/Psock.h"

using Psock::NthPos;
using Psock::NthWord;

TEST(NthWord, FieldsCutAtSingleDelimiters) {
    struct Case {
        const char* text;
        char delimiter;
        int n;
        const char* want;
    } cases[] = {
        {"a,b,,d", ',', 1, "a"},
        {"a,b,,d", ',', 2, "b"},
        {"a,b,,d", ',', 3, ""},  // two delimiters in a row enclose an empty field
        {"a,b,,d", ',', 4, "d"},
        {"a,b,,d", ',', 5, ""},
        {"a,b,,d", ',', 0, ""},
        {"a,b,,d", ',', -1, ""},
        {"", ',', 1, ""},
        {",a", ',', 1, ""},  // a leading delimiter makes the first field empty
        {",a", ',', 2, "a"},
        {"227 Entering Passive Mode (127,0,0,1,4,1)", ' ', 1, "227"},
        {"227 Entering Passive Mode (127,0,0,1,4,1)", ' ', 2, "Entering"},
        {"257  \"/x\"", ' ', 2, ""},
        {"nodelimiter", ' ', 1, "nodelimiter"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(NthWord(c.text, c.delimiter, c.n), c.want) << '"' << c.text << "\" field " << c.n;
}

TEST(NthPos, PositionOfTheNthDelimiter) {
    struct Case {
        const char* text;
        int n;
        int want;
    } cases[] = {
        {"a,b,,d", 1, 2}, {"a,b,,d", 2, 4},
        {"a,b,,d", 3, 5}, {"a,b,,d", 4, 7},  // fewer delimiters than asked: length + 1
        {"", 1, 1},       {"a,", 1, 3},      // the delimiter is the last character: length + 1
        {"a,b", 0, 4},
    };
    for (const auto& c : cases)
        EXPECT_EQ(NthPos(c.text, ',', c.n), c.want) << '"' << c.text << "\" n " << c.n;
}
