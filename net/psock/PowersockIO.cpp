// TPowersock line and buffer input and output. Every read peeks first and then takes exactly the bytes it
// returns, so whatever follows stays waiting in the socket for the next operation.
#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "net/psock/Powersock.h"
#include "net/psock/TimerGuard.h"

namespace Psock {

using namespace winsock;

namespace {

// ReadLn looks at a small window first and widens it while no line end shows, so that a short line does not
// cost a copy of the whole buffer.
constexpr std::size_t kFirstPeek = 256;

}  // namespace

void TPowersock::SendBuffer(const char* Value, std::uint32_t BufLen) {
    StatusMessage(4, "Envoi du tampon");
    TimerGuard timer(*this);
    if (!FCanceled) {
        const std::size_t length = BufLen != 0 ? BufLen : std::strlen(Value);
        std::size_t remaining = length;
        do {
            const int chunk = static_cast<int>(std::min<std::size_t>(remaining, INT_MAX));
            const int sent = winsock::send(FSocket, Value + (length - remaining), chunk, 0);
            if (sent == 0) break;
            if (sent == SOCKET_ERROR) {
                ErrorManager(WSAEWOULDBLOCK);
                // Full socket: let messages through, so that a time-out or a cancel can end the wait.
                IdleWait(true);
            } else {
                remaining -= static_cast<std::size_t>(sent);
            }
        } while (remaining > 0 && !FCanceled);
    }
    if (FCanceled) {
        FCanceled = false;
        throw EAbortError("Envoi de Socket abandonné");
    }
}

void TPowersock::Write(const std::string& Str) {
    StatusMessage(8, "Ecriture");
    // Sent up to its first zero character, like the zero-terminated copy it stands for.
    SendBuffer(Str.c_str(), 0);
}

void TPowersock::Writeln(const std::string& Str) {
    StatusMessage(8, "Writeln");
    Write(Str + "\r\n");
}

std::string TPowersock::Read(std::uint32_t Value) {
    StatusMessage(8, "Read( " + std::to_string(Value) + " )");
    std::size_t count = Value;
    if (count == 0) {
        const int n = recv(FSocket, FSockBuffer.get(), kSockBufferSize, MSG_PEEK);
        if (n == SOCKET_ERROR) {
            ErrorManager(WSAEWOULDBLOCK);
            return "";
        }
        if (n == 0) return "";
        count = static_cast<std::size_t>(n);
    } else {
        // Counts beyond the buffer are peeked into a scratch area of their own.
        std::vector<char> large(count > kSockBufferSize ? count : 0);
        char* window = count > kSockBufferSize ? large.data() : FSockBuffer.get();
        const int windowSize = static_cast<int>(std::max<std::size_t>(count, kSockBufferSize));
        do {
            const int n = recv(FSocket, window, windowSize, MSG_PEEK);
            if (n > 0 && static_cast<std::size_t>(n) >= count) break;
            if (n == 0) return "";
            if (n == SOCKET_ERROR) ErrorManager(WSAEWOULDBLOCK);
            IdleWait(true);
        } while (!FCanceled);
    }
    if (FCanceled) {
        FCanceled = false;
        throw EAbortError("Envoi de Socket abandonné");
    }
    std::string result(count, '\0');
    std::size_t got = 0;
    while (got < count) {
        const int n = recv(FSocket, result.data() + got,
                           static_cast<int>(std::min<std::size_t>(count - got, INT_MAX)), 0);
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    result.resize(got);
    return result;
}

std::string TPowersock::ReadLn() {
    StatusMessage(8, "ReadLn");
    std::string result;
    std::size_t taken = 0;
    std::size_t lineEnd = 0;
    std::size_t window = kFirstPeek;
    TimerGuard timer(*this);
    char* buffer = FSockBuffer.get();
    do {
        const std::size_t room = kSockBufferSize - taken;
        if (room == 0)
            throw ESockError("Ligne trop longue : plus de " + std::to_string(kSockBufferSize) +
                             " octets sans fin de ligne");
        const std::size_t ask = std::min(room, window);
        const int n = recv(FSocket, buffer + taken, static_cast<int>(ask), MSG_PEEK);
        if (n == 0) return "";
        bool wouldBlock = false;
        if (n == SOCKET_ERROR) {
            FLastErrorNo = WSAGetLastError();
            if (FLastErrorNo == WSAENOTCONN) return "";
            ErrorManager(WSAEWOULDBLOCK);
            wouldBlock = true;
        } else {
            const char* found =
                static_cast<const char*>(std::memchr(buffer + taken, '\n', static_cast<std::size_t>(n)));
            if (found) {
                lineEnd = static_cast<std::size_t>(found - buffer);
                break;
            }
            if (static_cast<std::size_t>(n) == ask && ask < room) {
                window *= 16;  // more may be waiting: look further before taking anything
                continue;
            }
            // Everything waiting belongs to this line: take it and wait for the rest.
            const int got = recv(FSocket, buffer + taken, n, 0);
            if (got > 0) {
                result.append(buffer + taken, static_cast<std::size_t>(got));
                taken += static_cast<std::size_t>(got);
            }
            wouldBlock = static_cast<std::size_t>(n) < ask;
        }
        IdleWait(wouldBlock);
    } while (!FCanceled);
    if (FCanceled) {
        FCanceled = false;
        throw EAbortError("ReadLn de Socket abandonnée");
    }
    const int rest = static_cast<int>(lineEnd + 1 - taken);
    const int got = recv(FSocket, buffer + taken, rest, 0);
    if (got > 0) result.append(buffer + taken, static_cast<std::size_t>(got));
    return result;
}

std::int16_t TPowersock::ReplyCodeOf(const std::string& line) {
    std::int64_t value = 0;
    std::size_t digits = 0;
    while (digits < line.size() && digits < 10 && line[digits] >= '0' && line[digits] <= '9')
        value = value * 10 + (line[digits++] - '0');
    // A number that a reply code cannot hold is no reply code.
    return digits == 0 || value > 32767 ? 0 : static_cast<std::int16_t>(value);
}

std::string TPowersock::Transaction(const std::string& CommandString) {
    StatusMessage(8, "Transaction");
    FReplyCode = 0;
    Writeln(CommandString);
    FLastReply = ReadLn();
    if (!FLastReply.empty()) {
        StatusMessage(1, FLastReply);
        FReplyCode = ReplyCodeOf(FLastReply);
    }
    return FLastReply;
}

bool TPowersock::DataAvailable() {
    StatusMessage(8, "Données disponibles");
    char one;
    return recv(FSocket, &one, 1, MSG_PEEK) == 1;
}

void TPowersock::ClearInput() {
    StatusMessage(8, "Effacement de l'entrée");
    std::vector<char> scratch(kSockBufferSize);
    recv(FSocket, scratch.data(), kSockBufferSize, 0);
}

std::string NthWord(const std::string& InputString, char Delimiter, std::int32_t Number) {
    std::string result;
    std::int32_t count = 0;
    for (char c : InputString) {
        if (c == Delimiter) {
            if (++count == Number) break;
        } else if (count == Number - 1) {
            result += c;
        }
    }
    return result;
}

std::int32_t NthPos(const std::string& InputString, char Delimiter, std::int32_t Number) {
    const auto length = static_cast<std::int32_t>(InputString.size());
    std::int32_t count = 0;
    for (std::int32_t pos = 1; pos <= length; ++pos) {
        if (InputString[static_cast<std::size_t>(pos - 1)] == Delimiter && ++count == Number)
            return pos == length ? length + 1 : pos;
    }
    return length + 1;
}

}  // namespace Psock
