#include "qen/qen_config.hpp"

#include <boost/property_tree/xml_parser.hpp>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "foundation/replace_file.hpp"

namespace qen {
namespace {

using boost::property_tree::ptree;

// The XML reader keeps comments and attributes as children with names in
// angle brackets; they are never domains, names or virtual directories.
bool is_element(const ptree::value_type& child) {
    return child.first.empty() || child.first[0] != '<';
}

bool is_xml_space(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The text between child elements of a hand-written file is only their
// indentation; written back without indentation it would pile up in odd
// places. Values, which have no child elements, keep every byte.
void drop_indentation(ptree& node) {
    bool has_child_element = false;
    for (auto& child : node) {
        if (is_element(child)) {
            has_child_element = true;
            drop_indentation(child.second);
        }
    }
    if (has_child_element && std::all_of(node.data().begin(), node.data().end(), is_xml_space)) {
        node.data().clear();
    }
}

// The integer a key holds; nothing when the key is missing or its text is
// no integer at all (the key then takes its default). Digits too many for
// any integer type are a number still, out of every range: the end of the
// widest type on their side stands for them.
std::optional<long long> integer_value(const ptree& tree, const char* key) {
    const auto text = tree.get_optional<std::string>(key);
    if (!text) {
        return std::nullopt;
    }
    if (const auto value = tree.get_optional<long long>(key)) {
        return *value;
    }
    std::string_view digits(*text);
    const auto first = digits.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        return std::nullopt;
    }
    digits = digits.substr(first, digits.find_last_not_of(" \t\r\n") + 1 - first);
    const bool negative = digits.front() == '-';
    if (negative || digits.front() == '+') {
        digits.remove_prefix(1);
    }
    if (digits.empty() ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    return negative ? std::numeric_limits<long long>::min() : std::numeric_limits<long long>::max();
}

std::string shown_value(const ptree& tree, const char* key) {
    return tree.get<std::string>(key);
}

// A port: 1 to 65535. A number outside is refused rather than cut to 16
// bits, which would listen somewhere else without a word. The ports of a
// disabled server are never opened: there, such a number keeps the default.
std::uint16_t port_value(const ptree& tree, const char* key, std::uint16_t fallback, bool opened) {
    const auto value = integer_value(tree, key);
    if (!value) {
        return fallback;
    }
    if (*value < 1 || *value > 65535) {
        if (!opened) {
            return fallback;
        }
        throw std::runtime_error(std::string(key) +
                                 " is not a port from 1 to 65535: " + shown_value(tree, key));
    }
    return static_cast<std::uint16_t>(*value);
}

// A time in seconds or ticks: 0 or more. A negative idle time-out would cut
// every connection at once.
std::int32_t time_value(const ptree& tree, const char* key, std::int32_t fallback) {
    const auto value = integer_value(tree, key);
    if (!value) {
        return fallback;
    }
    if (*value < 0 || *value > std::numeric_limits<std::int32_t>::max()) {
        throw std::runtime_error(std::string(key) +
                                 " is not a time from 0 to 2147483647: " + shown_value(tree, key));
    }
    return static_cast<std::int32_t>(*value);
}

}  // namespace

std::string to_lower_ascii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

qen_config::qen_config(const std::filesystem::path& file) : path_(std::filesystem::absolute(file)) {
    std::ifstream in(path_, std::ios::binary);
    if (!in) {
        throw std::ios_base::failure("Can't open " + path_.string() + ": " + std::strerror(errno));
    }
    in.exceptions(std::ios::failbit | std::ios::badbit);
    try {
        boost::property_tree::read_xml(in, tree_);
    } catch (const boost::property_tree::xml_parser_error& e) {
        // Parsed from a stream, the error would name "<unspecified file>".
        throw boost::property_tree::xml_parser_error(e.message(), path_.string(), e.line());
    }
    load();
}

qen_config::qen_config(from_tree, ptree tree) : tree_(std::move(tree)) {
    load();
}

void qen_config::check(const ptree& tree) {
    const qen_config trial(from_tree{}, tree);
}

void qen_config::load() {
    read_settings();
    for (const auto& child : tree_.get_child("config.qen.domains")) {
        if (is_element(child)) {
            parse_domain(child.second);
        }
    }
    if (domains_.empty()) {
        throw std::runtime_error("You should at least have one domain");
    }
}

void qen_config::read_settings() {
    const ptree& t = tree_;
    server_settings& s = settings_;
    s.rtmp_enabled = t.get<int>("config.qen.rtmp.disabled", 0) == 0;
    s.rtmp_addr = t.get<std::string>("config.qen.rtmp.addr", s.rtmp_addr);
    s.rtmp_port = port_value(t, "config.qen.rtmp.port", s.rtmp_port, s.rtmp_enabled);
    s.rtmfp_enabled = t.get<int>("config.qen.rtmfp.disabled", 0) == 0;
    s.rtmfp_port = port_value(t, "config.qen.rtmfp.port", s.rtmfp_port, s.rtmfp_enabled);
    s.detect_nat_port1 =
        port_value(t, "config.qen.rtmfp.detect_nat_port1", s.detect_nat_port1, s.rtmfp_enabled);
    s.detect_nat_port2 =
        port_value(t, "config.qen.rtmfp.detect_nat_port2", s.detect_nat_port2, s.rtmfp_enabled);
    s.max_sessions_per_ip =
        t.get<int>("config.qen.rtmfp.max_sessions_per_ip", s.max_sessions_per_ip);
    s.max_groups_per_session =
        t.get<int>("config.qen.rtmfp.max_groups_per_session", s.max_groups_per_session);
    s.idle_timeout = time_value(t, "config.qen.idle_timeout", s.idle_timeout);
    s.app_update_interval = time_value(t, "config.qen.app_update_interval", s.app_update_interval);
    s.app_max_idle_time = time_value(t, "config.qen.app_max_idle_time", s.app_max_idle_time);
}

void qen_config::parse_domain(const ptree& node) {
    auto d = std::make_shared<domain>();
    for (const auto& name : node.get_child("names")) {
        if (is_element(name)) {
            d->names.push_back(to_lower_ascii(name.second.data()));
        }
    }
    if (d->names.empty()) {
        throw std::runtime_error("Bad domain names");
    }

    d->path = node.get<std::string>("path");
    if (d->path.empty()) {
        throw std::runtime_error("Domain path is not set");
    }

    if (auto dirs = node.get_child_optional("virtual_dirs")) {
        for (const auto& dir : *dirs) {
            if (!is_element(dir)) {
                continue;
            }
            d->virtual_dirs.emplace(dir.second.get<std::string>("name"),
                                    dir.second.get<std::string>("path"));
        }
    }

    if (node.get_optional<bool>("default").value_or(false)) {
        default_domain_ = d;
    }
    for (const auto& name : d->names) {
        domains_.emplace(name, d);
    }
    domains_in_file_order_.push_back(std::move(d));
}

bool qen_config::save() {
    std::string ignored;
    return save(ignored);
}

bool qen_config::save(std::string& reason) {
    try {
        drop_indentation(tree_);
        std::ostringstream text;
        boost::property_tree::write_xml(
            text, tree_,
            boost::property_tree::xml_writer_make_settings<std::string>(' ', 0, "utf-8"));
        // A link keeps pointing at the file, as when the file was rewritten
        // in place.
        replace_file(std::filesystem::weakly_canonical(path_), text.str(), replaced_mode::kept);
        return true;
    } catch (const std::exception& e) {
        reason = e.what();
        return false;
    }
}

std::pair<domain_ptr, ptree*> qen_config::find_domain(const std::string& host_name) {
    const std::string key = to_lower_ascii(host_name);
    const auto served = domains_.find(key);
    auto domains = tree_.get_child_optional("config.qen.domains");
    if (served == domains_.end() || !domains) {
        return {};
    }
    for (auto& element : *domains) {
        if (!is_element(element)) {
            continue;
        }
        auto names = element.second.get_child_optional("names");
        if (!names) {
            continue;
        }
        for (const auto& name : *names) {
            if (is_element(name) && to_lower_ascii(name.second.data()) == key) {
                return {served->second, &element.second};
            }
        }
    }
    return {};
}

bool qen_config::store_domains(const std::string& domain_name, const std::string& name,
                               const std::string& path) {
    const auto [served, element] = find_domain(domain_name);
    if (element == nullptr) {
        return false;
    }
    auto existing = element->get_child_optional("virtual_dirs");
    ptree& dirs = existing ? *existing : element->push_back({"virtual_dirs", ptree()})->second;
    ptree dir;
    dir.push_back({"name", ptree(name)});
    dir.push_back({"path", ptree(path)});
    dirs.push_back({"virtual_dir", std::move(dir)});
    served->virtual_dirs.emplace(name, path);
    return true;
}

bool qen_config::rename_domain(const std::string& domain_name, const std::string& new_name) {
    const auto [served, element] = find_domain(domain_name);
    if (element == nullptr) {
        return false;
    }
    ptree& names = element->get_child("names");
    const auto first =
        std::find_if(names.begin(), names.end(), [](const auto& n) { return is_element(n); });
    first->second.data() = new_name;
    served->names.front() = to_lower_ascii(new_name);

    // Every name to the first domain in the file that has it, as loading
    // the saved file will give.
    domains_.clear();
    for (const auto& d : domains_in_file_order_) {
        for (const auto& name : d->names) {
            domains_.emplace(name, d);
        }
    }
    return true;
}

}  // namespace qen
