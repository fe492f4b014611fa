#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace platform {

// The base of a program that runs as a systemd service, or in a terminal.
//
// A derived class names the service and supplies its start-up (init), its
// run loop (run, which returns once the service is to end), its ending
// (on_exit) and what the controls do: stop, pause and continue.
//
// Service commands (install, remove, start, stop) write the service's unit
// file and call systemctl. Each reports success as a boolean and leaves the
// reason of a failure in last_error().
//
// Running (run_as_service under systemd, run_in_console in a terminal):
// start-up, run loop and ending happen on the calling thread, while a
// control thread of the service's own takes the control signals: SIGTERM
// stops the service, SIGUSR1 pauses it and SIGUSR2 continues it (systemd has
// no pause); SIGINT, SIGQUIT and SIGHUP (Ctrl+C, Ctrl+\, a closed terminal)
// change nothing. The signals must be held in every thread of the process
// (hold_control_signals at the top of main). Under systemd the service's
// state goes to the service manager (a unit of Type=notify). Log lines go to
// syslog under the service's name, and in a terminal to standard error too.
class TService {
  public:
    enum class state : std::uint32_t {
        stopped = 1,
        start_pending = 2,
        stop_pending = 3,
        running = 4,
        paused = 7,
    };
    enum class event_type { error = 1, warning = 2, information = 4 };

    TService();
    virtual ~TService();

    TService(const TService&) = delete;
    TService& operator=(const TService&) = delete;

    // The unit's name without ".service"; also the syslog identity.
    virtual std::string service_name() const = 0;
    // The unit's description.
    virtual std::string display_name() const { return service_name(); }

    // Where the unit file goes (/etc/systemd/system by default) and the
    // systemctl program that the commands run ("systemctl": a name without a
    // "/" is looked up along PATH).
    void set_service_manager(std::filesystem::path unit_dir, std::string systemctl);

    // Writes the unit file that runs `command_line` (the program's absolute
    // path, then its arguments), reloads systemd's units and enables the
    // unit, so that it starts at boot. A word of the command line with a
    // control character is refused: the unit would gain a line.
    bool install(const std::vector<std::string>& command_line);
    // Stops the service (whatever that gives), disables the unit, removes
    // its file and reloads systemd's units.
    bool remove();
    bool start();
    bool stop();
    // Why the last command failed; empty after one that succeeded.
    const std::string& last_error() const { return last_error_; }

    // Start-up, run loop and ending, as described above. Exit codes: 0 when
    // the service ran until it was asked to stop, 1 when its start-up failed
    // or its run loop broke down.
    int run_as_service();
    int run_in_console();

    // Stores the state and, under systemd, reports it: running as "READY=1"
    // with "STATUS=running", stop pending as "STOPPING=1", paused as
    // "STATUS=paused". A report that fails is logged as a warning.
    void set_status(state new_state);
    state current_state() const { return state_; }

    // Set once a stop control came.
    bool stop_requested() const { return stop_requested_; }

    // One line in the log; nothing before the service runs.
    void log(const std::string& text, event_type type);

  protected:
    // Start-up; false when the service cannot run.
    virtual bool init() { return true; }
    // Runs until the service is to end.
    virtual void run() = 0;
    // Ends what init started; called after run.
    virtual void on_exit() {}
    // Run on the control thread. A stop control reports stop pending and
    // sets stop_requested() first.
    virtual void on_stop() { set_status(state::stopped); }
    virtual void on_pause() { set_status(state::paused); }
    virtual void on_continue() { set_status(state::running); }

    // How long systemd waits for the service to stop before killing it.
    virtual std::chrono::seconds stop_timeout() const { return std::chrono::seconds(90); }

  private:
    class control_thread;

    int run_service(bool in_console);
    void take_control(int signal_number);
    void open_log(bool in_console);

    std::string unit_name() const { return service_name() + ".service"; }
    std::filesystem::path unit_file() const { return unit_dir_ / unit_name(); }
    std::string unit_text(const std::vector<std::string>& command_line) const;
    bool systemctl(const std::vector<std::string>& arguments);
    bool succeed();
    bool fail(std::string reason);

    std::atomic<state> state_{state::stopped};
    std::atomic<bool> stop_requested_{false};
    std::string last_error_;

    std::filesystem::path unit_dir_ = "/etc/systemd/system";
    std::string systemctl_ = "systemctl";

    // Set before the control thread starts and read-only while it runs.
    bool notify_ = false;
    bool log_open_ = false;
    std::string log_identity_;  // syslog keeps a pointer to it
};

}  // namespace platform
