#pragma once

#include <exception>
#include <source_location>
#include <string>
#include <string_view>

// The client library's errors. A record holds a code, an English message
// and the module and line that raised it. Functions in the C style return
// -1 (or false) and leave the record in the calling thread's last error;
// the throwing layer raises a CBaseException that carries the same record.
namespace VorneBased {

namespace error {
inline constexpr int none = 0;
inline constexpr int bad_pointer = 10021003;
inline constexpr int variable_missing = 10021005;
inline constexpr int no_memory = 10021007;
inline constexpr int unknown = 10021008;
inline constexpr int bad_argument = 10021010;
inline constexpr int system = 10021013;
inline constexpr int standard_exception = 10021015;
inline constexpr int end_of_file = 10021016;
}  // namespace error

class IVorneException {
  public:
    virtual int GetCode() const = 0;
    virtual const char* GetMessage() const = 0;
    virtual const char* GetFile(int& line) const = 0;
    // Replaces the whole record; a null message or file becomes empty.
    virtual void Set(int code, const char* message, int line, const char* file) = 0;
    // No error any more; where the last one was raised is kept.
    virtual void Clear() = 0;
    virtual void Assign(const IVorneException& other) = 0;
    virtual ~IVorneException() = default;
};

class CBaseException : public IVorneException, public std::exception {
  public:
    CBaseException() = default;
    CBaseException(int code, const char* message, int line, const char* file);
    explicit CBaseException(const IVorneException& other);
    CBaseException(const CBaseException& other) = default;
    CBaseException& operator=(const CBaseException& other) = default;

    int GetCode() const override { return code_; }
    const char* GetMessage() const override { return message_.c_str(); }
    const char* GetFile(int& line) const override;
    void Set(int code, const char* message, int line, const char* file) override;
    void Clear() override;
    void Assign(const IVorneException& other) override;

    virtual const char* GetText() const { return message_.c_str(); }
    const char* what() const noexcept override { return message_.c_str(); }

  private:
    int code_ = error::none;
    std::string message_;
    int line_ = 0;
    std::string file_;
};

// The calling thread's last error: never null, one per thread, living as
// long as the thread.
IVorneException* GetVorneException();

// Raises an error of `module` at the caller's line.
[[noreturn]] void Raise(int code, const std::string& message, const char* module,
                        std::source_location where = std::source_location::current());

// Passes on the failure of a C-style call: throws a copy of the calling
// thread's last error, or "Unknown exception" of `module` when the call
// left none.
[[noreturn]] void RaiseLastError(const char* module,
                                 std::source_location where = std::source_location::current());

// "<operation>: <errno> <its text>", the message of a failed system call.
std::string SystemErrorText(std::string_view operation, int error_number);

// Runs `body` under the C-style convention: whatever it throws becomes the
// last error (a library error as it is, a standard exception under
// error::standard_exception, anything else as "Unknown exception", the
// latter two at the caller's line in `module`) and `failure` is returned.
template <typename Result, typename Body>
Result RunCStyle(const char* module, Result failure, Body&& body,
                 std::source_location where = std::source_location::current()) noexcept {
    try {
        return body();
    } catch (const IVorneException& raised) {
        GetVorneException()->Assign(raised);
    } catch (const std::exception& standard) {
        GetVorneException()->Set(error::standard_exception, standard.what(),
                                 static_cast<int>(where.line()), module);
    } catch (...) {
        GetVorneException()->Set(error::unknown, "Unknown exception",
                                 static_cast<int>(where.line()), module);
    }
    return failure;
}

}  // namespace VorneBased
