#pragma once

// The machine's configuration as the administration site changes it:
// virtual directories, single settings and the served domain's name. Each
// change is tried first as a start of the media server and of the
// supervisor would take it, then made to the loaded configuration and
// written to its file at once; the media server and the rendered
// configurations of the other servers see it when they next read the file.
//
// Every worker returns true on success, or false with an error text
// "CODE:message" (an unexpected exception gives "EXCEPTION:Exception occurs
// when <operation>: " and its message). All workers run on one thread.

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "lumo/worker_results.hpp"
#include "qen/qen_config.hpp"

namespace lumo {

class configuration_editor {
  public:
    // Edits for the domain whose name sorts first, as the channel manager
    // serves it. `config_lock` guards the configuration; both outlive the
    // editor.
    configuration_editor(qen::qen_config& config, std::mutex& config_lock);

    configuration_editor(const configuration_editor&) = delete;
    configuration_editor& operator=(const configuration_editor&) = delete;

    // The domain's virtual directories in name order, each with
    // "virtualDir", "localPath" and, when its file system answers,
    // "leftSize": the bytes free to this process there.
    bool getVirtualDirs(std::vector<string_map>& dirs, std::string& error);
    // Adds a virtual directory at an existing local path (a relative one is
    // taken from the current directory), gives it and its "live" and "vod"
    // folders their publishing rules, and saves the configuration.
    bool addVirtualDir(const std::string& name, const std::string& local_path, std::string& error);
    // Puts a value at a dotted key under "config" and saves the
    // configuration. A failed save is false with an empty error text.
    bool updateSetting(const std::string& key, const std::string& value, std::string& error);
    // The settings the administration site edits, defaults for those the
    // configuration lacks.
    bool get_settings(string_map& settings, std::string& error);
    // Gives the served domain a new first host name and saves the
    // configuration.
    bool set_domain_name(const std::string& name, std::string& error);

  private:
    // A name under which the configuration's table finds the served
    // domain; call with the configuration lock held.
    std::optional<std::string> served_domain_name() const;

    qen::qen_config& config_;
    std::mutex& config_lock_;
    qen::domain_ptr domain_;
};

}  // namespace lumo
