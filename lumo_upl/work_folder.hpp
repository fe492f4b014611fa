#pragma once

#include <boost/property_tree/ptree_fwd.hpp>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

// The work folder, where tasks are transcoded before they are uploaded:
// "lumo_work_folder" inside a folder that the operator chooses, on a
// volume with at least 1 GiB free for the user.
namespace lumo_upl {

inline constexpr std::uint64_t min_work_folder_space = 1073741824;

// Bytes available to the user on the volume of `folder`; nothing when that
// cannot be read.
using free_space_query = std::function<std::optional<std::uint64_t>(const std::filesystem::path&)>;
std::optional<std::uint64_t> available_space(const std::filesystem::path& folder);

// The work folder that the settings name, when it still exists.
std::optional<std::string> configured_work_folder(const boost::property_tree::ptree& settings);
void store_work_folder(boost::property_tree::ptree& settings, const std::string& work_folder);

enum class work_folder_status { usable, too_little_space, not_writable };

struct work_folder_choice {
    work_folder_status status = work_folder_status::not_writable;
    std::string work_folder;  // when usable
};

// Judges the folder the operator chose: enough space, then the work folder
// inside it created, or, when it exists already, proved writable by
// creating the marker file ".lumo_work_folder" in it.
work_folder_choice settle_work_folder(const std::string& chosen,
                                      const free_space_query& free_space = available_space);

}  // namespace lumo_upl
