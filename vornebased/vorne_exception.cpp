#include "vornebased/vorne_exception.hpp"

#include <system_error>

namespace VorneBased {

CBaseException::CBaseException(int code, const char* message, int line, const char* file) {
    Set(code, message, line, file);
}

CBaseException::CBaseException(const IVorneException& other) {
    int line = 0;
    const char* file = other.GetFile(line);
    Set(other.GetCode(), other.GetMessage(), line, file);
}

const char* CBaseException::GetFile(int& line) const {
    line = line_;
    return file_.c_str();
}

void CBaseException::Set(int code, const char* message, int line, const char* file) {
    code_ = code;
    message_ = message != nullptr ? message : "";
    line_ = line;
    file_ = file != nullptr ? file : "";
}

void CBaseException::Clear() {
    code_ = error::none;
    message_.clear();
}

void CBaseException::Assign(const IVorneException& other) {
    if (&other == this) {
        return;
    }
    int line = 0;
    const char* file = other.GetFile(line);
    Set(other.GetCode(), other.GetMessage(), line, file);
}

void Raise(int code, const std::string& message, const char* module, std::source_location where) {
    throw CBaseException(code, message.c_str(), static_cast<int>(where.line()), module);
}

void RaiseLastError(const char* module, std::source_location where) {
    const IVorneException& last = *GetVorneException();
    if (last.GetCode() != error::none) {
        throw CBaseException(last);
    }
    Raise(error::unknown, "Unknown exception", module, where);
}

std::string SystemErrorText(std::string_view operation, int error_number) {
    return std::string(operation) + ": " + std::to_string(error_number) + " " +
           std::system_category().message(error_number);
}

}  // namespace VorneBased
