// Upload throughput over loopback: the upload client's workers sending a
// recording in segment blocks to the fake site, one task and four at once,
// beside curl posting the same blocks as the same multipart form to the
// same site. Best of a few runs each; see bench/README.md.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/process_usage.hpp"
#include "foundation/segment_writer.hpp"
#include "lumo_upl/tests/worker_fixture.hpp"
#include "platform/testing/test_support.hpp"

namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;
using namespace lumo_upl;
using lumo_upl_testing::fake_site;
using lumo_upl_testing::site_checks;

constexpr const char* site_path = "/admin/index.php";

// Made-up video at about 1 Mbit/s, the rate of the client's best preset:
// 25 pictures a second, a keyframe every 2 s, so blocks of about 10 s and
// 1.3 MB.
constexpr std::size_t picture_bytes = 5000;
constexpr std::uint32_t picture_ms = 40;
constexpr std::uint32_t pictures_per_keyframe = 50;

// A recording of about `megabytes` as the transcoder leaves one in a
// task's folder; its number of blocks.
std::int32_t make_recording(const fs::path& folder, const std::string& name, int megabytes) {
    segment_writer writer(folder, name, false, true);
    std::vector<std::uint8_t> body(picture_bytes);
    std::mt19937 random(static_cast<unsigned>(std::hash<std::string>()(name)));
    std::generate(body.begin(), body.end(), [&] { return static_cast<std::uint8_t>(random()); });
    const std::uint64_t wanted = static_cast<std::uint64_t>(megabytes) << 20;
    std::uint64_t written = 0;
    for (std::uint32_t picture = 0; written < wanted; ++picture) {
        body[0] = picture % pictures_per_keyframe == 0 ? 0x17 : 0x27;  // AVC, key or not
        body[1] = 1;                                                   // a NAL unit
        body[2] = static_cast<std::uint8_t>(picture);
        writer.on_video(picture * picture_ms, body);
        written += body.size();
    }
    writer.end_as_vod();
    return static_cast<std::int32_t>(writer.index().segments.size());
}

std::uint64_t blocks_bytes(const upload_task& task) {
    std::uint64_t bytes = 0;
    for (std::int32_t block = 0; block < task.count_block(); ++block) {
        bytes += fs::file_size(task.segment_path(block));
    }
    return bytes;
}

struct measure {
    double wall = 1e300;  // seconds
    double client = 0;    // CPU seconds of the client side
    double site = 0;      // CPU seconds of the site
    std::uint64_t bytes = 0;
};

measure faster(const measure& a, const measure& b) {
    return a.wall <= b.wall ? a : b;
}

double site_cpu(const fake_site& site) {
    return bench::process_cpu_seconds(site.pid()).value_or(0);
}

// A task list of `count` transcoded tasks, each with its own copy of the
// recording, logged in to `site`.
struct bench_tasks {
    bench_tasks(fake_site& site, const fs::path& work, int count, int megabytes)
        : tasks(work.string(), 2, 4) {
        const std::string code = lumo_upl_testing::accepted_code(site, "bench");
        std::int32_t status = 0;
        std::string msg;
        if (!tasks.login(site.address(), code, status, msg)) {
            throw std::runtime_error("login refused: " + msg);
        }
        std::vector<task_record> records;
        for (int i = 0; i < count; ++i) {
            task_record record;
            record.state = task_state::transcoded;
            record.info.caption = "bench " + std::to_string(i);
            record.local_file_name = std::string("T").append(std::to_string(i));
            record.count_block =
                make_recording(work / record.local_file_name, record.local_file_name, megabytes);
            records.push_back(record);
        }
        lumo_upl_testing::add_task_records(tasks, records);
    }

    upload_tasks tasks;
};

// The workers, driven as the task view drives them.
measure upload_with_workers(const fs::path& work, int count, int megabytes) {
    fake_site site(site_path, site_checks::lenient);
    bench_tasks made(site, work, count, megabytes);
    upload_tasks& tasks = made.tasks;

    measure result;
    const double site_before = site_cpu(site);
    const double cpu_before = bench::own_cpu_seconds();
    const auto start = clock_type::now();
    if (!lumo_upl_testing::schedule_until(
            tasks, [&] { return lumo_upl_testing::all_in_state(tasks, task_state::uploaded); }, {},
            std::chrono::minutes(10))) {
        throw std::runtime_error("the upload did not end: " + tasks.task_at(0).log_text());
    }
    result.wall = std::chrono::duration<double>(clock_type::now() - start).count();
    result.client = bench::own_cpu_seconds() - cpu_before;
    result.site = site_cpu(site) - site_before;
    for (std::size_t i = 0; i < tasks.count(); ++i) {
        result.bytes += blocks_bytes(tasks.task_at(i));
    }
    return result;
}

// The same blocks, one curl a stream (its start paid once) and one
// connection a block (as the client makes them), the tasks' streams side by
// side.
measure upload_with_curl(const fs::path& work, int count, int megabytes) {
    fake_site site(site_path, site_checks::lenient);
    bench_tasks made(site, work, count, megabytes);
    upload_tasks& tasks = made.tasks;
    const std::string code = tasks.get_launch_code();
    std::vector<std::string> streams;
    for (std::size_t i = 0; i < tasks.count(); ++i) {
        lumo_channel_uploader uploader(site.address());
        uploader.set_auth_token(code);
        streams.push_back(uploader.create_upload("", tasks.task_at(i).count_block()));
    }

    measure result;
    const double site_before = site_cpu(site);
    const double cpu_before = bench::children_cpu_seconds();
    const auto start = clock_type::now();
    std::vector<std::thread> posting;
    std::vector<std::exception_ptr> failures(tasks.count());
    for (std::size_t i = 0; i < tasks.count(); ++i) {
        posting.emplace_back([&, i] {
            try {
                const upload_task& task = tasks.task_at(i);
                std::vector<std::string> arguments = {"curl"};
                for (std::int32_t block = 0; block < task.count_block(); ++block) {
                    const fs::path file = task.segment_path(block);
                    if (block > 0) {
                        arguments.push_back("--next");
                    }
                    arguments.insert(
                        arguments.end(),
                        {"--silent", "--show-error", "--fail", "--http1.0", "--output", "/dev/null",
                         "--form-string", "authToken=" + code, "--form-string",
                         "blockSize=" + std::to_string(fs::file_size(file)), "--form-string",
                         "currentBlock=" + std::to_string(block), "--form-string",
                         "streamName=" + streams[i], "--form",
                         "uploadBlock=@" + file.string() + ";type=application/octet-stream",
                         site.address() + "?c=api&a=uploadBlock"});
                }
                const auto curl =
                    platform::testing::run(std::move(arguments), std::chrono::minutes(10));
                if (curl.exit_code != 0) {
                    throw std::runtime_error("curl failed: " + curl.err);
                }
            } catch (...) {
                failures[i] = std::current_exception();
            }
        });
    }
    for (std::thread& thread : posting) {
        thread.join();
    }
    result.wall = std::chrono::duration<double>(clock_type::now() - start).count();
    result.client = bench::children_cpu_seconds() - cpu_before;
    result.site = site_cpu(site) - site_before;
    for (const std::exception_ptr& failure : failures) {
        if (failure) {
            std::rethrow_exception(failure);
        }
    }
    const Json::Value held = site.streams();
    for (std::size_t i = 0; i < tasks.count(); ++i) {
        if (held[streams[i]]["expected"].asInt() != tasks.task_at(i).count_block()) {
            throw std::runtime_error("the site did not take every block from curl");
        }
        result.bytes += blocks_bytes(tasks.task_at(i));
    }
    return result;
}

void print(const char* who, int count, const measure& m) {
    const double megabytes = m.bytes / 1048576.0;
    std::printf("%-8s %5d %8.1f | %7.2f %8.1f %9.2f %8.2f | %8.2f\n", who, count, megabytes, m.wall,
                megabytes / m.wall, m.client, m.client / megabytes * 100, m.site);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "Usage: upload_bench WORK_FOLDER [MEGABYTES] [RUNS]\n");
        return 2;
    }
    try {
        const fs::path work = argv[1];
        const int megabytes = argc > 2 ? std::max(1, std::atoi(argv[2])) : 100;
        const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
        std::printf("%-8s %5s %8s | %7s %8s %9s %8s | %8s\n", "client", "tasks", "MB", "s", "MB/s",
                    "CPU s", "CPU/100MB", "site CPU");
        for (int count : {1, 4}) {
            measure ours;
            measure theirs;
            // The two take turns, so that other work on the machine weighs
            // on both alike.
            for (int run = 0; run < runs; ++run) {
                fs::remove_all(work / "ours");
                ours = faster(ours, upload_with_workers(work / "ours", count, megabytes));
                fs::remove_all(work / "ours");
                fs::remove_all(work / "curl");
                theirs = faster(theirs, upload_with_curl(work / "curl", count, megabytes));
                fs::remove_all(work / "curl");
            }
            print("workers", count, ours);
            print("curl", count, theirs);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "upload_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
