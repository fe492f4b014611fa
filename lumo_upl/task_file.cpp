#include "lumo_upl/task_file.hpp"

#include <boost/property_tree/xml_parser.hpp>

#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "foundation/replace_file.hpp"
#include "lumo_upl/upload_tasks.hpp"
#include "vornebased/sysutils.hpp"

namespace lumo_upl {
namespace {

namespace fs = std::filesystem;
namespace pt = boost::property_tree;

std::string xml_text(const pt::ptree& tree) {
    std::ostringstream text;
    pt::write_xml(text, tree, pt::xml_writer_make_settings<std::string>(' ', 0, "utf-8"));
    return text.str();
}

std::string file_bytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::string bytes(std::istreambuf_iterator<char>(in), {});
    if (!in.is_open() || in.bad()) {
        throw std::runtime_error("Can't read " + file.string());
    }
    return bytes;
}

pt::ptree parse_xml(const std::string& bytes) {
    std::istringstream text(bytes);
    pt::ptree tree;
    pt::read_xml(text, tree);
    return tree;
}

// The current task file's bytes go over the backup only when they hold a
// whole list: a damaged task file (the one a load passed over) must not
// take the place of the good backup.
void back_up(const fs::path& task_file, const fs::path& backup) {
    if (!fs::is_regular_file(task_file)) {
        return;
    }
    std::string bytes;
    try {
        bytes = file_bytes(task_file);
        read_task_records(parse_xml(bytes));
    } catch (const std::exception&) {
        return;
    }
    replace_file(backup, bytes);
}

bool read_list(upload_tasks& tasks, const fs::path& file) {
    try {
        if (!fs::exists(file)) {
            return false;
        }
        tasks.read_task_list(parse_xml(file_bytes(file)));
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

fs::path data_folder() {
    return fs::path(VorneBased::GetHomeDir() + "/LUMO");
}

fs::path task_file_path(const std::string& instance_name) {
    return data_folder() / (instance_name + ".xml");
}

fs::path task_backup_path(const std::string& instance_name) {
    return data_folder() / (instance_name + ".bak");
}

fs::path settings_file_path() {
    return data_folder() / ".lumof";
}

bool save_task_file(const upload_tasks& tasks, const std::string& instance_name) noexcept {
    try {
        fs::create_directories(data_folder());
        pt::ptree tree;
        tasks.write_task_list(tree);
        const fs::path task_file = task_file_path(instance_name);
        file_replacement fresh(task_file, xml_text(tree));
        back_up(task_file, task_backup_path(instance_name));
        fresh.commit();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

task_file_source load_task_file(upload_tasks& tasks, const std::string& instance_name) noexcept {
    if (read_list(tasks, task_file_path(instance_name))) {
        return task_file_source::task_file;
    }
    if (read_list(tasks, task_backup_path(instance_name))) {
        return task_file_source::backup;
    }
    return task_file_source::none;
}

pt::ptree load_settings() noexcept {
    try {
        const fs::path file = settings_file_path();
        if (fs::exists(file)) {
            return parse_xml(file_bytes(file));
        }
    } catch (const std::exception&) {
    }
    return {};
}

bool save_settings(const pt::ptree& settings) noexcept {
    try {
        fs::create_directories(data_folder());
        replace_file(settings_file_path(), xml_text(settings));
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace lumo_upl
