// The port of a "PASV" reply, with the replies that fuzzing turned up.
#include <gtest/gtest.h>

#include <string>

#include "net/ftp/NMFtp.h"

using NMFtp::TNMFTP;

TEST(PasvReply, PortFromTheLastTwoPieces) {
    struct Case {
        std::string reply;
        std::int32_t port;
    };
    const Case cases[] = {
        {"227 Entering Passive Mode (10,0,0,7,19,137)\r\n", 19 * 256 + 137},
        {"227 Entering Passive Mode (127,0,0,1,255,255).\r\n", 65535},
        {"227 Entering passive mode (127,0,0,1,117,52)\r\n", 117 * 256 + 52},
        // Pieces beyond a byte wrap at 32 bits instead of overflowing; the connect keeps the low 16 bits.
        {"227 (1,2,3,4,16777216,5)", 5},
        {"227 (1,2,3,4,16777217,5)", 256 + 5},
        {"227 (1,2,3,4,-1,0)", -256},
        // The first input of the pasv_reply fuzz target that overflowed (fuzz/corpus/pasv_reply).
        {",\x0c,,,60400014,232),,1", -1717465368},
    };
    for (const auto& c : cases) EXPECT_EQ(TNMFTP::PasvPort(c.reply), c.port) << c.reply;
}

TEST(PasvReply, PiecesThatAreNoNumbersRaiseTheConversionError) {
    for (const char* reply : {"227 =10,0,0,7,19,137", "425 Cannot open data connection",
                              "227 (10,0,0,7,x,137)", "227 (10,0,0,7,19,99999999999)", ""})
        EXPECT_THROW(TNMFTP::PasvPort(reply), vcl::EConvertError) << reply;
}
