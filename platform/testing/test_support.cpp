#include "platform/testing/test_support.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "foundation/unique_fd.hpp"

extern char** environ;

namespace platform::testing {
namespace {

[[noreturn]] void throw_errno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// A socket of the tests' own; no socket at all is an error.
unique_fd open_socket(int domain, int type) {
    unique_fd socket(::socket(domain, type, 0));
    if (!socket) {
        throw_errno("socket");
    }
    return socket;
}

sockaddr_in loopback(unsigned short port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

std::vector<std::string> environment_with(const spawn_options& options) {
    std::map<std::string, std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string text(*entry);
        const auto equals = text.find('=');
        if (equals != std::string::npos) {
            variables[text.substr(0, equals)] = text.substr(equals + 1);
        }
    }
    for (const auto& [name, value] : options.set_env) {
        variables[name] = value;
    }
    for (const auto& name : options.unset_env) {
        variables.erase(name);
    }
    std::vector<std::string> result;
    for (const auto& [name, value] : variables) {
        result.push_back(name + "=" + value);
    }
    return result;
}

std::vector<char*> c_strings(std::vector<std::string>& texts) {
    std::vector<char*> result;
    for (auto& text : texts) {
        result.push_back(text.data());
    }
    result.push_back(nullptr);
    return result;
}

int exit_code_of(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return -1;
}

}  // namespace

temp_dir::temp_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qen-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw_errno("mkdtemp");
    }
    path_ = pattern;
}

temp_dir::~temp_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void write_file(const std::filesystem::path& file, const std::string& content) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out) {
        throw std::runtime_error("can't write " + file.string());
    }
    out << content;
}

std::string read_file(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> folder_entries(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

unsigned short free_port(transport kind) {
    unique_fd s = open_socket(AF_INET, kind == transport::tcp ? SOCK_STREAM : SOCK_DGRAM);
    sockaddr_in address = loopback(0);
    if (::bind(s.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        throw_errno("bind");
    }
    socklen_t length = sizeof address;
    if (::getsockname(s.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw_errno("getsockname");
    }
    return ntohs(address.sin_port);
}

bool wait_for_tcp_port(unsigned short port, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        unique_fd s = open_socket(AF_INET, SOCK_STREAM);
        sockaddr_in address = loopback(port);
        if (::connect(s.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

child_process::child_process(std::vector<std::string> argv, spawn_options options) {
    if (argv.empty()) {
        throw std::invalid_argument("child_process: no program");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string out_path = (output_ / "stdout").string();
    const std::string err_path = (output_ / "stderr").string();
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::string working_dir;
    if (options.working_dir) {
        working_dir = options.working_dir->string();
        posix_spawn_file_actions_addchdir_np(&actions, working_dir.c_str());
    }

    // The child starts with default signal handling and nothing blocked,
    // whatever the test process does with its own signals.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> environment = environment_with(options);
    std::vector<char*> arguments = c_strings(argv);
    std::vector<char*> variables = c_strings(environment);
    const int error = posix_spawnp(&pid_, arguments[0], &actions, &attributes, arguments.data(),
                                   variables.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        throw std::system_error(error, std::generic_category(), "posix_spawn " + argv[0]);
    }
}

child_process::~child_process() {
    if (!exit_code_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
}

std::optional<int> child_process::wait_for_exit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!exit_code_) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            exit_code_ = exit_code_of(status);
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return exit_code_;
}

bool child_process::running() {
    return !wait_for_exit(std::chrono::milliseconds(0));
}

void child_process::signal(int signal_number) {
    if (!exit_code_) {
        ::kill(pid_, signal_number);
    }
}

std::string child_process::stdout_text() const {
    return read_file(output_ / "stdout");
}
std::string child_process::stderr_text() const {
    return read_file(output_ / "stderr");
}

run_result run(std::vector<std::string> argv, std::chrono::milliseconds timeout,
               spawn_options options) {
    child_process child(std::move(argv), std::move(options));
    run_result result;
    if (auto code = child.wait_for_exit(timeout)) {
        result.exit_code = *code;
    }
    result.out = child.stdout_text();
    result.err = child.stderr_text();
    return result;
}

bool have_program(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream folders(path ? path : "");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        if (!folder.empty() &&
            ::access((std::filesystem::path(folder) / name).c_str(), X_OK) == 0) {
            return true;
        }
    }
    return false;
}

std::uint64_t own_resident_bytes() {
    std::ifstream statm("/proc/self/statm");
    std::uint64_t size = 0, resident = 0;
    statm >> size >> resident;
    return resident * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}

}  // namespace platform::testing
