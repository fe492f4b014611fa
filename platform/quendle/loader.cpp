#include "platform/quendle/loader.hpp"

#include <dlfcn.h>

#include <stdexcept>
#include <string>

namespace Quendle {
namespace {

std::string loader_error() {
    const char* text = dlerror();
    return text != nullptr ? text : "unknown error";
}

}  // namespace

library::library(const std::filesystem::path& file) {
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        throw std::runtime_error(loader_error());
    }
    create_ = reinterpret_cast<CreateAVManagerFunction*>(dlsym(handle, "CreateAVManager"));
    if (create_ == nullptr) {
        // Nothing of it has run: this one may go again.
        const std::string reason = loader_error();
        dlclose(handle);
        throw std::runtime_error(reason);
    }
}

}  // namespace Quendle
