// Streams of bytes: the abstract stream, files in three modes, and memory. Sizes and positions are 64-bit.
#pragma once

#include <cstdint>
#include <string>

#include "platform/vcl/SysUtils.h"

namespace vcl {

class EStreamError : public Exception {
  public:
    using Exception::Exception;
};
class EFOpenError : public EStreamError {
  public:
    using EStreamError::EStreamError;
};
class EFCreateError : public EStreamError {
  public:
    using EStreamError::EStreamError;
};
class EWriteError : public EStreamError {
  public:
    using EStreamError::EStreamError;
};
class EReadError : public EStreamError {
  public:
    using EStreamError::EStreamError;
};

enum TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream {
  public:
    virtual ~TStream() = default;
    // Reads up to Count bytes; returns the bytes read (0 at the end).
    virtual std::int64_t Read(void* Buffer, std::int64_t Count) = 0;
    // Writes up to Count bytes; returns the bytes written.
    virtual std::int64_t Write(const void* Buffer, std::int64_t Count) = 0;
    virtual std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) = 0;

    std::int64_t Position() { return Seek(0, soCurrent); }
    void SetPosition(std::int64_t Value) { Seek(Value, soBeginning); }
    std::int64_t Size();
    // All of Count bytes, or EWriteError / EReadError.
    void WriteBuffer(const void* Buffer, std::int64_t Count);
    void ReadBuffer(void* Buffer, std::int64_t Count);
};

constexpr unsigned fmOpenRead = 0x0000;
constexpr unsigned fmOpenWrite = 0x0001;
constexpr unsigned fmCreate = 0xFF00;

class TFileStream : public TStream {
  public:
    // fmOpenRead and fmOpenWrite need an existing file (EFOpenError); fmCreate makes a new empty file,
    // replacing an existing one (EFCreateError).
    TFileStream(const std::string& FileName, unsigned Mode);
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;

    std::int64_t Read(void* Buffer, std::int64_t Count) override;
    std::int64_t Write(const void* Buffer, std::int64_t Count) override;
    std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) override;
    const std::string& FileName() const { return FFileName; }

  private:
    std::string FFileName;
    int FHandle = -1;
};

class TMemoryStream : public TStream {
  public:
    std::int64_t Read(void* Buffer, std::int64_t Count) override;
    std::int64_t Write(const void* Buffer, std::int64_t Count) override;
    std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) override;
    const std::string& DataString() const { return FData; }

  private:
    std::string FData;
    std::int64_t FPosition = 0;
};

}  // namespace vcl
