#pragma once

// What the tests of the task workers share: a task list logged in to the
// fake site, a recording made once per test program for tasks that start
// transcoded, the scheduler driven as the task view drives it, and what
// the site received.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "lumo_upl/tests/fake_site.hpp"
#include "lumo_upl/upload_tasks.hpp"
#include "platform/testing/test_support.hpp"

namespace lumo_upl_testing {

// Appends the tasks as the task file brings them back.
void add_task_records(lumo_upl::upload_tasks& tasks,
                      const std::vector<lumo_upl::task_record>& records);

// A launch code of its own that the site accepts.
std::string accepted_code(fake_site& site, const std::string& password);

// A home folder, a work folder, the fake site and a task list logged in to
// it, with the workers' pause and the free-space cycle given. Members go in
// reverse: the list's threads are joined before the site stops.
struct worker_session {
    struct options {
        std::chrono::milliseconds retry_pause{50};
        std::chrono::milliseconds free_size_cycle{1000};
        int max_transcoding = 2;
        int max_uploading = 4;
    };

    worker_session() : worker_session(options{}) {}
    explicit worker_session(const options& chosen);

    scoped_home home;
    platform::testing::temp_dir root;
    std::filesystem::path work_folder;
    fake_site site;
    std::string code;
    lumo_upl::upload_tasks tasks;
};

// A recording as a transcoded task keeps it: W/N/N.zpksegments,
// W/N/N.segments/<k>.zpksegment and W/N/thumbnail_c1.jpg to _c6.jpg. Made
// once per test program by the transcoder from a 23-second clip (three
// blocks), with plain pictures as thumbnails.
struct recording {
    std::filesystem::path folder;
    std::string name;
    std::int32_t count_block = 0;
    lumo_upl::converted_parameters converted;
};
const recording& shared_recording();

// A transcoded task whose files are a copy of the recording under the
// local name `name` in the work folder, as the task file brings it back.
lumo_upl::task_record place_transcoded_task(const std::filesystem::path& work_folder,
                                            const std::string& name);

// Whether every task of the list is in `state`.
bool all_in_state(const lumo_upl::upload_tasks& tasks, std::int32_t state);

// Calls schedule() as the task view's timer does (more often) until `done`
// holds; `after_each_call` sees the list after every call. False when the
// time runs out.
bool schedule_until(lumo_upl::upload_tasks& tasks, const std::function<bool()>& done,
                    const std::function<void()>& after_each_call = {},
                    std::chrono::milliseconds timeout = std::chrono::seconds(60));

// The site's requests of the upload, in order: "createUpload",
// "uploadBlock 2", "uploadThumbnail 5", "completeUpload", "cancelUpload";
// "uploadBlock ?" for one that was cut short.
std::vector<std::string> upload_requests(fake_site& site);

// Whether the site holds the task's upload complete: its stream with the
// blocks 0 to countBlock-1, the index file and the thumbnails that exist,
// byte for byte as the task has them, and the completion fields of the
// task's texts and converted parameters.
::testing::AssertionResult site_holds_upload(fake_site& site, const lumo_upl::upload_task& task);

}  // namespace lumo_upl_testing
