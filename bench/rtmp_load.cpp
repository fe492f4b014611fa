// rtmp_load: many RTMP players of one live stream, the load of the fan-out
// benchmark (bench/fanout.sh). It waits until the stream is live, connects
// every player in one burst, lets them play through a warm-up and then a
// measured window, and reports what was delivered in that window, how many
// players kept up with the publisher, and what the server process spent.
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <iterator>
#include <latch>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/load_player.hpp"
#include "bench/process_usage.hpp"

namespace {

using namespace std::chrono_literals;
using bench::load_player;
using bench::player_sample;
using bench::steady_clock;

struct options {
    std::string host = "127.0.0.1";
    unsigned short port = 0;
    std::string app = "live";
    std::string stream = "s";
    std::size_t players = 10;
    std::size_t threads = 4;
    double ramp_timeout = 60;
    double warmup = 3;
    double window = 20;
    double wait_stream = 30;
    std::uint32_t buffer_ms = 3000;
    std::int64_t max_lag_ms = 3000;
    std::int64_t max_stall_ms = 2000;
    double min_pace = 0.95;
    double min_frames = 0.95;
    pid_t server_pid = 0;
};

constexpr const char* usage_text =
    "Usage: rtmp_load --port PORT [options]\n"
    "       rtmp_load --free-port      (prints a free loopback port)\n"
    "\n"
    "Plays rtmp://HOST:PORT/APP/STREAM with N players and reports delivered\n"
    "throughput, players that kept up, and the server's CPU time.\n"
    "\n"
    "  --host ADDR          server address (127.0.0.1)\n"
    "  --app NAME           application (live)\n"
    "  --stream NAME        stream name (s)\n"
    "  --players N          players connected in one burst (10)\n"
    "  --threads N          io threads of this client (4)\n"
    "  --wait-stream S      seconds to wait for the stream to be live (30)\n"
    "  --ramp-timeout S     seconds for every player to receive media (60)\n"
    "  --warmup S           seconds played before the window (3)\n"
    "  --window S           the measured window in seconds (20)\n"
    "  --buffer-ms MS       buffer length the players announce (3000)\n"
    "  --server-pid PID     the server process whose CPU time and peak RSS count\n"
    "\n"
    "A player keeps up when it plays through the window and\n"
    "  --max-lag-ms MS      its newest media is at most this far behind the pace\n"
    "                       it had at its best (3000)\n"
    "  --max-stall-ms MS    it never waits longer for media (2000)\n"
    "  --min-pace F         its media time advances at least F times as fast as\n"
    "                       real time (0.95)\n"
    "  --min-frames F       it gets at least F of the video frames of that media\n"
    "                       time, at the onMetaData frame rate (0.95)\n";

[[noreturn]] void usage_error(const std::string& why) {
    std::fprintf(stderr, "rtmp_load: %s\n\n%s", why.c_str(), usage_text);
    std::exit(1);
}

options parse_options(int argc, char** argv) {
    options o;
    for (int i = 1; i < argc; ++i) {
        const std::string key = argv[i];
        if (i + 1 >= argc) {
            usage_error("missing value for " + key);
        }
        const std::string value = argv[++i];
        try {
            if (key == "--host") {
                o.host = value;
            } else if (key == "--port") {
                o.port = static_cast<unsigned short>(std::stoul(value));
            } else if (key == "--app") {
                o.app = value;
            } else if (key == "--stream") {
                o.stream = value;
            } else if (key == "--players") {
                o.players = std::stoul(value);
            } else if (key == "--threads") {
                o.threads = std::max<std::size_t>(1, std::stoul(value));
            } else if (key == "--wait-stream") {
                o.wait_stream = std::stod(value);
            } else if (key == "--ramp-timeout") {
                o.ramp_timeout = std::stod(value);
            } else if (key == "--warmup") {
                o.warmup = std::stod(value);
            } else if (key == "--window") {
                o.window = std::stod(value);
            } else if (key == "--buffer-ms") {
                o.buffer_ms = static_cast<std::uint32_t>(std::stoul(value));
            } else if (key == "--max-lag-ms") {
                o.max_lag_ms = std::stoll(value);
            } else if (key == "--max-stall-ms") {
                o.max_stall_ms = std::stoll(value);
            } else if (key == "--min-pace") {
                o.min_pace = std::stod(value);
            } else if (key == "--min-frames") {
                o.min_frames = std::stod(value);
            } else if (key == "--server-pid") {
                o.server_pid = static_cast<pid_t>(std::stol(value));
            } else {
                usage_error("unknown option " + key);
            }
        } catch (const std::logic_error&) {
            usage_error("bad value for " + key + ": " + value);
        }
    }
    if (o.port == 0) {
        usage_error("--port is required");
    }
    if (o.window <= 0) {
        usage_error("--window must be positive");
    }
    return o;
}

std::chrono::milliseconds seconds(double s) {
    return std::chrono::milliseconds(static_cast<std::int64_t>(s * 1000));
}

double seconds_between(steady_clock::time_point a, steady_clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

// One io_context per thread, each with the players it runs and the pool
// their blocks come from. A player's handlers all run on its lane's thread.
class io_lanes {
  public:
    struct lane {
        // Declared first so that it goes last: players and handlers hold its
        // blocks.
        block_malloc_array pool;
        boost::asio::io_context io;
        boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{
            io.get_executor()};
        std::vector<std::shared_ptr<load_player>> players;
        std::thread thread;
    };

    explicit io_lanes(std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            lanes_.push_back(std::make_unique<lane>());
        }
        for (auto& l : lanes_) {
            l->thread = std::thread([&io = l->io] { io.run(); });
        }
    }

    ~io_lanes() { stop(); }

    io_lanes(const io_lanes&) = delete;
    io_lanes& operator=(const io_lanes&) = delete;

    std::size_t size() const noexcept { return lanes_.size(); }
    lane& operator[](std::size_t i) { return *lanes_[i % lanes_.size()]; }

    // Runs `work(index, lane)` on every lane's thread, all at once, and waits
    // until each has run it.
    void on_each(const std::function<void(std::size_t, lane&)>& work) {
        std::latch done(static_cast<std::ptrdiff_t>(lanes_.size()));
        for (std::size_t i = 0; i < lanes_.size(); ++i) {
            boost::asio::post(lanes_[i]->io, [&work, &done, i, &l = *lanes_[i]] {
                work(i, l);
                done.count_down();
            });
        }
        done.wait();
    }

    // Runs `work` on one lane's thread and waits for it.
    void on(lane& l, const std::function<void()>& work) {
        std::latch done(1);
        boost::asio::post(l.io, [&work, &done] {
            work();
            done.count_down();
        });
        done.wait();
    }

    // Closes every player and lets each lane finish what is under way.
    void stop() {
        if (stopped_) {
            return;
        }
        stopped_ = true;
        on_each([](std::size_t, lane& l) {
            for (auto& p : l.players) {
                p->stop();
            }
        });
        for (auto& l : lanes_) {
            l->work.reset();
        }
        for (auto& l : lanes_) {
            l->thread.join();
        }
    }

  private:
    std::vector<std::unique_ptr<lane>> lanes_;
    bool stopped_ = false;
};

// Plays the stream with one player until media arrives: the players of the
// burst must find it live.
bool wait_for_stream(io_lanes& lanes, const bench::load_target& target, double timeout) {
    const auto deadline = steady_clock::now() + seconds(timeout);
    std::string last_failure = "no answer";
    while (steady_clock::now() < deadline) {
        auto& lane = lanes[0];
        auto probe = std::make_shared<load_player>(lane.io, target, lane.pool);
        boost::asio::post(lane.io, [probe] { probe->start(); });
        while (steady_clock::now() < deadline && !probe->receiving_media() &&
               probe->current_state() != load_player::state::failed) {
            std::this_thread::sleep_for(20ms);
        }
        const bool live = probe->receiving_media();
        player_sample last;
        lanes.on(lane, [&] {
            last = probe->sample(steady_clock::now());
            probe->stop();
        });
        if (live) {
            return true;
        }
        if (!last.failure.empty()) {
            last_failure = last.failure;
        }
        std::this_thread::sleep_for(250ms);
    }
    std::fprintf(stderr, "rtmp_load: the stream did not go live within %.0f s (%s)\n", timeout,
                 last_failure.c_str());
    return false;
}

// Every player's sample, lane by lane: the same order every time.
std::vector<player_sample> sample_all(io_lanes& lanes) {
    const auto now = steady_clock::now();
    std::vector<std::vector<player_sample>> by_lane(lanes.size());
    lanes.on_each([&](std::size_t index, io_lanes::lane& l) {
        for (auto& p : l.players) {
            by_lane[index].push_back(p->sample(now));
        }
    });
    std::vector<player_sample> samples;
    for (auto& lane_samples : by_lane) {
        std::move(lane_samples.begin(), lane_samples.end(), std::back_inserter(samples));
    }
    return samples;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

struct server_usage {
    std::optional<double> cpu_seconds;
    std::optional<std::uint64_t> peak_rss;
};

server_usage usage_of(pid_t pid) {
    if (pid == 0) {
        return {};
    }
    return {bench::process_cpu_seconds(pid), bench::process_peak_rss(pid)};
}

// Why a player did not keep up through the window, or nothing when it did.
std::optional<std::string> shortfall(const options& o, const player_sample& a,
                                     const player_sample& b, double window,
                                     double reference_framerate) {
    if (b.failed) {
        return "failed: " + b.failure;
    }
    if (!a.has_media || !b.playing) {
        return std::string("not playing through the window");
    }
    if (b.lag_ms > o.max_lag_ms) {
        return std::string("fell behind");
    }
    if (b.longest_gap_ms > o.max_stall_ms) {
        return std::string("stalled");
    }
    const double media_seconds = static_cast<double>(b.newest_media_ms - a.newest_media_ms) / 1000;
    if (media_seconds < o.min_pace * window) {
        return std::string("media slower than real time");
    }
    const double framerate = b.framerate > 0 ? b.framerate : reference_framerate;
    const auto frames = static_cast<double>(b.video_frames - a.video_frames);
    if (frames < o.min_frames * framerate * media_seconds) {
        return std::string("video frames missing");
    }
    return std::nullopt;
}

// What the players received in the window, and how many kept up.
struct window_figures {
    double seconds = 0;
    std::uint64_t delivered = 0;
    std::size_t kept_up = 0;
    std::map<std::string, std::size_t> shortfalls;
    std::vector<double> mbps, pace, frame_rates, lags, gaps;
    double stream_framerate = 0;
};

window_figures judge(const options& o, const std::vector<player_sample>& before,
                     const std::vector<player_sample>& after, double window) {
    window_figures f;
    f.seconds = window;
    // Without onMetaData the best-served player tells the frame rate.
    double best_rate = 0;
    for (std::size_t i = 0; i < after.size(); ++i) {
        const auto media_ms = after[i].newest_media_ms - before[i].newest_media_ms;
        if (media_ms > 0) {
            best_rate = std::max(
                best_rate, static_cast<double>(after[i].video_frames - before[i].video_frames) *
                               1000 / static_cast<double>(media_ms));
        }
        f.stream_framerate = std::max(f.stream_framerate, after[i].framerate);
    }
    for (std::size_t i = 0; i < after.size(); ++i) {
        const auto& a = before[i];
        const auto& b = after[i];
        const std::uint64_t bytes = b.bytes - a.bytes;
        f.delivered += bytes;
        f.mbps.push_back(static_cast<double>(bytes) * 8 / 1e6 / window);
        if (b.has_media && a.has_media) {
            const double media_seconds =
                static_cast<double>(b.newest_media_ms - a.newest_media_ms) / 1000;
            f.pace.push_back(media_seconds / window);
            f.frame_rates.push_back(media_seconds > 0
                                        ? static_cast<double>(b.video_frames - a.video_frames) /
                                              media_seconds
                                        : 0);
            f.lags.push_back(static_cast<double>(b.lag_ms));
            f.gaps.push_back(static_cast<double>(b.longest_gap_ms));
        }
        if (const auto why = shortfall(o, a, b, window, best_rate)) {
            ++f.shortfalls[*why];
        } else {
            ++f.kept_up;
        }
    }
    return f;
}

void print_figures(const options& o, const window_figures& f, std::optional<double> ramp_seconds,
                   const server_usage& server_before, const server_usage& server_after,
                   double client_cpu_seconds) {
    const double window = f.seconds;
    const double total_mbps = static_cast<double>(f.delivered) * 8 / 1e6 / window;
    std::printf("players %zu, %zu io threads, window %.1f s after a %.1f s warm-up\n", o.players,
                o.threads, window, o.warmup);
    if (ramp_seconds) {
        std::printf("ramp: every player received media %.2f s after the burst\n", *ramp_seconds);
    } else {
        std::printf("ramp: not every player received media within %.0f s\n", o.ramp_timeout);
    }
    std::printf("delivered: %.1f Mbit/s in all, per player median %.3f min %.3f max %.3f\n",
                total_mbps, percentile(f.mbps, 0.5), percentile(f.mbps, 0), percentile(f.mbps, 1));
    std::printf("media seconds per second: median %.3f min %.3f\n", percentile(f.pace, 0.5),
                percentile(f.pace, 0));
    std::printf("video frames per media second: median %.2f min %.2f (onMetaData: %.2f)\n",
                percentile(f.frame_rates, 0.5), percentile(f.frame_rates, 0), f.stream_framerate);
    std::printf("lag at the end (ms): median %.0f p99 %.0f max %.0f\n", percentile(f.lags, 0.5),
                percentile(f.lags, 0.99), percentile(f.lags, 1));
    std::printf("longest wait for media (ms): median %.0f p99 %.0f max %.0f\n",
                percentile(f.gaps, 0.5), percentile(f.gaps, 0.99), percentile(f.gaps, 1));
    std::printf("kept up: %zu / %zu\n", f.kept_up, o.players);
    for (const auto& [why, count] : f.shortfalls) {
        std::printf("  %zu x %s\n", count, why.c_str());
    }

    const double client_cpu_pct = client_cpu_seconds / window * 100;
    std::string server_fields;
    if (server_before.cpu_seconds && server_after.cpu_seconds) {
        const double cpu = *server_after.cpu_seconds - *server_before.cpu_seconds;
        const double per_gb = f.delivered > 0 ? cpu / (static_cast<double>(f.delivered) / 1e9) : 0;
        const double rss_mib =
            server_after.peak_rss ? static_cast<double>(*server_after.peak_rss) / 1048576 : 0;
        std::printf(
            "server: %.2f s CPU in the window (%.0f%% of one core), %.2f s per "
            "delivered GB, peak RSS %.1f MiB\n",
            cpu, cpu / window * 100, per_gb, rss_mib);
        char fields[256];
        std::snprintf(fields, sizeof fields,
                      " server_cpu_s=%.2f server_cpu_pct=%.0f cpu_s_per_gb=%.2f "
                      "server_peak_rss_mib=%.1f",
                      cpu, cpu / window * 100, per_gb, rss_mib);
        server_fields = fields;
    } else if (o.server_pid != 0) {
        std::printf("server: process %d could not be read (gone?)\n",
                    static_cast<int>(o.server_pid));
    }
    std::printf("client: %.0f%% of one core\n", client_cpu_pct);
    std::printf(
        "RESULT players=%zu kept_up=%zu total_mbps=%.1f per_player_mbps=%.3f "
        "ramp_s=%.2f client_cpu_pct=%.0f%s\n",
        o.players, f.kept_up, total_mbps,
        o.players ? total_mbps / static_cast<double>(o.players) : 0.0, ramp_seconds.value_or(-1),
        client_cpu_pct, server_fields.c_str());
}

// Seconds from the burst until every player receives media or has failed;
// nothing when the time runs out first.
std::optional<double> wait_for_ramp(io_lanes& lanes, std::size_t players,
                                    steady_clock::time_point burst, double timeout) {
    const auto deadline = burst + seconds(timeout);
    while (steady_clock::now() < deadline) {
        std::size_t settled = 0;
        for (std::size_t i = 0; i < players; ++i) {
            const auto& p = *lanes[i].players[i / lanes.size()];
            settled += p.receiving_media() || p.current_state() == load_player::state::failed;
        }
        if (settled == players) {
            return seconds_between(burst, steady_clock::now());
        }
        std::this_thread::sleep_for(20ms);
    }
    return std::nullopt;
}

int run(const options& o) {
    bench::load_target target;
    target.endpoint = {boost::asio::ip::make_address(o.host), o.port};
    target.app = o.app;
    target.stream = o.stream;
    target.tc_url = "rtmp://" + o.host + ":" + std::to_string(o.port) + "/" + o.app;
    target.buffer_ms = o.buffer_ms;

    io_lanes lanes(o.threads);
    if (!wait_for_stream(lanes, target, o.wait_stream)) {
        return 2;
    }

    // Players are dealt to the lanes round-robin.
    for (std::size_t i = 0; i < o.players; ++i) {
        auto& lane = lanes[i];
        lane.players.push_back(std::make_shared<load_player>(lane.io, target, lane.pool));
    }
    const auto burst = steady_clock::now();
    lanes.on_each([](std::size_t, io_lanes::lane& l) {
        for (auto& p : l.players) {
            p->start();
        }
    });
    const auto ramp_seconds = wait_for_ramp(lanes, o.players, burst, o.ramp_timeout);

    std::this_thread::sleep_for(seconds(o.warmup));
    const auto server_before = usage_of(o.server_pid);
    const double client_before = bench::own_cpu_seconds();
    const auto window_start = steady_clock::now();
    const auto before = sample_all(lanes);

    std::this_thread::sleep_for(seconds(o.window));
    const auto server_after = usage_of(o.server_pid);
    const double client_after = bench::own_cpu_seconds();
    const auto after = sample_all(lanes);
    const double window = seconds_between(window_start, steady_clock::now());
    lanes.stop();

    print_figures(o, judge(o, before, after, window), ramp_seconds, server_before, server_after,
                  client_after - client_before);
    return 0;
}

int print_free_port() {
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor acceptor(
        io, {boost::asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(0)});
    std::printf("%u\n", static_cast<unsigned>(acceptor.local_endpoint().port()));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        if (argc == 2 && std::string(argv[1]) == "--free-port") {
            return print_free_port();
        }
        if (argc == 2 && std::string(argv[1]) == "--help") {
            std::printf("%s", usage_text);
            return 0;
        }
        return run(parse_options(argc, argv));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "rtmp_load: %s\n", e.what());
        return 3;
    }
}
