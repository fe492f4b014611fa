#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "platform/testing/test_support.hpp"
#include "vornebased/tests/test_helpers.hpp"
#include "vornebased/vorne_base_streams.hpp"
#include "vornebased/vorne_exception.hpp"

namespace {

using namespace VorneBased;
using platform::testing::read_file;
using platform::testing::temp_dir;
using platform::testing::write_file;
using vornebased_testing::LastCode;
using vornebased_testing::LastMessage;
using vornebased_testing::Pattern;

// A destination that keeps what it is given and how it was cut.
class recording_stream : public CVorneStreamImpl {
  public:
    int Read(void*, int) override { return -1; }
    int Write(const void* buffer, int count) override {
        writes.push_back(count);
        data.append(static_cast<const char*>(buffer), static_cast<std::size_t>(count));
        return count;
    }
    std::int64_t Seek(std::int64_t, int) override { return static_cast<std::int64_t>(data.size()); }
    bool IsEof() override { return false; }

    std::vector<int> writes;
    std::string data;
};

// A pipe that holds at most one page, so that every read of a larger count
// comes back short; the writer feeds it from a thread and then closes it.
class small_pipe {
  public:
    explicit small_pipe(std::string content) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe");
        }
        read_end_ = ends[0];
        ::fcntl(ends[1], F_SETPIPE_SZ, 4096);
        writer_ = std::thread([fd = ends[1], content = std::move(content)] {
            for (std::size_t at = 0; at < content.size();) {
                const ssize_t put = ::write(fd, content.data() + at, content.size() - at);
                if (put <= 0) {
                    break;
                }
                at += static_cast<std::size_t>(put);
            }
            ::close(fd);
        });
    }
    ~small_pipe() {
        ::close(read_end_);
        writer_.join();
    }
    int read_end() const { return read_end_; }

  private:
    int read_end_ = -1;
    std::thread writer_;
};

TEST(HandleStream, ReadsToTheEndAndReportsItUntilASeek) {
    temp_dir dir;
    const std::string path = (dir / "ten.bin").string();
    write_file(path, "0123456789");
    CFileStream stream(path.c_str(), 0);
    char buffer[16];
    EXPECT_EQ(stream.Seek(3, 0), 3);
    EXPECT_EQ(stream.GetSize(), 10);
    EXPECT_EQ(stream.GetPosition(), 3) << "GetSize leaves the position";
    EXPECT_EQ(stream.SetPosition(0), 0);

    EXPECT_EQ(stream.Read(buffer, 16), 10);
    EXPECT_FALSE(stream.IsEof());
    EXPECT_EQ(stream.Read(buffer, 16), -1);
    EXPECT_EQ(LastCode(), error::end_of_file);
    EXPECT_TRUE(stream.IsEof());
    EXPECT_EQ(stream.Seek(0, 1), 10);
    EXPECT_FALSE(stream.IsEof()) << "a seek clears the end";

    EXPECT_EQ(stream.Read(buffer, -1), -1);
    EXPECT_EQ(LastCode(), error::bad_argument);
    EXPECT_EQ(LastMessage(), "Count can't be less than zero");
    EXPECT_EQ(stream.Write(buffer, -5), -1);
    EXPECT_EQ(LastCode(), error::bad_argument);
    EXPECT_FALSE(stream.Reserved8());

    try {
        CHandleStream bad(-1);
        FAIL() << "an invalid handle made a stream";
    } catch (const CBaseException& e) {
        EXPECT_EQ(e.GetCode(), error::bad_argument);
        EXPECT_STREQ(e.GetMessage(), "CHandleStream::CHandleStream: bad file handle");
    }
}

TEST(HandleStream, SetSizeShrinksGrowsAndRewinds) {
    temp_dir dir;
    const std::string path = (dir / "sized.bin").string();
    write_file(path, "0123456789");
    CFileStream stream(path.c_str(), 2);
    EXPECT_EQ(stream.Seek(7, 0), 7);
    EXPECT_TRUE(stream.SetSize(4));
    EXPECT_EQ(stream.GetPosition(), 0);
    EXPECT_EQ(stream.GetSize(), 4);
    EXPECT_TRUE(stream.SetSize(100));
    EXPECT_EQ(stream.GetSize(), 100);
    EXPECT_EQ(read_file(path), "0123" + std::string(96, '\0'));

    EXPECT_EQ(stream.Seek(50, 0), 50);
    EXPECT_FALSE(stream.SetSize(-1));
    EXPECT_EQ(LastCode(), error::system);
    EXPECT_EQ(LastMessage(), "Stream Size less than Seek");
    EXPECT_EQ(stream.GetPosition(), 0) << "rewound on failure as well";
    EXPECT_EQ(stream.GetSize(), 100);

    CFileStream read_only(path.c_str(), 0);
    EXPECT_FALSE(read_only.SetSize(10));
    EXPECT_EQ(LastCode(), error::system);
    EXPECT_EQ(read_file(path).size(), 100u);

    recording_stream plain;
    EXPECT_FALSE(plain.SetSize(10)) << "a stream that cannot be sized says so";
}

TEST(HandleStream, PositionsAndSizesAbove4GiB) {
    temp_dir dir;
    const std::string path = (dir / "sparse.bin").string();
    constexpr std::int64_t gib = std::int64_t{1} << 30;
    CFileStream stream(path.c_str(), 0xFFFF);
    ASSERT_TRUE(stream.SetSize(5 * gib)) << LastMessage();
    EXPECT_EQ(stream.GetSize(), 5 * gib);
    EXPECT_EQ(stream.SetPosition(4 * gib + 10), 4 * gib + 10);
    EXPECT_EQ(stream.Write("above", 5), 5);
    EXPECT_EQ(stream.GetPosition(), 4 * gib + 15);
    EXPECT_EQ(stream.Seek(-5, 1), 4 * gib + 10);
    char buffer[5];
    EXPECT_EQ(stream.Read(buffer, 5), 5);
    EXPECT_EQ(std::string(buffer, 5), "above");
    EXPECT_EQ(stream.GetSize(), 5 * gib);
    EXPECT_EQ(stream.Seek(-1, 2), 5 * gib - 1);
}

TEST(CopyFrom, WholeSourceInChunksOf61440) {
    temp_dir dir;
    const std::string path = (dir / "source.bin").string();
    const std::string content = Pattern(100000);
    write_file(path, content);
    CFileStream source(path.c_str(), 0);
    EXPECT_EQ(source.Seek(500, 0), 500);
    recording_stream destination;
    EXPECT_EQ(destination.CopyFrom(&source, 0), 100000);
    EXPECT_EQ(destination.writes, (std::vector<int>{61440, 38560}));
    EXPECT_EQ(destination.data, content) << "count 0 copies from the beginning";

    recording_stream part;
    EXPECT_EQ(source.SetPosition(10), 10);
    EXPECT_EQ(part.CopyFrom(&source, 20), 20);
    EXPECT_EQ(part.data, content.substr(10, 20));
}

TEST(CopyFrom, AShortReadingSourceIsCopiedExactly) {
    const std::string content = Pattern(100000);
    small_pipe pipe(content);
    CHandleStream source(pipe.read_end());
    recording_stream destination;
    EXPECT_EQ(destination.CopyFrom(&source, 100000), 100000) << LastMessage();
    EXPECT_EQ(destination.data, content);
    EXPECT_GT(destination.writes.size(), 2u) << "the pipe gave short reads";
    for (const int written : destination.writes) {
        EXPECT_LE(written, 4096);
    }
}

TEST(CopyFrom, ASourceThatEndsEarlyFailsAfterWritingOnlyWhatItGave) {
    temp_dir dir;
    const std::string path = (dir / "copy.bin").string();
    const std::string content = Pattern(5000);
    {
        small_pipe pipe(content);
        CHandleStream source(pipe.read_end());
        CFileStream destination(path.c_str(), 0xFFFF);
        GetVorneException()->Clear();
        EXPECT_EQ(destination.CopyFrom(&source, 10000), -1);
        EXPECT_EQ(LastCode(), error::end_of_file);
        EXPECT_EQ(LastMessage(), "End of file");
    }
    EXPECT_EQ(read_file(path), content);
}

TEST(CopyFrom, RefusesBadArguments) {
    recording_stream destination;
    temp_dir dir;
    const std::string path = (dir / "x.bin").string();
    write_file(path, "x");
    CFileStream source(path.c_str(), 0);
    EXPECT_EQ(destination.CopyFrom(&source, -1), -1);
    EXPECT_EQ(LastCode(), error::bad_argument);
    EXPECT_EQ(LastMessage(), "Count can't be less than zero");
    EXPECT_EQ(destination.CopyFrom(nullptr, 1), -1);
    EXPECT_EQ(LastCode(), error::bad_pointer);
    EXPECT_EQ(destination.data, "");
}

TEST(FileStream, ReleaseEndsAHeapStreamAndClosesItsFile) {
    temp_dir dir;
    const std::string path = (dir / "released.bin").string();
    int handle;
    {
        stream_ptr stream(std::make_unique<CFileStream>(path.c_str(), 0xFFFF).release());
        handle = static_cast<CHandleStream&>(*stream).GetHandle();
        EXPECT_EQ(stream->Write("kept", 4), 4);
    }
    EXPECT_EQ(::fcntl(handle, F_GETFD), -1) << "the handle is closed";
    EXPECT_EQ(read_file(path), "kept");
}

}  // namespace
