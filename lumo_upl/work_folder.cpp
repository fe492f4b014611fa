#include "lumo_upl/work_folder.hpp"

#include <sys/statvfs.h>

#include <boost/property_tree/ptree.hpp>

#include <cstdio>
#include <system_error>

#include "vornebased/sysutils.hpp"

namespace lumo_upl {
namespace {

namespace fs = std::filesystem;

constexpr const char* work_folder_key = "config.work_folder";

bool create_marker(const std::string& work_folder) {
    std::FILE* marker = std::fopen((work_folder + "/.lumo_work_folder").c_str(), "wbe");
    if (marker == nullptr) {
        return false;
    }
    return std::fclose(marker) == 0;
}

}  // namespace

std::optional<std::uint64_t> available_space(const fs::path& folder) {
    struct statvfs volume {};
    if (::statvfs(folder.c_str(), &volume) != 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(volume.f_bavail) * volume.f_frsize;
}

std::optional<std::string> configured_work_folder(const boost::property_tree::ptree& settings) {
    std::string folder = settings.get<std::string>(work_folder_key, "");
    std::error_code error;
    if (folder.empty() || !fs::is_directory(folder, error)) {
        return std::nullopt;
    }
    return folder;
}

void store_work_folder(boost::property_tree::ptree& settings, const std::string& work_folder) {
    settings.put(work_folder_key, work_folder);
}

work_folder_choice settle_work_folder(const std::string& chosen,
                                      const free_space_query& free_space) {
    work_folder_choice choice;
    const std::optional<std::uint64_t> space = free_space(chosen);
    if (!space || *space < min_work_folder_space) {
        choice.status = work_folder_status::too_little_space;
        return choice;
    }
    const std::string work_folder =
        VorneBased::IncludeTrailingBackslash(chosen) + "lumo_work_folder";
    std::error_code error;
    if (fs::exists(work_folder, error)) {
        if (!create_marker(work_folder)) {
            return choice;
        }
    } else if (!fs::create_directories(work_folder, error)) {
        return choice;
    }
    choice.status = work_folder_status::usable;
    choice.work_folder = work_folder;
    return choice;
}

}  // namespace lumo_upl
