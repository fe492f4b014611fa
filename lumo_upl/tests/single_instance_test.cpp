// One client per site in this process: a second launch hands its code to
// the running window, which comes to the front and opens the picker unless
// the operator is busy picking or reviewing files.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <QApplication>

#include "lumo_upl/instance_queue.hpp"
#include "lumo_upl/launch_argument.hpp"
#include "lumo_upl/task_file.hpp"
#include "lumo_upl/tests/window_helpers.hpp"
#include "lumo_upl/tests/worker_fixture.hpp"
#include "lumo_upl/upload_task_view.hpp"

namespace {

using namespace lumo_upl_testing;
using namespace std::chrono_literals;
using ::testing::IsEmpty;

// Whether a window was activated since the watch began.
class activation_watch : public QObject {
  public:
    explicit activation_watch(QWidget& window) { window.installEventFilter(this); }
    bool activated() const { return activated_; }

  protected:
    bool eventFilter(QObject*, QEvent* event) override {
        activated_ = activated_ || event->type() == QEvent::WindowActivate;
        return false;
    }

  private:
    bool activated_ = false;
};

// Another window takes the focus away from the client.
void activate_another_window(QWidget& other) {
    other.show();
    other.activateWindow();
    EXPECT_TRUE(run_until([&] { return QApplication::activeWindow() == &other; }));
}

TEST(SingleInstance, ASecondLaunchHandsItsCodeToTheRunningClient) {
    client_session session;
    session.keep_work_folder();
    modal_answerer answers;
    const auto client = started_client(session, answers);
    ASSERT_TRUE(client->is_queue_owner());
    QWidget other;
    activate_another_window(other);

    const std::string second_code = accepted_code(session.site, "changed");
    const activation_watch watch(*client);
    bool in_front = false;
    answers.pick_files({}, [&] { in_front = watch.activated(); });
    const auto second = session.launch(second_code);
    ASSERT_TRUE(run_until([&] { return answers.pending() == 0 && !client->picking_files(); }));
    EXPECT_THAT(answers.failures(), IsEmpty());
    EXPECT_FALSE(second->is_queue_owner());
    EXPECT_FALSE(second->isVisible()) << "the second launch never shows its window";
    EXPECT_FALSE(second->loaded());
    EXPECT_EQ(client->launch_code(), second_code);
    EXPECT_EQ(client->task_view().tasks()->get_launch_code(), second_code);
    EXPECT_TRUE(in_front) << "the client came to the front before its picker opened";
}

TEST(SingleInstance, NoSecondPickerWhileTheOperatorPicksOrReviews) {
    client_session session;
    session.keep_work_folder();
    modal_answerer answers;
    const auto client = started_client(session, answers);

    // While the picker is open: the code changes, no picker opens.
    const std::string picking_code = accepted_code(session.site, "picking");
    std::unique_ptr<lumo_uploader> during_pick;
    answers.pick_files({}, [&] {
        during_pick = session.launch(picking_code);
        EXPECT_TRUE(run_until([&] { return client->launch_code() == picking_code; }));
        run_for(700ms);
    });
    client->onAddVideo();
    EXPECT_EQ(answers.pending(), 0u);

    // While the add-task dialog is up: likewise.
    client->add_dialog().show();
    const std::string reviewing_code = accepted_code(session.site, "reviewing");
    const auto during_review = session.launch(reviewing_code);
    EXPECT_TRUE(run_until([&] { return client->launch_code() == reviewing_code; }));
    run_for(700ms);
    client->add_dialog().hide();
    EXPECT_THAT(answers.failures(), IsEmpty());
    EXPECT_EQ(client->task_view().tasks()->get_launch_code(), reviewing_code);
}

TEST(SingleInstance, AnotherSiteRunsAsAClientOfItsOwn) {
    client_session session;
    session.keep_work_folder();
    modal_answerer answers;
    const auto client = started_client(session, answers);
    fake_site other_site;
    const std::string other_code = accepted_code(other_site, "secret");
    answers.pick_files({});
    auto other = std::make_unique<lumo_uploader>();
    other->set_launch(other_site.address(), other_code,
                      lumo_upl::make_ipc_name(other_site.address()));
    ASSERT_TRUE(run_until([&] { return other->loaded() && answers.pending() == 0; }));
    EXPECT_TRUE(other->is_queue_owner());
    EXPECT_TRUE(client->is_queue_owner());
    EXPECT_NE(lumo_upl::make_ipc_name(other_site.address()), session.instance());
    EXPECT_EQ(client->launch_code(), session.code);
    EXPECT_THAT(answers.failures(), IsEmpty());
}

TEST(SingleInstance, AMalformedMessageIsDroppedAndTheNextOneWorks) {
    client_session session;
    session.keep_work_folder();
    modal_answerer answers;
    const auto client = started_client(session, answers);

    lumo_upl::instance_queue sender(session.instance(), lumo_upl::data_folder());
    ASSERT_TRUE(sender.open_existing(0ms));
    lumo_upl::ipc_message_writer other_command;
    other_command.write_string("quit");
    other_command.write_string(session.code);
    for (const std::string& bad : {std::string("\x09\x00load", 6), std::string(),
                                   std::string(1024, '\xff'), other_command.bytes()}) {
        ASSERT_TRUE(sender.post(bad));
    }
    run_for(2500ms);
    EXPECT_EQ(client->launch_code(), session.code);
    EXPECT_FALSE(client->picking_files());

    const std::string good_code = accepted_code(session.site, "good");
    answers.pick_files({});
    ASSERT_TRUE(sender.post(lumo_upl::load_message(good_code)));
    EXPECT_TRUE(run_until([&] { return answers.pending() == 0 && !client->picking_files(); }));
    EXPECT_EQ(client->launch_code(), good_code);
    EXPECT_THAT(answers.failures(), IsEmpty());
}

TEST(SingleInstance, AMalformedCodeOfASecondLaunchStaysWithIt) {
    client_session session;
    session.keep_work_folder();
    modal_answerer answers;
    const auto client = started_client(session, answers);
    answers.message(main_title, QStringLiteral("不正确的验证码格式"));
    const auto second = session.launch(session.code.substr(2));
    ASSERT_TRUE(run_until([&] { return answers.pending() == 0; }));
    run_for(1200ms);
    EXPECT_THAT(answers.failures(), IsEmpty()) << "no picker: nothing reached the client";
    EXPECT_EQ(client->launch_code(), session.code);
}

}  // namespace
