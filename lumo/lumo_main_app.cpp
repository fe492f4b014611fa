#include "lumo/lumo_main_app.hpp"

#include <boost/property_tree/ptree.hpp>

#include <chrono>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "lumo/config_checks.hpp"

namespace lumo {
namespace {

std::int64_t seconds_since_1970() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Answers a method whose worker fills a result (a map or a list of maps):
// the result of a failed worker goes out empty, never half filled.
template <typename Result, typename Worker>
void answer(const rpc::remote_call_reply2<Result>& reply, Worker worker) {
    Result result{};
    std::string error;
    if (!worker(result, error)) {
        result = Result{};
    }
    reply(result, error);
}

// Answers a method whose worker's success is its result. A worker may leave
// an error text even when it succeeds; it goes out as well.
template <typename Worker>
void answer_flag(const rpc::bool_reply& reply, Worker worker) {
    std::string error;
    const bool succeeded = worker(error);
    reply(succeeded, error);
}

}  // namespace

lumo_main_app::lumo_main_app(qen::qen_config& config)
    : config_(config),
      channels_(config_, config_lock_),
      configuration_(config_, config_lock_),
      processes_(config_, config_lock_),
      start_time_(seconds_since_1970()) {
    const auto endpoint = admin_endpoint(config_.tree());
    password_ = config_.tree().get<std::string>("config.lumo.server_admin_ipc_pwd", "");

    try {
        server_ = admin_server::create(io_, endpoint);
    } catch (const boost::system::system_error& e) {
        std::ostringstream reason;
        reason << "The administration port on TCP " << endpoint << ": " << e.what();
        throw std::runtime_error(reason.str());
    }
    server_->set_new_connection_callback(
        [this](const std::shared_ptr<lumo_ipc_connection>& connection) {
            on_new_connection(connection);
        });
    server_->start_accept();
    server_->start_timer();
    try {
        std::string error;
        if (!processes_.start_web_and_db(error)) {
            throw std::runtime_error(error);
        }
        worker_ = std::thread([this] {
            // Every handler of the port catches what it throws; should one
            // not, the port still serves the others.
            for (;;) {
                try {
                    io_.run();
                    return;
                } catch (const std::exception&) {
                }
            }
        });
    } catch (...) {
        server_->stop();
        throw;
    }
}

lumo_main_app::~lumo_main_app() {
    stop();
    // With the acceptor, the connections and the timer gone, the io context
    // runs out of work and the thread ends.
    if (worker_.joinable()) {
        worker_.join();
    }
}

void lumo_main_app::stop() {
    server_->stop();
}

void lumo_main_app::on_new_connection(const std::shared_ptr<lumo_ipc_connection>& connection) {
    connection->add_method(1, this, &lumo_main_app::login);
}

void lumo_main_app::register_methods(lumo_ipc_connection& connection) {
    connection.add_method(2, this, &lumo_main_app::create_channel);
    connection.add_method(3, this, &lumo_main_app::update_channel);
    connection.add_method(4, this, &lumo_main_app::delete_channel);
    connection.add_method(5, this, &lumo_main_app::get_channel_info);
    connection.add_method(6, this, &lumo_main_app::stop_channel);
    connection.add_method(7, this, &lumo_main_app::set_channel_allow_play);
    connection.add_method(8, this, &lumo_main_app::convertLiveChannelToVod);
    connection.add_method(9, this, &lumo_main_app::enableFakeLiveForVod);
    connection.add_method(10, this, &lumo_main_app::getChannelMetaData);
    connection.add_method(11, this, &lumo_main_app::stop_media_services);
    connection.add_method(12, this, &lumo_main_app::start_media_services);
    connection.add_method(13, this, &lumo_main_app::get_status);
    connection.add_method(14, this, &lumo_main_app::getVirtualDirs);
    connection.add_method(15, this, &lumo_main_app::addVirtualDir);
    connection.add_method(16, this, &lumo_main_app::updateSetting);
    connection.add_method(17, this, &lumo_main_app::get_settings);
    connection.add_method(18, this, &lumo_main_app::set_domain_name);
}

void lumo_main_app::login(rpc::bool_reply reply, std::string password) {
    if (password != password_) {
        reply(false, "BAD_PASSWORD:Password is incorrect");
        return;
    }
    // The methods are there before the reply leaves, so the request that
    // follows it finds them whichever thread reads it.
    const auto connection = std::dynamic_pointer_cast<lumo_ipc_connection>(reply.manager());
    if (connection && connection->log_in()) {
        register_methods(*connection);
    }
    reply(true, "");
}

void lumo_main_app::create_channel(rpc::map_reply reply, std::int32_t type, std::string virtual_dir,
                                   rpc::string_map params) {
    answer(reply, [&](rpc::string_map& info, std::string& error) {
        return channels_.create_channel(type, virtual_dir, params, info, error);
    });
}

void lumo_main_app::update_channel(rpc::bool_reply reply, std::string virtual_path,
                                   rpc::string_map changes) {
    answer_flag(reply, [&](std::string& error) {
        return channels_.update_channel(virtual_path, changes, error);
    });
}

void lumo_main_app::delete_channel(rpc::bool_reply reply, std::string virtual_path) {
    answer_flag(reply,
                [&](std::string& error) { return channels_.delete_channel(virtual_path, error); });
}

void lumo_main_app::get_channel_info(rpc::map_reply reply, std::string virtual_path) {
    answer(reply, [&](rpc::string_map& info, std::string& error) {
        return channels_.get_channel_info(virtual_path, info, error);
    });
}

void lumo_main_app::stop_channel(rpc::bool_reply reply, std::string virtual_path) {
    answer_flag(reply,
                [&](std::string& error) { return channels_.stop_channel(virtual_path, error); });
}

void lumo_main_app::set_channel_allow_play(rpc::bool_reply reply, std::string virtual_path,
                                           bool allow) {
    answer_flag(reply, [&](std::string& error) {
        return channels_.set_channel_allow_play(virtual_path, allow, error);
    });
}

void lumo_main_app::convertLiveChannelToVod(rpc::map_reply reply, std::string virtual_path) {
    answer(reply, [&](rpc::string_map& info, std::string& error) {
        return channels_.convertLiveChannelToVod(virtual_path, info, error);
    });
}

void lumo_main_app::enableFakeLiveForVod(rpc::bool_reply reply, std::string virtual_path,
                                         bool enable, std::uint32_t start_time) {
    // The operator's start time replaces a stored one.
    answer_flag(reply, [&](std::string& error) {
        return channels_.enableFakeLiveForVod(virtual_path, enable, start_time, true, error);
    });
}

void lumo_main_app::getChannelMetaData(rpc::map_reply reply, std::string virtual_path) {
    answer(reply, [&](rpc::string_map& metadata, std::string& error) {
        return channels_.getChannelMetaData(virtual_path, metadata, error);
    });
}

void lumo_main_app::stop_media_services(rpc::bool_reply reply) {
    processes_.stop_media_services();
    reply(true, "");
}

void lumo_main_app::start_media_services(rpc::bool_reply reply) {
    answer_flag(reply, [&](std::string& error) { return processes_.start_media_services(error); });
}

void lumo_main_app::get_status(rpc::map_reply reply) {
    const bool running = processes_.is_running(lumo_proc_mgr::child::media_server);
    reply({{"running", running ? "1" : "0"},
           {"time", std::to_string(seconds_since_1970())},
           {"startTime", std::to_string(start_time_)}},
          "");
}

void lumo_main_app::getVirtualDirs(rpc::map_vector_reply reply) {
    answer(reply, [&](rpc::string_map_vector& dirs, std::string& error) {
        return configuration_.getVirtualDirs(dirs, error);
    });
}

void lumo_main_app::addVirtualDir(rpc::bool_reply reply, std::string name, std::string local_path) {
    answer_flag(reply, [&](std::string& error) {
        return configuration_.addVirtualDir(name, local_path, error);
    });
}

void lumo_main_app::updateSetting(rpc::bool_reply reply, std::string key, std::string value) {
    answer_flag(
        reply, [&](std::string& error) { return configuration_.updateSetting(key, value, error); });
}

void lumo_main_app::get_settings(rpc::map_reply reply) {
    answer(reply, [&](rpc::string_map& settings, std::string& error) {
        return configuration_.get_settings(settings, error);
    });
}

void lumo_main_app::set_domain_name(rpc::bool_reply reply, std::string name) {
    answer_flag(reply,
                [&](std::string& error) { return configuration_.set_domain_name(name, error); });
}

}  // namespace lumo
