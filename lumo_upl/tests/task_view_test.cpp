// The task table: its rows and states, the scheduler it drives, deleting
// tasks, and the password prompt when the site refuses the workers' code.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <QSignalSpy>
#include <QTableWidget>

#include <set>
#include <thread>

#include "lumo_upl/launch_code.hpp"
#include "lumo_upl/tests/media_samples.hpp"
#include "lumo_upl/tests/window_helpers.hpp"
#include "lumo_upl/tests/worker_fixture.hpp"
#include "lumo_upl/upload_task_view.hpp"

namespace {

namespace fs = std::filesystem;
using namespace lumo_upl;
using namespace lumo_upl_testing;
using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

const QString view_title = QStringLiteral("任务");

// A view over tasks that no worker touches (limits of 0), in the states
// given, with their captions "task <state>".
struct still_view {
    explicit still_view(const std::vector<std::int32_t>& states) {
        view.set_settings(&settings);
        view.set_title(view_title);
        show_still_tasks(view, folder / "work", states);
    }

    QStringList column(int index) const {
        QStringList texts;
        for (int row = 0; row < view.table()->rowCount(); ++row) {
            texts << view.table()->item(row, index)->text();
        }
        return texts;
    }

    platform::testing::temp_dir folder;
    boost::property_tree::ptree settings;
    upload_task_view view;
};

TEST(TaskView, ShowsEachStateWithItsTextAndColour) {
    still_view shown({0, 1, 2, 3, 5, 6});
    shown.view.tasks()->task_at(1).set_progress(42.9);
    shown.view.tasks()->task_at(3).set_progress(91.5);
    QSignalSpy changed(&shown.view, &upload_task_view::taskListChanged);
    shown.view.onUpdateTask();
    EXPECT_EQ(changed.count(), 0);

    QTableWidget& table = *shown.view.table();
    const QStringList headers = {"标题", "规格", "码率", "长度", "分类", "标签", "状态", "备注"};
    const int widths[] = {135, 50, 50, 70, 70, 82, 90, 180};
    ASSERT_EQ(table.columnCount(), 8);
    for (int column = 0; column < 8; ++column) {
        EXPECT_EQ(table.horizontalHeaderItem(column)->text(), headers[column]);
        EXPECT_EQ(table.columnWidth(column), widths[column]);
    }
    EXPECT_EQ(table.objectName(), "taskList");
    EXPECT_EQ(table.contextMenuPolicy(), Qt::CustomContextMenu);

    struct expected_state {
        QString text;
        QColor colour;
    };
    const expected_state states[] = {
        {" 正在排队", QColor(228, 160, 30)}, {" 正在转码 42%", QColor(221, 0, 0)},
        {" 转码完成", QColor(13, 61, 123)},  {" 正在上传 91%", QColor(37, 166, 13)},
        {" 转换失败", QColor(255, 0, 0)},    {" 上传失败", QColor(255, 0, 0)},
    };
    for (int row = 0; row < 6; ++row) {
        EXPECT_EQ(table.item(row, 6)->text(), states[row].text) << row;
        EXPECT_EQ(table.item(row, 6)->foreground().color(), states[row].colour) << row;
    }
    EXPECT_EQ(table.item(0, 0)->text(), " task 0");
    EXPECT_EQ(table.item(0, 1)->text(), " 高清");
    EXPECT_EQ(table.item(0, 2)->text(), " 900");
    EXPECT_EQ(table.item(0, 3)->text(), " 01:02:03");
    EXPECT_EQ(table.item(0, 4)->text(), " 新闻");
    EXPECT_EQ(table.item(1, 4)->text(), " 待分配");
    EXPECT_EQ(table.item(0, 5)->text(), " a b");
    EXPECT_EQ(table.item(0, 7)->text(), " 备注 0");
    for (int row = 0; row < table.rowCount(); ++row) {
        for (int column = 0; column < 8; ++column) {
            EXPECT_TRUE(table.item(row, column)->text().startsWith(' ')) << row << "," << column;
        }
    }
}

TEST(TaskView, AnUploadedTaskGoesWithinOneTick) {
    still_view shown({2, 4, 5, 4});
    QSignalSpy changed(&shown.view, &upload_task_view::taskListChanged);
    EXPECT_TRUE(run_until([&] { return changed.count() > 0; }, 2s));
    EXPECT_EQ(changed.count(), 1) << "one signal for all that went";
    EXPECT_THAT(shown.column(0), ElementsAre(" task 2", " task 5"));
    EXPECT_EQ(shown.view.tasks()->count(), 2u);
    EXPECT_EQ(shown.view.tasks()->task_at(1).state(), task_state::transcode_failed);
}

TEST(TaskView, DeletesTheCurrentTaskWhenTheOperatorSaysYes) {
    still_view shown({0, 5, 6});
    QSignalSpy changed(&shown.view, &upload_task_view::taskListChanged);
    modal_answerer answers;
    shown.view.onDeleteTask();  // no current row: nothing to ask
    shown.view.table()->setCurrentCell(1, 0);
    answers.message(view_title, QStringLiteral("你确定要删除任务: task 5"), QMessageBox::No)
        .message(view_title, QStringLiteral("你确定要删除任务: task 5"), QMessageBox::Yes,
                 "message_delete_task");
    shown.view.onDeleteTask();
    EXPECT_EQ(shown.view.tasks()->count(), 3u);
    EXPECT_EQ(changed.count(), 0);
    shown.view.onDeleteTask();
    EXPECT_THAT(shown.column(0), ElementsAre(" task 0", " task 6"));
    EXPECT_EQ(shown.view.tasks()->task_at(1).info().caption, "task 6");
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(answers.pending(), 0u);
    EXPECT_THAT(answers.failures(), IsEmpty());
}

TEST(TaskView, DeletesTheFailedTasksOnly) {
    still_view shown({6, 0, 5, 2, 1, 3, 5});
    QSignalSpy changed(&shown.view, &upload_task_view::taskListChanged);
    shown.view.onDeleteFailedTask();
    EXPECT_THAT(shown.column(0), ElementsAre(" task 0", " task 2", " task 1", " task 3"));
    EXPECT_EQ(shown.view.tasks()->count(), 4u);
    EXPECT_EQ(changed.count(), 1);
    shown.view.onDeleteFailedTask();
    EXPECT_EQ(changed.count(), 1) << "nothing failed, nothing said";
    EXPECT_TRUE(shown.view.any_transcoding());
    EXPECT_TRUE(shown.view.any_uploading());
}

TEST(TaskView, OnePromptForManyRefusalsAndTheAnswerMakesTheCode) {
    still_view shown({});
    const std::string code = encode_launch_code("0123456789abcdef", "old");
    shown.view.tasks()->set_launch_code(code);
    modal_answerer answers;
    answers.refuse_password().password({});

    // Workers refused at once, and again while the prompt is up.
    std::vector<std::thread> workers;
    for (int i = 0; i < 3; ++i) {
        workers.emplace_back([&] { shown.view.tasks()->request_password(); });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    EXPECT_TRUE(run_until([&] { return answers.pending() == 1; }, 5s));
    EXPECT_EQ(shown.view.tasks()->get_launch_code(), code) << "closing the box makes no code";

    shown.view.tasks()->request_password();
    EXPECT_TRUE(run_until([&] { return answers.pending() == 0; }, 5s));
    run_for(500ms);
    EXPECT_THAT(answers.failures(), IsEmpty()) << "one prompt per request";
    std::string user_id;
    std::string digest;
    ASSERT_TRUE(decode_launch_code(shown.view.tasks()->get_launch_code(), user_id, digest));
    EXPECT_EQ(user_id, "0123456789abcdef");
    EXPECT_EQ(shown.view.tasks()->get_launch_code(), encode_launch_code(user_id, ""))
        << "an empty password is used";
    EXPECT_TRUE(shown.view.password_prompt().password().isEmpty());
}

TEST(TaskView, LaunchCodesOf44CharactersReachTheWorkers) {
    still_view shown({});
    const std::string code = encode_launch_code("0123456789abcdef", "x");
    EXPECT_TRUE(shown.view.set_launch_code(code));
    EXPECT_EQ(shown.view.tasks()->get_launch_code(), code);
    EXPECT_FALSE(shown.view.set_launch_code(code.substr(1)));
    EXPECT_FALSE(shown.view.set_launch_code(code + "A"));
    EXPECT_EQ(shown.view.tasks()->get_launch_code(), code);
}

// Workers that upload: all refused with the list's code, then going on with
// the one the operator's password makes.
TEST(TaskView, RefusedWorkersGoOnWithThePasswordTyped) {
    REQUIRE_MEDIA();
    worker_session session({.retry_pause = std::chrono::milliseconds(50)});
    boost::property_tree::ptree settings;
    upload_task_view view;
    view.set_settings(&settings);
    std::vector<task_record> records;
    for (const char* name : {"T1", "T2", "T3"}) {
        records.push_back(place_transcoded_task(session.work_folder, name));
    }
    // A changed password: the site no longer takes the list's code.
    const std::string stale = reencode_launch_code(session.code, "old");
    auto tasks = std::make_unique<upload_tasks>(session.work_folder.string(), 2, 4,
                                                std::chrono::milliseconds(50));
    std::int32_t status = 0;
    std::string msg;
    ASSERT_TRUE(tasks->login(session.site.address(), session.code, status, msg)) << msg;
    tasks->set_launch_code(stale);
    add_task_records(*tasks, records);
    modal_answerer answers;
    answers.password(QStringLiteral("secret"));
    QSignalSpy changed(&view, &upload_task_view::taskListChanged);
    view.attach_tasks(std::move(tasks));
    for (std::size_t i = 0; i < view.tasks()->count(); ++i) {
        view.add_row(view.tasks()->task_at(i));
    }
    ASSERT_TRUE(run_until([&] { return view.table()->rowCount() == 0; }, 60s));
    std::set<std::string> refused_streams;
    for (const recorded_request& request : session.site.requests()) {
        if (request.fields.at("authToken") == stale) {
            refused_streams.insert(request.action + " " + std::to_string(request.call));
        }
    }
    EXPECT_GE(refused_streams.size(), 3u) << "every worker was refused";
    EXPECT_EQ(answers.pending(), 0u);
    EXPECT_THAT(answers.failures(), IsEmpty());
    EXPECT_EQ(view.tasks()->get_launch_code(), session.code);
    EXPECT_EQ(view.tasks()->count(), 0u);
    EXPECT_GE(changed.count(), 1);
    EXPECT_EQ(session.site.streams().size(), 3u);
    for (const std::string& name : session.site.streams().getMemberNames()) {
        EXPECT_TRUE(session.site.streams()[name]["complete"].asBool()) << name;
    }
}

}  // namespace
