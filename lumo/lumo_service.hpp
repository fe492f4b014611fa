#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "lumo/lumo_main_app.hpp"
#include "platform/named_event.hpp"
#include "platform/tservice.hpp"
#include "qen/qen_config.hpp"

namespace lumo {

// The lumo program's commands:
//
//   lumo install CONFIG   installs the systemd unit lumo_service.service,
//                         which runs "lumo run" with CONFIG made absolute
//   lumo remove | start | stop
//   lumo run CONFIG       runs the supervisor under systemd
//   lumo embed CONFIG     runs it in the terminal, logging to standard error
//
// Running, the supervisor loads the configuration, starts the database
// server and the administration web server with the administration port
// (lumo_main_app), then the media services, and runs until SIGTERM or its
// shutdown event "lumo_shutdown_<pid>"; then it stops every child. SIGUSR1
// stops the media services, SIGUSR2 starts them again.
//
// The unit's folder and systemctl are LUMO_UNIT_DIR and LUMO_SYSTEMCTL in
// the environment when set.
class lumo_service final : public platform::TService {
  public:
    // The command line without the program's name.
    explicit lumo_service(std::vector<std::string> arguments);
    ~lumo_service() override;

    // Performs the command; returns the program's exit code.
    int execute();

    std::string service_name() const override { return "lumo_service"; }
    std::string display_name() const override { return "Brisa Media Streaming Service"; }

  protected:
    bool init() override;
    void run() override;
    void on_exit() override;
    void on_stop() override;
    void on_pause() override;
    void on_continue() override;

    // Four children stopped one after another, each within 20 s, and a margin.
    std::chrono::seconds stop_timeout() const override { return std::chrono::seconds(120); }

  private:
    // The usage text on standard error; exit code 0.
    static int usage();
    // A failed service command: its message and the reason; exit code 1.
    int command_failed(const std::string& message) const;

    std::vector<std::string> arguments_;
    std::string config_path_;

    // Guards what the controls use: the event, the configuration and the
    // main application, made by init and deleted by on_exit.
    std::mutex app_mutex_;
    std::unique_ptr<platform::named_event> shutdown_event_;
    std::unique_ptr<qen::qen_config> config_;
    std::unique_ptr<lumo_main_app> app_;
};

}  // namespace lumo
