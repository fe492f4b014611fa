#pragma once

// What the window tests share: the event loop run until something holds,
// answers to the modal windows that the code under test opens, and
// pictures of windows for a person to look at.

#include <QMessageBox>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

class QWidget;

namespace lumo_upl_testing {

// Runs the event loop until the condition holds; false after the timeout.
bool run_until(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(20));
void run_for(std::chrono::milliseconds time);

// Runs `step` once, from the event loop, as soon as `ready` holds: how a
// test acts while the code under test waits in an event loop of its own.
class once_ready : public QObject {
  public:
    once_ready(std::function<bool()> ready, std::function<void()> step);
    bool done() const { return done_; }

  private:
    QTimer timer_;
    bool done_ = false;
};

// A media file whose probe waits until the test lets it go on: a named
// pipe that the probe opens for reading and then reads nothing from while
// the test holds its other end. Let go, the probe finds an empty file that
// is no media.
class held_source {
  public:
    explicit held_source(std::filesystem::path path);
    // Lets it go, and removes the pipe.
    ~held_source();
    held_source(const held_source&) = delete;
    held_source& operator=(const held_source&) = delete;

    const std::filesystem::path& path() const { return path_; }
    QString name() const { return QString::fromStdString(path_.string()); }
    // Whether a reader has opened it; from then on the test holds it.
    bool held();
    void let_go();

  private:
    std::filesystem::path path_;
    int writer_ = -1;
};

// Saves a picture of the widget as <name>.png in the build's screenshot
// folder and says where.
void screenshot(QWidget& widget, const std::string& name);

// Answers, in order, the modal windows that the code under test opens
// (message boxes, the password box, the file and folder pickers), checking
// each. Works from a timer, so it answers inside the modal run that the
// code under test waits in. A modal window that nothing expects is
// recorded as a failure and closed.
class modal_answerer : public QObject {
  public:
    modal_answerer();
    ~modal_answerer() override;

    // A message box with this title and text, answered with `button`.
    modal_answerer& message(const QString& title, const QString& text,
                            QMessageBox::StandardButton button = QMessageBox::Ok,
                            const std::string& picture = {});
    // The password box: typed and confirmed, or closed without an answer.
    modal_answerer& password(const QString& typed, const std::string& picture = {});
    modal_answerer& refuse_password();
    // The file picker: these files chosen, or none (cancelled); `check`
    // runs first, while the picker is open.
    modal_answerer& pick_files(const QStringList& files, std::function<void()> check = {});
    // The folder chooser: this folder, or none (cancelled).
    modal_answerer& choose_folder(const QString& folder);

    // Expectations not met yet.
    std::size_t pending() const { return expected_.size(); }
    const std::vector<std::string>& failures() const { return failures_; }

  private:
    using answer = std::function<void(QWidget&)>;
    void poll();
    void fail(const std::string& text) { failures_.push_back(text); }

    QTimer timer_;
    std::deque<answer> expected_;
    std::vector<std::string> failures_;
    bool answering_ = false;
};

}  // namespace lumo_upl_testing

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "lumo_upl/lumo_uploader.hpp"
#include "lumo_upl/tests/fake_site.hpp"
#include "lumo_upl/upload_task_view.hpp"

namespace lumo_upl_testing {

inline const QString main_title = QStringLiteral("Ostra视频管理客户端");

// A home folder of its own, the fake site and a launch code that it
// accepts (password "secret").
struct client_session {
    client_session();
    // Removes the site's queue, which a killed program leaves behind.
    ~client_session();
    client_session(const client_session&) = delete;
    client_session& operator=(const client_session&) = delete;

    // The work folder "<root>/lumo_work_folder", made and named in the
    // settings file.
    void keep_work_folder();
    std::filesystem::path work_folder() const { return root / "lumo_work_folder"; }
    std::string instance() const;
    // A main window launched for the site with the code; its start-up runs
    // once the event loop does.
    std::unique_ptr<lumo_uploader> launch(const std::string& launch_code) const;

    scoped_home home;
    platform::testing::temp_dir root;
    fake_site site;
    std::string code;
};

// A client of the session that has started up and closed its first
// picker.
std::unique_ptr<lumo_uploader> started_client(const client_session& session,
                                              modal_answerer& answers);

// Gives the view a task list whose limits start no worker, with a task in
// each of the states: caption "task <state>", preset 2, category "新闻" for
// even states, labels "a b", note "备注 <state>", 1:02:03 long.
void show_still_tasks(upload_task_view& view, const std::filesystem::path& work_folder,
                      const std::vector<std::int32_t>& states);

// Whether the dialog's rows and its records are one for one: as many, and
// each row titled as its record.
::testing::AssertionResult rows_match_records(const add_task_view& dialog);

// Plenty of room on any volume, for the tests that choose a work folder.
std::optional<std::uint64_t> plenty_of_space(const std::filesystem::path&);

}  // namespace lumo_upl_testing
