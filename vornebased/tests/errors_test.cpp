#include <gtest/gtest.h>
#include <unistd.h>

#include <barrier>
#include <functional>
#include <source_location>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/testing/test_support.hpp"
#include "vornebased/sysutils.hpp"
#include "vornebased/vorne_base_streams.hpp"
#include "vornebased/vorne_exception.hpp"

namespace {

using namespace VorneBased;
using platform::testing::temp_dir;
using platform::testing::write_file;

struct record {
    int code;
    std::string message;
    std::string file;
    int line;
};

record Read(const IVorneException& e) {
    int line = -1;
    std::string file = e.GetFile(line);
    return {e.GetCode(), e.GetMessage(), file, line};
}

record LastError() {
    return Read(*GetVorneException());
}

void ExpectRecord(const record& actual, const record& expected, const std::string& label) {
    EXPECT_EQ(actual.code, expected.code) << label;
    EXPECT_EQ(actual.message, expected.message) << label;
    EXPECT_EQ(actual.file, expected.file) << label;
    EXPECT_EQ(actual.line, expected.line) << label;
}

TEST(CStyleCall, WhateverTheBodyThrowsBecomesTheLastErrorAndTheFailureResult) {
    const auto call_site = std::source_location::current();
    const auto raise_site = std::source_location::current();
    const int call_line = static_cast<int>(call_site.line());
    struct thrower_case {
        const char* name;
        std::function<int()> body;
        record expected;
    } cases[] = {
        {"library error",
         [&]() -> int { Raise(error::bad_pointer, "Bad pointer", "inner_module", raise_site); },
         {error::bad_pointer, "Bad pointer", "inner_module", static_cast<int>(raise_site.line())}},
        {"standard exception",
         []() -> int { throw std::runtime_error("disk on fire"); },
         {error::standard_exception, "disk on fire", "outer_module", call_line}},
        {"standard exception without text",
         []() -> int { throw std::bad_alloc(); },
         {error::standard_exception, std::bad_alloc().what(), "outer_module", call_line}},
        {"anything else",
         []() -> int { throw 42; },
         {error::unknown, "Unknown exception", "outer_module", call_line}},
    };
    for (const auto& c : cases) {
        GetVorneException()->Clear();
        EXPECT_EQ(RunCStyle("outer_module", -1, c.body, call_site), -1) << c.name;
        ExpectRecord(LastError(), c.expected, c.name);
    }
}

TEST(CStyleCall, ASuccessReturnsTheBodysResultAndLeavesTheLastError) {
    GetVorneException()->Set(error::unknown, "earlier", 12, "elsewhere");
    EXPECT_EQ(RunCStyle("m", -1, [] { return 7; }), 7);
    ExpectRecord(LastError(), {error::unknown, "earlier", "elsewhere", 12}, "after success");
}

class LastErrorConvention : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = (dir_ / "ten.bin").string();
        write_file(path_, "0123456789");
    }

    temp_dir dir_;
    std::string path_;
};

TEST_F(LastErrorConvention, OnlyTheCallsThatClearOnSuccessForgetAnEarlierFailure) {
    char buffer[16];
    // The sequence every caller relies on: the last error is consulted only
    // after a failure result.
    EXPECT_EQ(file_read(0, nullptr, 4), -1);
    EXPECT_EQ(LastError().code, error::bad_pointer);
    EXPECT_EQ(LastError().message, "Bad pointer");
    EXPECT_EQ(LastError().file, "sysutils");

    const int handle = file_open(path_.c_str(), 0);
    ASSERT_NE(handle, invalid_handle);
    EXPECT_EQ(LastError().code, 0);
    EXPECT_EQ(LastError().message, "");

    EXPECT_EQ(file_read(handle, nullptr, 4), -1);
    EXPECT_EQ(file_read(handle, buffer, 4), 4);
    EXPECT_EQ(LastError().code, error::bad_pointer);
    ASSERT_TRUE(file_close(handle));

    // Everything a call needs is opened beforehand: opening clears as well.
    const std::string written = (dir_ / "written.bin").string();
    write_file(written, "");
    CFileStream ten(path_.c_str(), 0);
    CFileStream out(written.c_str(), 2);
    const int ten_handle = ten.GetHandle();
    const int out_handle = out.GetHandle();
    const int to_close = file_open(path_.c_str(), 0);
    IVorneStream* to_release = std::make_unique<CFileStream>(path_.c_str(), 0).release();
    // Closes what the calls open without touching the last error.
    struct handle_owner {
        int handle = invalid_handle;
        bool adopt(int h) {
            close();
            handle = h;
            return h != invalid_handle;
        }
        void close() {
            if (handle != invalid_handle) {
                ::close(handle);
            }
            handle = invalid_handle;
        }
        ~handle_owner() { close(); }
    } owned;
    const std::string created = (dir_ / "created.bin").string();
    std::string value;
    struct success_case {
        const char* name;
        std::function<bool()> call;
        bool clears;
    } cases[] = {
        {"file_open", [&] { return owned.adopt(file_open(path_.c_str(), 0)); }, true},
        {"file_create", [&] { return owned.adopt(file_create(created.c_str())); }, true},
        {"file_close", [&] { return file_close(to_close); }, true},
        {"file_read", [&] { return file_read(ten_handle, buffer, 4) == 4; }, false},
        {"file_write", [&] { return file_write(out_handle, "ab", 2) == 2; }, false},
        {"file_seek", [&] { return file_seek(out_handle, 1, 0) == 1; }, false},
        {"file_set_current_end", [&] { return file_set_current_end(out_handle); }, false},
        {"get_environment_variable", [&] { return get_environment_variable("PATH", value); },
         false},
        {"stream Write, Seek, GetSize",
         [&] { return out.Write("xyz", 3) == 3 && out.Seek(0, 0) == 0 && out.GetSize() == 4; },
         false},
        {"stream Read", [&] { return ten.Read(buffer, 3) == 3; }, false},
        {"CopyFrom", [&] { return out.CopyFrom(&ten, 0) == 10; }, true},
        {"GetHandle", [&] { return ten.GetHandle() == ten_handle; }, true},
        {"Release",
         [&] {
             to_release->Release();
             return true;
         },
         true},
    };
    for (const auto& c : cases) {
        GetVorneException()->Set(error::unknown, "sentinel", 1, "test");
        ASSERT_TRUE(c.call()) << c.name;
        EXPECT_EQ(LastError().code, c.clears ? 0 : error::unknown) << c.name;
    }
}

TEST_F(LastErrorConvention, ThrowingLayerRaisesACopyOfTheLastError) {
    const std::string missing = (dir_ / "missing.bin").string();
    try {
        CFileStream stream(missing.c_str(), 0);
        FAIL() << "a missing file opened";
    } catch (const CBaseException& e) {
        const record thrown = Read(e);
        ExpectRecord(thrown, LastError(), "the stream's open");
        EXPECT_EQ(thrown.code, error::system);
        EXPECT_EQ(thrown.message, "file_open error: 2 No such file or directory");
        EXPECT_EQ(std::string(e.what()), thrown.message);
        EXPECT_EQ(std::string(e.GetText()), thrown.message);
    }

    GetVorneException()->Set(error::end_of_file, "End of file", 99, "vorne_base_streams");
    try {
        RaiseLastError("m");
        FAIL() << "nothing was raised";
    } catch (const CBaseException& e) {
        // A copy: what happens to the last error afterwards does not reach it.
        GetVorneException()->Set(error::unknown, "later", 1, "elsewhere");
        ExpectRecord(Read(e), {error::end_of_file, "End of file", "vorne_base_streams", 99},
                     "raised copy");
    }

    // A failure that left no reason is still raised, never passed as success.
    GetVorneException()->Clear();
    EXPECT_THROW(RaiseLastError("m"), CBaseException);
}

TEST(ErrorRecord, SetClearAndAssignKeepTheRecordWhole) {
    CBaseException e(error::bad_argument, nullptr, 17, nullptr);
    ExpectRecord(Read(e), {error::bad_argument, "", "", 17}, "null texts");

    e.Set(error::system, "Connect failed", 42, "mhttp");
    e.Assign(e);
    ExpectRecord(Read(e), {error::system, "Connect failed", "mhttp", 42}, "assigned to itself");

    e.Clear();
    ExpectRecord(Read(e), {0, "", "mhttp", 42}, "cleared keeps where");

    CBaseException other(error::end_of_file, "End of file", 7, "sysutils");
    e.Assign(other);
    ExpectRecord(Read(e), Read(other), "assigned");
    const CBaseException from_interface(static_cast<const IVorneException&>(other));
    ExpectRecord(Read(from_interface), Read(other), "made from the interface");
}

TEST(ErrorRecord, EachThreadHasALastErrorOfItsOwn) {
    std::barrier both_set(2);
    std::barrier both_read(2);
    // What each thread read in its first round that went wrong, else in its
    // last round.
    record seen[2];
    const auto worker = [&](int index) {
        const int code = index == 0 ? error::bad_pointer : error::end_of_file;
        const std::string message = "thread " + std::to_string(index);
        bool wrong = false;
        for (int round = 0; round < 100; ++round) {
            GetVorneException()->Set(code, message.c_str(), round, "worker");
            both_set.arrive_and_wait();
            const record now = LastError();
            both_read.arrive_and_wait();
            if (!wrong) {
                seen[index] = now;
                wrong = now.code != code || now.message != message || now.line != round;
            }
        }
    };
    std::thread first(worker, 0);
    std::thread second(worker, 1);
    first.join();
    second.join();
    ExpectRecord(seen[0], {error::bad_pointer, "thread 0", "worker", 99}, "first thread");
    ExpectRecord(seen[1], {error::end_of_file, "thread 1", "worker", 99}, "second thread");
}

}  // namespace
