#include "platform/vcl/Streams.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vcl {

std::int64_t TStream::Size() {
    const std::int64_t here = Seek(0, soCurrent);
    const std::int64_t size = Seek(0, soEnd);
    Seek(here, soBeginning);
    return size;
}

void TStream::WriteBuffer(const void* Buffer, std::int64_t Count) {
    if (Count != 0 && Write(Buffer, Count) != Count) throw EWriteError("Erreur d'écriture dans le flux");
}

void TStream::ReadBuffer(void* Buffer, std::int64_t Count) {
    if (Count != 0 && Read(Buffer, Count) != Count) throw EReadError("Erreur de lecture du flux");
}

TFileStream::TFileStream(const std::string& FileName, unsigned Mode) : FFileName(FileName) {
    if (Mode == fmCreate) {
        FHandle = ::open(FileName.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (FHandle < 0)
            throw EFCreateError("Impossible de créer le fichier \"" + FileName +
                                "\" : " + std::strerror(errno));
    } else {
        FHandle = ::open(FileName.c_str(), ((Mode & 3) == fmOpenWrite ? O_WRONLY : O_RDONLY) | O_CLOEXEC);
        if (FHandle >= 0) {
            struct stat st {};
            if (::fstat(FHandle, &st) == 0 && S_ISDIR(st.st_mode)) {
                ::close(FHandle);
                FHandle = -1;
                errno = EISDIR;
            }
        }
        if (FHandle < 0)
            throw EFOpenError("Impossible d'ouvrir le fichier \"" + FileName +
                              "\" : " + std::strerror(errno));
    }
}

TFileStream::~TFileStream() {
    if (FHandle >= 0) ::close(FHandle);
}

std::int64_t TFileStream::Read(void* Buffer, std::int64_t Count) {
    std::int64_t done = 0;
    while (done < Count) {
        const ssize_t n =
            ::read(FHandle, static_cast<char*>(Buffer) + done, static_cast<std::size_t>(Count - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += n;
    }
    return done;
}

std::int64_t TFileStream::Write(const void* Buffer, std::int64_t Count) {
    std::int64_t done = 0;
    while (done < Count) {
        const ssize_t n =
            ::write(FHandle, static_cast<const char*>(Buffer) + done, static_cast<std::size_t>(Count - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += n;
    }
    return done;
}

std::int64_t TFileStream::Seek(std::int64_t Offset, TSeekOrigin Origin) {
    const int whence = Origin == soBeginning ? SEEK_SET : Origin == soCurrent ? SEEK_CUR : SEEK_END;
    return ::lseek(FHandle, Offset, whence);
}

std::int64_t TMemoryStream::Read(void* Buffer, std::int64_t Count) {
    const std::int64_t size = static_cast<std::int64_t>(FData.size());
    const std::int64_t n = std::clamp<std::int64_t>(size - FPosition, 0, Count);
    if (n > 0) std::memcpy(Buffer, FData.data() + FPosition, static_cast<std::size_t>(n));
    FPosition += n;
    return n;
}

std::int64_t TMemoryStream::Write(const void* Buffer, std::int64_t Count) {
    if (Count <= 0) return 0;
    const auto end = static_cast<std::size_t>(FPosition + Count);
    if (end > FData.size()) FData.resize(end);
    std::memcpy(FData.data() + FPosition, Buffer, static_cast<std::size_t>(Count));
    FPosition += Count;
    return Count;
}

std::int64_t TMemoryStream::Seek(std::int64_t Offset, TSeekOrigin Origin) {
    const std::int64_t base = Origin == soBeginning ? 0
                              : Origin == soCurrent ? FPosition
                                                    : static_cast<std::int64_t>(FData.size());
    FPosition = std::max<std::int64_t>(0, base + Offset);
    return FPosition;
}

}  // namespace vcl
