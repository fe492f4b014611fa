#include "vornebased/vorne_base_streams.hpp"

#include <unistd.h>

#include <algorithm>

#include "vornebased/res_keeper.hpp"
#include "vornebased/sysutils.hpp"
#include "vornebased/vorne_exception.hpp"

namespace VorneBased {
namespace {

constexpr const char* module = "vorne_base_streams";
constexpr std::int64_t copy_chunk = 61440;

}  // namespace

std::int64_t CVorneStreamImpl::GetPosition() {
    return Seek(0, 1);
}

std::int64_t CVorneStreamImpl::SetPosition(std::int64_t position) {
    return Seek(position, 0);
}

std::int64_t CVorneStreamImpl::GetSize() {
    const std::int64_t position = Seek(0, 1);
    if (position == -1) {
        return -1;
    }
    const std::int64_t size = Seek(0, 2);
    Seek(position, 0);
    return size;
}

bool CVorneStreamImpl::SetSize(std::int64_t) {
    return false;
}

std::int64_t CVorneStreamImpl::CopyFrom(IVorneStream* source, std::int64_t count) {
    return RunCStyle(module, std::int64_t{-1}, [&]() -> std::int64_t {
        if (count < 0) {
            Raise(error::bad_argument, "Count can't be less than zero", module);
        }
        if (source == nullptr) {
            Raise(error::bad_pointer, "Bad pointer", module);
        }
        if (count == 0) {
            if (source->SetPosition(0) == -1 || (count = source->GetSize()) == -1) {
                RaiseLastError(module);
            }
        }
        res_keeper buffer(static_cast<std::size_t>(std::min(count, copy_chunk)));
        auto* bytes = static_cast<char*>(buffer.get());
        for (std::int64_t remaining = count; remaining > 0;) {
            const int got = source->Read(bytes, static_cast<int>(std::min(remaining, copy_chunk)));
            if (got == -1) {
                RaiseLastError(module);
            }
            if (got == 0) {
                Raise(error::end_of_file, "End of file", module);
            }
            for (int written = 0; written < got;) {
                const int put = Write(bytes + written, got - written);
                if (put == -1) {
                    RaiseLastError(module);
                }
                if (put == 0) {
                    Raise(error::unknown, "Unknown exception", module);
                }
                written += put;
            }
            remaining -= got;
        }
        GetVorneException()->Clear();
        return count;
    });
}

bool CVorneStreamImpl::Reserved8() {
    return false;
}

void CVorneStreamImpl::Release() {
    GetVorneException()->Clear();
    delete this;
}

CHandleStream::CHandleStream(int handle) : handle_(handle) {
    if (handle < 0) {
        Raise(error::bad_argument, "CHandleStream::CHandleStream: bad file handle", module);
    }
}

bool CHandleStream::SetSize(std::int64_t size) {
    const bool resized = RunCStyle(module, false, [&] {
        if (Seek(size, 0) == -1) {
            Raise(error::system, "Stream Size less than Seek", module);
        }
        if (!file_set_current_end(handle_)) {
            RaiseLastError(module);
        }
        return true;
    });
    file_seek(handle_, 0, 0);
    eof_ = false;
    return resized;
}

int CHandleStream::Read(void* buffer, int count) {
    const int got = file_read(handle_, buffer, count);
    if (got == -1 && GetVorneException()->GetCode() == error::end_of_file) {
        eof_ = true;
    }
    return got;
}

int CHandleStream::Write(const void* buffer, int count) {
    eof_ = false;
    return file_write(handle_, buffer, count);
}

std::int64_t CHandleStream::Seek(std::int64_t offset, int origin) {
    eof_ = false;
    return file_seek(handle_, offset, origin);
}

bool CHandleStream::IsEof() {
    return eof_;
}

int CHandleStream::GetHandle() {
    GetVorneException()->Clear();
    return handle_;
}

namespace {

int OpenOrThrow(const char* name, std::uint16_t mode) {
    const int handle = file_open(name, mode);
    if (handle == invalid_handle) {
        RaiseLastError(module);
    }
    return handle;
}

}  // namespace

CFileStream::CFileStream(const char* name, std::uint16_t mode)
    : CHandleStream(OpenOrThrow(name, mode)) {}

// Closed without file_close's clearing of the last error: a stream that
// goes out of scope right after a failed call must not wipe its reason.
CFileStream::~CFileStream() {
    ::close(handle());
}

}  // namespace VorneBased
