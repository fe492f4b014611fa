#pragma once

#include <boost/property_tree/ptree.hpp>

#include <filesystem>
#include <string>

// The client's files in its data folder (the home folder's "LUMO"): the
// task list of each site, kept as "<instance>.xml" with a backup
// "<instance>.bak", and the settings file ".lumof". The instance name is
// the one that makes the client single for its site.
namespace lumo_upl {

class upload_tasks;

std::filesystem::path data_folder();
std::filesystem::path task_file_path(const std::string& instance_name);
std::filesystem::path task_backup_path(const std::string& instance_name);
std::filesystem::path settings_file_path();

// Saves the list. The new list reaches the disk beside the task file
// before anything else changes; then the current task file, when it holds
// a whole list, is copied over the backup; then the new file takes the
// task file's place. So at every moment one of the two holds a whole list,
// and a crash or a full disk loses at most the newest one. False, with the
// files as they were, when the save fails; nobody is told.
bool save_task_file(const upload_tasks& tasks, const std::string& instance_name) noexcept;

enum class task_file_source { task_file, backup, none };

// Appends the tasks of the task file, or of the backup when the task file
// is missing or damaged; nothing when both are. Tells which it took.
task_file_source load_task_file(upload_tasks& tasks, const std::string& instance_name) noexcept;

// The settings; empty when the file is missing or unreadable.
boost::property_tree::ptree load_settings() noexcept;
// Replaces the settings file in one step; false when it cannot.
bool save_settings(const boost::property_tree::ptree& settings) noexcept;

}  // namespace lumo_upl
