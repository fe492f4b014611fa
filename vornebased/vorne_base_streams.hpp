#pragma once

#include <cstdint>
#include <memory>

// Positioned 64-bit reading and writing of files. Stream operations follow
// the C-style convention (see vorne_exception.hpp); only the constructors
// throw.
namespace VorneBased {

class IVorneStream {
  public:
    virtual std::int64_t GetPosition() = 0;
    virtual std::int64_t SetPosition(std::int64_t position) = 0;
    virtual std::int64_t GetSize() = 0;
    virtual bool SetSize(std::int64_t size) = 0;
    // The bytes read, or -1; the end of the data is -1 with
    // error::end_of_file, never 0 bytes.
    virtual int Read(void* buffer, int count) = 0;
    virtual int Write(const void* buffer, int count) = 0;
    // `origin`: 0 from the beginning, 1 from the current position, 2 from
    // the end. The new position, or -1.
    virtual std::int64_t Seek(std::int64_t offset, int origin) = 0;
    // Copies `count` bytes from the source's position to this stream's, or
    // the whole source for 0. The count copied, or -1.
    virtual std::int64_t CopyFrom(IVorneStream* source, std::int64_t count) = 0;
    virtual bool Reserved8() = 0;
    virtual bool IsEof() = 0;
    // Clears the last error and ends a stream that was made on the heap.
    virtual void Release() = 0;
    virtual ~IVorneStream() = default;
};

// Holds a heap stream and releases it at the end of the scope.
struct release_stream {
    void operator()(IVorneStream* stream) const { stream->Release(); }
};
using stream_ptr = std::unique_ptr<IVorneStream, release_stream>;

// The generic operations, on top of Read, Write, Seek and IsEof.
class CVorneStreamImpl : public IVorneStream {
  public:
    CVorneStreamImpl() = default;
    CVorneStreamImpl(const CVorneStreamImpl&) = delete;
    CVorneStreamImpl& operator=(const CVorneStreamImpl&) = delete;

    std::int64_t GetPosition() override;
    std::int64_t SetPosition(std::int64_t position) override;
    // Leaves the position where it was.
    std::int64_t GetSize() override;
    bool SetSize(std::int64_t size) override;
    // Writes exactly what each read gave; a source that ends before `count`
    // bytes fails the copy with its end-of-file error.
    std::int64_t CopyFrom(IVorneStream* source, std::int64_t count) override;
    bool Reserved8() override;
    void Release() override;
};

// A stream over an open descriptor that someone else owns.
class CHandleStream : public CVorneStreamImpl {
  public:
    // Throws error::bad_argument for an invalid descriptor.
    explicit CHandleStream(int handle);

    bool SetSize(std::int64_t size) override;
    int Read(void* buffer, int count) override;
    int Write(const void* buffer, int count) override;
    std::int64_t Seek(std::int64_t offset, int origin) override;
    bool IsEof() override;
    virtual int GetHandle();

  protected:
    int handle() const { return handle_; }

  private:
    int handle_;
    bool eof_ = false;
};

// A stream that opens a file by its UTF-8 name (file_open's mode word) and
// closes it when destroyed.
class CFileStream : public CHandleStream {
  public:
    // Throws the open's error.
    CFileStream(const char* name, std::uint16_t mode);
    ~CFileStream() override;
};

}  // namespace VorneBased
