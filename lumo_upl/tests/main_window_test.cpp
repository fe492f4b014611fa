// The main window: its widgets, the info strip, dragging, closing, and
// videos added through the picker and the add-task dialog.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <QApplication>
#include <QFileDialog>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include "lumo_upl/task_file.hpp"
#include "lumo_upl/tests/media_samples.hpp"
#include "lumo_upl/tests/window_helpers.hpp"
#include "lumo_upl/tests/worker_fixture.hpp"
#include "lumo_upl/upload_task_view.hpp"

namespace {

namespace fs = std::filesystem;
using namespace lumo_upl;
using namespace lumo_upl_testing;
using namespace std::chrono_literals;
using ::testing::IsEmpty;

// A main window whose start-up never runs, over tasks that no worker
// touches, in the states given.
struct still_window {
    explicit still_window(const std::vector<std::int32_t>& states) {
        window.findChild<QTimer*>(QStringLiteral("startupTimer"))->stop();
        show_still_tasks(window.task_view(), folder / "work", states);
    }

    scoped_home home;
    platform::testing::temp_dir folder;
    lumo_uploader window;
};

TEST(MainWindow, IsBuiltAsTheClientsWindow) {
    still_window shown({0, 1, 2, 3, 5, 6});
    lumo_uploader& window = shown.window;
    EXPECT_EQ(window.objectName(), "lumo_main");
    EXPECT_EQ(window.windowTitle(), main_title);
    EXPECT_EQ(window.size(), QSize(766, 500));
    EXPECT_TRUE(window.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_TRUE(window.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(window.isVisible());
    EXPECT_FALSE(window.isEnabled());
    EXPECT_FALSE(window.windowIcon().isNull());

    const auto style = [&](const char* name) {
        QWidget* widget = window.findChild<QWidget*>(QLatin1String(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget != nullptr ? widget->styleSheet() : QString();
    };
    EXPECT_EQ(style("frame"), "background-color: rgb(57, 57, 57);\ncolor: rgba(5, 5, 5);");
    EXPECT_EQ(style("frameInfo"), "background-color: rgb(36, 36, 36);\ncolor:  rgb(42, 42, 42);");
    EXPECT_EQ(style("btnAddVideo"), "border:0px");
    EXPECT_EQ(style("btnMin"), "border: 0px");
    EXPECT_EQ(style("btnClose"), "border: 0px");
    for (const char* name :
         {"centralWidget", "btnLogo", "btnTitle", "taskList", "line", "line_2", "line_3"}) {
        EXPECT_NE(window.findChild<QWidget*>(QLatin1String(name)), nullptr) << name;
    }
    auto* layout = window.findChild<QVBoxLayout*>(QStringLiteral("verticalLayout"));
    ASSERT_NE(layout, nullptr);
    EXPECT_EQ(layout->spacing(), 0);
    EXPECT_EQ(layout->contentsMargins(), QMargins());
    EXPECT_TRUE(window.findChild<QPushButton*>(QStringLiteral("btnLogo"))->isFlat());
    EXPECT_TRUE(window.findChild<QPushButton*>(QStringLiteral("btnTitle"))->isFlat());

    struct label_case {
        const char* name;
        QString text;
        QString style;
    };
    const QString caption = QStringLiteral("color: rgb(255,255,255, 180)");
    const QString value = QStringLiteral("color: rgb(0,150,0)");
    const label_case labels[] = {
        {"label", "服务器磁盘空间", caption}, {"label_2", "本次上传大小", caption},
        {"label_3", "上传速度", caption},     {"labelServerFree", "0 M", value},
        {"labelUploadSize", "0 M", value},    {"labelUploadSpeed", "0 Kbps", value},
    };
    for (const label_case& l : labels) {
        auto* label = window.findChild<QLabel*>(QLatin1String(l.name));
        ASSERT_NE(label, nullptr) << l.name;
        EXPECT_EQ(label->text(), l.text) << l.name;
        EXPECT_EQ(label->styleSheet(), l.style) << l.name;
    }
    EXPECT_EQ(window.add_dialog().windowTitle(), main_title);

    window.setEnabled(true);
    window.task_view().tasks()->task_at(1).set_progress(42);
    window.task_view().tasks()->task_at(3).set_progress(91.5);
    window.show();
    window.task_view().onUpdateTask();
    screenshot(window, "main_window_task_states");
}

TEST(MainWindow, DragsWithTheLeftButton) {
    still_window shown({});
    lumo_uploader& window = shown.window;
    window.setEnabled(true);
    window.show();
    window.move(50, 60);
    ASSERT_TRUE(run_until([&] { return window.pos() == QPoint(50, 60); }));
    const auto send = [&](QEvent::Type type, QPoint global, Qt::MouseButton button,
                          Qt::MouseButtons buttons) {
        QMouseEvent event(type, window.mapFromGlobal(global), global, button, buttons,
                          Qt::NoModifier);
        QCoreApplication::sendEvent(&window, &event);
    };
    send(QEvent::MouseButtonPress, {100, 100}, Qt::LeftButton, Qt::LeftButton);
    send(QEvent::MouseMove, {130, 90}, Qt::NoButton, Qt::LeftButton);
    EXPECT_EQ(window.pos(), QPoint(80, 50)) << "moved by the pointer's travel";
    send(QEvent::MouseMove, {140, 95}, Qt::NoButton, Qt::LeftButton);
    EXPECT_EQ(window.pos(), QPoint(90, 55));
    send(QEvent::MouseButtonRelease, {140, 95}, Qt::LeftButton, Qt::NoButton);
    send(QEvent::MouseMove, {200, 200}, Qt::NoButton, Qt::LeftButton);
    EXPECT_EQ(window.pos(), QPoint(90, 55)) << "released: no more moving";

    send(QEvent::MouseButtonPress, {100, 100}, Qt::RightButton, Qt::RightButton);
    send(QEvent::MouseMove, {150, 150}, Qt::NoButton, Qt::RightButton);
    EXPECT_EQ(window.pos(), QPoint(90, 55)) << "the right button drags nothing";
}

TEST(MainWindow, ClosingDuringStartUpAsksNothing) {
    client_session session;
    session.keep_work_folder();
    modal_answerer answers;
    const auto window = session.launch(session.code);
    EXPECT_TRUE(window->close());
    run_for(500ms);
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(window->loaded()) << "the start-up does not run after the close";
    EXPECT_THAT(answers.failures(), IsEmpty());
    EXPECT_THAT(session.site.requests(), IsEmpty());
}

TEST(MainWindow, AsksBeforeClosingOnUnfinishedWork) {
    client_session session;
    session.keep_work_folder();
    modal_answerer answers;
    const auto window = started_client(session, answers);
    ASSERT_TRUE(window->loaded());
    // Two tasks put in the states asked about, in a list whose limits
    // start no worker.
    window->task_view().attach_tasks(
        std::make_unique<upload_tasks>(session.work_folder().string(), 0, 0));
    upload_tasks& tasks = *window->task_view().tasks();
    std::string error;
    ASSERT_TRUE(tasks.add_task({.caption = "a", .path = "/nowhere/a.mp4"}, error));
    ASSERT_TRUE(tasks.add_task({.caption = "b", .path = "/nowhere/b.mp4"}, error));
    const QString transcoding = QStringLiteral(
        "还有任务尚未完成转码，此时退出将导致正在进行的转码的任务从头开始，你确定要退出吗？");
    const QString uploading = QStringLiteral(
        "还有任务尚未完成上传，这些任务将在下次开启本软件时继续上传，你确定要退出吗？");
    struct closing_case {
        std::int32_t first;
        std::int32_t second;
        QString question;  // none: closes without asking
        QMessageBox::StandardButton answer;
        bool closes;
    };
    const closing_case cases[] = {
        {task_state::transcoding, task_state::uploading, transcoding, QMessageBox::No, false},
        {task_state::transcoding, task_state::queued, transcoding, QMessageBox::Yes, true},
        {task_state::transcode_failed, task_state::uploading, uploading, QMessageBox::No, false},
        {task_state::transcoded, task_state::uploading, uploading, QMessageBox::Yes, true},
        {task_state::transcoded, task_state::upload_failed, {}, QMessageBox::NoButton, true},
    };
    int number = 0;
    for (const closing_case& c : cases) {
        tasks.task_at(0).set_state(c.first);
        tasks.task_at(1).set_state(c.second);
        window->show();
        if (!c.question.isEmpty()) {
            answers.message(main_title, c.question, c.answer,
                            number == 0 ? "message_close_transcoding" : "");
        }
        EXPECT_EQ(window->close(), c.closes) << number;
        EXPECT_EQ(window->isVisible(), !c.closes) << number;
        EXPECT_EQ(answers.pending(), 0u) << number;
        ++number;
    }
    EXPECT_THAT(answers.failures(), IsEmpty());
}

TEST(MainWindow, SavingRefreshesTheInfoStripAndWritesTheTaskFile) {
    client_session session;
    session.keep_work_folder();
    modal_answerer answers;
    const auto window = started_client(session, answers);
    ASSERT_TRUE(window->loaded());
    upload_tasks& tasks = *window->task_view().tasks();
    ASSERT_TRUE(run_until([&] { return tasks.free_size() != 0; }));
    tasks.add_uploaded_bytes(1536);
    tasks.set_speed_kbps(128);
    const fs::path task_file = task_file_path(session.instance());
    fs::remove(task_file);
    window->onSaveTasks();
    EXPECT_EQ(window->findChild<QLabel*>(QStringLiteral("labelServerFree"))->text(), "5 GB");
    EXPECT_EQ(window->findChild<QLabel*>(QStringLiteral("labelUploadSize"))->text(), "1 KB");
    EXPECT_EQ(window->findChild<QLabel*>(QStringLiteral("labelUploadSpeed"))->text(), "128 Kbps");
    EXPECT_TRUE(fs::exists(task_file));

    // Any change of the list saves it at once.
    fs::remove(task_file);
    emit window->task_view().taskListChanged();
    EXPECT_TRUE(fs::exists(task_file));
}

TEST(MainWindow, AddsTheVideosConfirmedInTheDialog) {
    REQUIRE_MEDIA();
    client_session session;
    session.keep_work_folder();
    modal_answerer answers;
    const auto window = started_client(session, answers);
    ASSERT_TRUE(window->loaded());
    const fs::path clip = session.root / "片段 one.mp4";
    fs::copy_file(lumo_upl_test::sample("video_only.mp4"), clip);
    const fs::path notes = session.root / "notes.mp4";
    platform::testing::write_file(notes, "no media");

    answers.pick_files(
        {QString::fromStdString(clip.string()), QString::fromStdString(notes.string())});
    window->findChild<QPushButton*>(QStringLiteral("btnAddVideo"))->click();
    EXPECT_EQ(answers.pending(), 0u);
    ASSERT_TRUE(window->add_dialog().isVisible());
    ASSERT_EQ(window->add_dialog().tasks().size(), 1u);
    window->add_dialog().findChild<QPushButton*>(QStringLiteral("btnOK"))->click();
    EXPECT_FALSE(window->add_dialog().isVisible());

    upload_tasks& tasks = *window->task_view().tasks();
    ASSERT_EQ(tasks.count(), 1u);
    EXPECT_EQ(tasks.task_at(0).info().caption, "片段 one");
    EXPECT_EQ(window->task_view().table()->item(0, 0)->text(), " 片段 one");
    const std::string saved = platform::testing::read_file(task_file_path(session.instance()));
    EXPECT_NE(saved.find("片段 one"), std::string::npos) << saved;

    // The picker starts in the folder of the first file chosen.
    bool same_folder = false;
    answers.pick_files({}, [&] {
        auto* picker = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        same_folder = picker != nullptr && picker->directory().absolutePath().toStdString() ==
                                               session.root.path().string();
    });
    window->onAddVideo();
    EXPECT_TRUE(same_folder);
    EXPECT_THAT(answers.failures(), IsEmpty());
}

TEST(MainWindow, AddingVideosWaitsWhileTheDialogLoads) {
    REQUIRE_MEDIA();
    client_session session;
    session.keep_work_folder();
    modal_answerer answers;
    const auto window = started_client(session, answers);
    ASSERT_TRUE(window->loaded());
    const fs::path clip = session.root / "clip.mp4";
    fs::copy_file(lumo_upl_test::sample("video_only.mp4"), clip);
    const fs::path tone = session.root / "tone.m4a";
    fs::copy_file(lumo_upl_test::sample("audio.m4a"), tone);
    held_source held(session.root / "held.mp4");
    auto& add_video = *window->findChild<QPushButton*>(QStringLiteral("btnAddVideo"));
    add_task_view& dialog = window->add_dialog();
    auto& ok = *dialog.findChild<QPushButton*>(QStringLiteral("btnOK"));

    // A second pick, from the button or from a second launch, would open a
    // picker that nothing here expects.
    answers.pick_files({QString::fromStdString(clip.string()), held.name(),
                        QString::fromStdString(tone.string())});
    const once_ready during([&] { return held.held(); },
                            [&] {
                                EXPECT_FALSE(add_video.isEnabled());
                                add_video.click();
                                window->onAddVideo();
                                ok.click();
                                EXPECT_TRUE(dialog.isVisible());
                                EXPECT_TRUE(rows_match_records(dialog));
                                held.let_go();
                            });
    add_video.click();
    EXPECT_TRUE(during.done());
    EXPECT_TRUE(add_video.isEnabled());
    EXPECT_FALSE(window->picking_files());
    EXPECT_TRUE(rows_match_records(dialog));

    ok.click();
    upload_tasks& tasks = *window->task_view().tasks();
    ASSERT_EQ(tasks.count(), 2u);
    EXPECT_EQ(tasks.task_at(0).info().caption, "clip");
    EXPECT_EQ(tasks.task_at(1).info().caption, "tone");
    ASSERT_EQ(window->task_view().table()->rowCount(), 2);
    EXPECT_EQ(window->task_view().table()->item(1, 0)->text(), " tone");
    EXPECT_THAT(answers.failures(), IsEmpty());
}

}  // namespace
