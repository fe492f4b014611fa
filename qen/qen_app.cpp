#include "qen/qen_app.hpp"

#include <boost/property_tree/xml_parser.hpp>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace qen {
namespace {

const char* const settings_file_name = ".flaccess";

}  // namespace

qen_app::qen_app(app_slot_ptr parent, std::string directory, std::string key,
                 std::shared_ptr<client_count> clients)
    : parent_(std::move(parent)),
      directory_(std::move(directory)),
      key_(std::move(key)),
      clients_(std::move(clients)) {
    const std::filesystem::path dir(directory_);
    std::error_code error;
    if (!std::filesystem::exists(dir, error)) {
        throw std::runtime_error("Bad app path");
    }

    try {
        const std::filesystem::path file = dir / settings_file_name;
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            return;
        }
        settings_time_ = settings_time_of(directory_);
        boost::property_tree::read_xml(in, settings_);
        finalized_ = settings_.get_optional<bool>("config.qen_app.finalized").value_or(false);
    } catch (const std::exception&) {
        // A settings file that cannot be read or parsed leaves the
        // application with what was read before the failure.
    }
}

std::int64_t qen_app::settings_time_of(const std::string& directory) {
    std::error_code error;
    const auto time = std::filesystem::last_write_time(
        std::filesystem::path(directory) / settings_file_name, error);
    if (error) {
        return 0;
    }
    return std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
}

boost::property_tree::ptree::path_type qen_app::setting_path(const std::string& key) {
    return boost::property_tree::ptree::path_type("config.qen_app." + key);
}

bool qen_app::forbids_override(const std::string& key) const {
    if (settings_.empty()) {
        return false;
    }
    const auto allowed = settings_.get_optional<bool>(setting_path(key + ".allow_override"));
    return allowed && !*allowed;
}

app_ptr qen_app::find_final_owner(const std::string& key) const {
    std::vector<app_ptr> chain;  // this level first, the root last
    for (app_ptr level = shared_from_this(); level; level = level->parent()) {
        chain.push_back(level);
    }
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if ((*it)->forbids_override(key)) {
            return *it;
        }
    }
    return nullptr;
}

}  // namespace qen
