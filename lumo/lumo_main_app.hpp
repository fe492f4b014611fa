#pragma once

#include <boost/asio/io_context.hpp>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "lumo/channel_manager.hpp"
#include "lumo/configuration_editor.hpp"
#include "lumo/lumo_ipc_connection.hpp"
#include "lumo/lumo_proc_mgr.hpp"
#include "qen/qen_config.hpp"
#include "rpc/remote_call.hpp"
#include "rpc/rpc_tcp_server.hpp"

namespace lumo {

// The supervisor at work: the administration port on which the web
// administration site calls the remote methods, the channel manager, the
// configuration editor and the process manager behind them, and the one
// thread on which every connection, call and reply of the port runs.
//
// A connection may call only `login` (method 1) until it gives the
// configured password; then methods 2 to 18 are there for it too. Each
// method answers with its primary result (a boolean, a map or a list of
// maps) and an error text, empty on success.
class lumo_main_app {
  public:
    using admin_server = rpc::rpc_tcp_server<lumo_ipc_connection>;

    // Serves the administration port (config.lumo.server_admin_ipc_ip and
    // _port, 127.0.0.1:8084 by default, with the password
    // config.lumo.server_admin_ipc_pwd) and starts the database server and
    // the administration web server. Throws with the reason when any of it
    // fails, leaving nothing running. `config` outlives the object.
    explicit lumo_main_app(qen::qen_config& config);
    // Stops the port, waits for the call that runs, then stops every child.
    virtual ~lumo_main_app();

    lumo_main_app(const lumo_main_app&) = delete;
    lumo_main_app& operator=(const lumo_main_app&) = delete;

    // Closes the port and every connection; the call that runs finishes.
    void stop();

    lumo_proc_mgr& process_manager() { return processes_; }

  private:
    void on_new_connection(const std::shared_ptr<lumo_ipc_connection>& connection);
    void register_methods(lumo_ipc_connection& connection);

    // The remote methods, in the order of their ids.
    void login(rpc::bool_reply reply, std::string password);
    void create_channel(rpc::map_reply reply, std::int32_t type, std::string virtual_dir,
                        rpc::string_map params);
    void update_channel(rpc::bool_reply reply, std::string virtual_path, rpc::string_map changes);
    void delete_channel(rpc::bool_reply reply, std::string virtual_path);
    void get_channel_info(rpc::map_reply reply, std::string virtual_path);
    void stop_channel(rpc::bool_reply reply, std::string virtual_path);
    void set_channel_allow_play(rpc::bool_reply reply, std::string virtual_path, bool allow);
    void convertLiveChannelToVod(rpc::map_reply reply, std::string virtual_path);
    void enableFakeLiveForVod(rpc::bool_reply reply, std::string virtual_path, bool enable,
                              std::uint32_t start_time);
    void getChannelMetaData(rpc::map_reply reply, std::string virtual_path);
    void stop_media_services(rpc::bool_reply reply);
    void start_media_services(rpc::bool_reply reply);
    void get_status(rpc::map_reply reply);
    void getVirtualDirs(rpc::map_vector_reply reply);
    void addVirtualDir(rpc::bool_reply reply, std::string name, std::string local_path);
    void updateSetting(rpc::bool_reply reply, std::string key, std::string value);
    void get_settings(rpc::map_reply reply);
    void set_domain_name(rpc::bool_reply reply, std::string name);

    boost::asio::io_context io_;
    qen::qen_config& config_;
    std::shared_ptr<admin_server> server_;
    std::string password_;
    // Guards the configuration; shared by the channels, the configuration
    // editor and the process manager.
    std::mutex config_lock_;
    lumo_channel_manager channels_;
    configuration_editor configuration_;
    lumo_proc_mgr processes_;
    std::thread worker_;
    const std::int64_t start_time_;
};

}  // namespace lumo
