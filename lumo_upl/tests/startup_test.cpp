// The main window's start-up in this process against the fake site: the
// launch code's checks, the work folder, the login with its password
// prompt, the task file, and what the window is afterwards.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>
#include <QApplication>
#include <QComboBox>
#include <QTableWidget>
#include <QTimer>

#include <boost/property_tree/ptree.hpp>

#include "lumo_upl/client_main.hpp"
#include "lumo_upl/launch_code.hpp"
#include "lumo_upl/media_probe.hpp"
#include "lumo_upl/task_file.hpp"
#include "lumo_upl/tests/window_helpers.hpp"
#include "lumo_upl/tests/worker_fixture.hpp"
#include "lumo_upl/upload_task_view.hpp"
#include "lumo_upl/work_folder.hpp"

namespace {

namespace fs = std::filesystem;
using namespace lumo_upl_testing;
using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

QStringList items_of(const QComboBox& list) {
    QStringList items;
    for (int i = 0; i < list.count(); ++i) {
        items << list.itemText(i);
    }
    return items;
}

QStringList column_of(const QTableWidget& table, int column) {
    QStringList texts;
    for (int row = 0; row < table.rowCount(); ++row) {
        texts << table.item(row, column)->text();
    }
    return texts;
}

void save_task_list(const client_session& session, const std::vector<std::string>& captions) {
    std::vector<lumo_upl::task_record> records;
    for (const std::string& caption : captions) {
        lumo_upl::task_record record;
        record.state = lumo_upl::task_state::transcode_failed;
        record.info.caption = caption;
        record.info.path = "/nowhere/" + caption + ".mp4";
        records.push_back(record);
    }
    lumo_upl::upload_tasks tasks(session.work_folder().string(), 0, 0);
    add_task_records(tasks, records);
    ASSERT_TRUE(lumo_upl::save_task_file(tasks, session.instance()));
}

std::string saved_work_folder() {
    return lumo_upl::load_settings().get<std::string>("config.work_folder", "");
}

bool timer_running(const lumo_uploader& window, const char* name, int interval_ms) {
    const auto* timer = window.findChild<QTimer*>(QLatin1String(name));
    return timer != nullptr && timer->isActive() && timer->interval() == interval_ms;
}

// The start-up has ended the window: no modal window is open and no
// expected answer is left; a moment more shows that nothing follows.
void expect_ended(lumo_uploader& window, modal_answerer& answers) {
    EXPECT_TRUE(run_until([&] { return answers.pending() == 0 && !window.isVisible(); }));
    run_for(300ms);
    EXPECT_FALSE(window.isVisible());
    EXPECT_FALSE(window.loaded());
    EXPECT_THAT(answers.failures(), IsEmpty());
}

TEST(Startup, LogsInShowsTheTasksAndOpensThePicker) {
    client_session session;
    session.keep_work_folder();
    Json::Value categories(Json::arrayValue);
    for (const char* name : {"全部", "新闻", "Sports"}) {
        categories.append(name);
    }
    session.site.set_categories(categories);
    save_task_list(session, {"first talk", "第二讲"});

    modal_answerer answers;
    const auto window = session.launch(session.code);
    // Read by the window already; the start-up writes it again.
    fs::remove(lumo_upl::settings_file_path());
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(window->isEnabled());
    bool checked = false;
    answers.pick_files({}, [&] {
        checked = true;
        EXPECT_TRUE(window->isVisible());
        EXPECT_TRUE(window->isEnabled());
        EXPECT_TRUE(window->loaded());
        EXPECT_TRUE(window->picking_files());
        EXPECT_TRUE(window->is_queue_owner());
        auto& dialog = window->add_dialog();
        const QStringList expected = {QStringLiteral("待分配"), QStringLiteral("新闻"),
                                      QStringLiteral("Sports")};
        EXPECT_EQ(items_of(*dialog.findChild<QComboBox*>(QStringLiteral("catList"))), expected);
        EXPECT_EQ(items_of(*dialog.findChild<QComboBox*>(QStringLiteral("catList2"))), expected);
        EXPECT_EQ(column_of(*window->task_view().table(), 0),
                  (QStringList{QStringLiteral(" first talk"), QStringLiteral(" 第二讲")}));
        EXPECT_TRUE(timer_running(*window, "saveTimer", 5000));
        EXPECT_TRUE(timer_running(*window, "ipcTimer", 500));
        EXPECT_EQ(saved_work_folder(), session.work_folder().string());
        screenshot(*window, "main_window_started");
    });
    ASSERT_TRUE(run_until([&] { return answers.pending() == 0 && !window->picking_files(); }));
    EXPECT_TRUE(checked);
    EXPECT_THAT(answers.failures(), IsEmpty());
    EXPECT_EQ(window->task_view().tasks()->get_launch_code(), session.code);
    EXPECT_EQ(session.site.requests().front().action, "getCategoryList");
}

TEST(Startup, AsksForThePasswordWhileTheSiteRefusesIt) {
    client_session session;
    session.keep_work_folder();
    const std::string old_code = lumo_upl::reencode_launch_code(session.code, "old password");

    modal_answerer answers;
    answers.password(QStringLiteral("wrong"), "password_box")
        .password(QStringLiteral("secret"))
        .pick_files({});
    const auto window = session.launch(old_code);
    ASSERT_TRUE(run_until([&] { return answers.pending() == 0 && !window->picking_files(); }));
    EXPECT_THAT(answers.failures(), IsEmpty());
    ASSERT_TRUE(window->loaded());
    EXPECT_EQ(window->task_view().tasks()->get_launch_code(), session.code);
    std::vector<std::string> tokens;
    for (const recorded_request& request : session.site.requests()) {
        tokens.push_back(request.fields.at("authToken"));
    }
    ASSERT_GE(tokens.size(), 3u);
    EXPECT_EQ(tokens[0], old_code);
    EXPECT_EQ(tokens[1], lumo_upl::reencode_launch_code(session.code, "wrong"));
    EXPECT_EQ(tokens[2], session.code);
    EXPECT_TRUE(window->task_view().password_prompt().password().isEmpty());
}

TEST(Startup, ClosingThePasswordBoxEndsWithoutAnotherWord) {
    client_session session;
    session.keep_work_folder();
    modal_answerer answers;
    answers.refuse_password();
    const auto window = session.launch(lumo_upl::reencode_launch_code(session.code, "old"));
    expect_ended(*window, answers);
    EXPECT_EQ(session.site.requests().size(), 1u) << "no new code was tried";
}

TEST(Startup, AnotherRefusalShowsItsMessageAndEnds) {
    struct refusal {
        const char* what;
        Json::Value reply;
        QString message;
    };
    Json::Value maintenance;
    maintenance["status"] = "5";
    maintenance["msg"] = "站点维护中";
    Json::Value no_status;
    no_status["msg"] = "hello";
    for (const refusal& r :
         {refusal{"the site's message", maintenance, QStringLiteral("站点维护中")},
          refusal{"a local one", no_status, QStringLiteral("Bad server response")}}) {
        client_session session;
        session.keep_work_folder();
        Json::Value entry;
        entry["action"] = "getCategoryList";
        entry["reply"] = r.reply;
        session.site.script(entry);
        modal_answerer answers;
        answers.message(main_title, r.message);
        const auto window = session.launch(session.code);
        expect_ended(*window, answers);
        EXPECT_EQ(window->task_view().tasks(), nullptr) << r.what;
    }
}

TEST(Startup, BadLaunchesEndWithTheirMessage) {
    client_session session;
    session.keep_work_folder();
    struct bad_launch {
        std::string code;
        QString message;
    };
    const bad_launch launches[] = {
        {"", QStringLiteral("请在Web管理系统中启动本程序")},
        {session.code.substr(1), QStringLiteral("不正确的验证码格式")},
        {session.code + "=", QStringLiteral("不正确的验证码格式")},
        {std::string(44, '*'), QStringLiteral("不正确的验证码格式")},
    };
    for (const bad_launch& launch : launches) {
        modal_answerer answers;
        answers.message(main_title, launch.message, QMessageBox::Ok,
                        launch.code.empty() ? "message_no_launch" : "message_bad_code");
        const auto window = session.launch(launch.code);
        expect_ended(*window, answers);
    }
    EXPECT_THAT(session.site.requests(), IsEmpty());
}

// Takes the site's lock as another process would: one that has made no
// queue, because it is starting or because it is ending and waits for its
// workers.
struct lock_taken_elsewhere {
    explicit lock_taken_elsewhere(const client_session& session) {
        fs::create_directories(lumo_upl::data_folder());
        const fs::path lock = lumo_upl::data_folder() / (session.instance() + ".lock");
        held = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        EXPECT_GE(held, 0);
        EXPECT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
    }
    ~lock_taken_elsewhere() { let_go(); }
    void let_go() {
        if (held >= 0) {
            ::close(held);
            held = -1;
        }
    }
    int held = -1;
};

TEST(Startup, WaitsWhileTheLockIsHeldWithoutAQueue) {
    client_session session;
    session.keep_work_folder();
    lock_taken_elsewhere other(session);
    modal_answerer answers;
    answers.pick_files({});
    const auto window = session.launch(session.code);
    run_for(1500ms);
    EXPECT_FALSE(window->isVisible());
    EXPECT_THAT(session.site.requests(), IsEmpty()) << "no login before the lock is had";

    other.let_go();
    ASSERT_TRUE(run_until([&] { return window->loaded() && answers.pending() == 0; }));
    EXPECT_TRUE(window->is_queue_owner());
    EXPECT_THAT(answers.failures(), IsEmpty());
}

TEST(Startup, AQueueThatCannotBeReachedEnds) {
    client_session session;
    session.keep_work_folder();
    lock_taken_elsewhere other(session);
    modal_answerer answers;
    answers.message(main_title, QStringLiteral("不能访问IPC消息队列"), QMessageBox::Ok,
                    "message_no_queue");
    const auto window = session.launch(session.code);
    window->set_instance_patience(1s);
    expect_ended(*window, answers);
    EXPECT_THAT(session.site.requests(), IsEmpty());
}

TEST(Startup, WithoutAWorkFolderTheOperatorChoosesOne) {
    client_session session;
    const fs::path small = session.root / "small";
    const fs::path blocked = session.root / "blocked";
    const fs::path chosen = session.root / "chosen";
    for (const fs::path& folder : {small, blocked, chosen}) {
        fs::create_directories(folder);
    }
    // A file where the work folder would go; permissions stop no root.
    platform::testing::write_file(blocked / "lumo_work_folder", "in the way");

    modal_answerer answers;
    answers
        .message(main_title,
                 QStringLiteral("你尚未设置临时工作目录或者之前设置的临时工作目录已经失效，点击OK"
                                "后选择工作目录"),
                 QMessageBox::Ok, "message_no_work_folder")
        .choose_folder(QString::fromStdString(small.string()))
        .message(main_title, QStringLiteral("你选择的工作目录剩余空间不足1GB，请选择另外的文件夹."),
                 QMessageBox::Ok, "message_work_folder_small")
        .choose_folder(QString::fromStdString(blocked.string()))
        .message(main_title, QStringLiteral("选择的文件夹不可写, 请选择另外的文件夹."),
                 QMessageBox::Ok, "message_work_folder_not_writable")
        .choose_folder(QString::fromStdString(chosen.string()))
        .pick_files({});
    const auto window = session.launch(session.code);
    std::vector<fs::path> asked;
    window->task_view().set_free_space_query([&](const fs::path& folder) {
        asked.push_back(folder);
        return std::optional<std::uint64_t>(folder == small ? lumo_upl::min_work_folder_space - 1
                                                            : lumo_upl::min_work_folder_space);
    });
    ASSERT_TRUE(run_until([&] { return answers.pending() == 0 && !window->picking_files(); }));
    EXPECT_THAT(answers.failures(), IsEmpty());
    EXPECT_THAT(asked, ElementsAre(small, blocked, chosen));
    ASSERT_TRUE(window->loaded());
    const std::string work_folder = (chosen / "lumo_work_folder").string();
    EXPECT_EQ(window->task_view().tasks()->get_work_folder(), work_folder);
    EXPECT_TRUE(fs::is_directory(work_folder));
    EXPECT_EQ(saved_work_folder(), work_folder);
    EXPECT_EQ(platform::testing::read_file(blocked / "lumo_work_folder"), "in the way");
}

TEST(Startup, CancellingTheFolderChoiceEnds) {
    client_session session;
    modal_answerer answers;
    answers
        .message(main_title,
                 QStringLiteral("你尚未设置临时工作目录或者之前设置的临时工作目录已经失效，"
                                "点击OK后选择工作目录"))
        .choose_folder({});
    const auto window = session.launch(session.code);
    window->task_view().set_free_space_query(plenty_of_space);
    expect_ended(*window, answers);
    EXPECT_THAT(session.site.requests(), IsEmpty());
    EXPECT_EQ(saved_work_folder(), "");
}

TEST(Program, WithoutItsMediaLibraryEndsWithCode4BeforeAnyWindow) {
    if (av_manager() != nullptr) {
        GTEST_SKIP() << "this process has loaded the media library already";
    }
    client_session session;
    platform::testing::temp_dir program_folder;  // no libquendle.so in it
    modal_answerer answers;
    answers.message(QStringLiteral("严重错误"), QStringLiteral("音视频库未能加载成功!"),
                    QMessageBox::Ok, "message_no_media_library");
    const std::string argument = "ostra://" + session.site.address() + ",+" + session.code;
    const char* argv[] = {"lumo_upl", argument.c_str(), nullptr};
    EXPECT_EQ(client_main(2, argv, program_folder.path()), 4);
    EXPECT_EQ(answers.pending(), 0u);
    EXPECT_THAT(answers.failures(), IsEmpty());
    EXPECT_THAT(QApplication::topLevelWidgets(), IsEmpty());
    EXPECT_THAT(session.site.requests(), IsEmpty());
}

}  // namespace
