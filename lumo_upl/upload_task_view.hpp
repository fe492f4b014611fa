#pragma once

#include <QTimer>
#include <QWidget>
#include <boost/property_tree/ptree.hpp>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "lumo_upl/password_box.hpp"
#include "lumo_upl/upload_tasks.hpp"
#include "lumo_upl/work_folder.hpp"

class QMenu;
class QTableWidget;

// The table of upload tasks in the main window. It owns the task list:
// settles the work folder and logs in at start-up, refreshes the rows five
// times a second while driving the scheduler, drops uploaded tasks, lets
// the operator delete tasks, and asks for the password again when the site
// refuses the launch code.
class upload_task_view : public QWidget {
    Q_OBJECT

  public:
    static constexpr int update_interval_ms = 200;

    explicit upload_task_view(QWidget* parent = nullptr);
    // Stops and joins every worker before the widgets go.
    ~upload_task_view() override;

    // The settings that the main window reads and saves; the work folder is
    // kept in them.
    void set_settings(boost::property_tree::ptree* settings) { settings_ = settings; }
    // The title of the view's message boxes.
    void set_title(const QString& title) { title_ = title; }
    // How the free space of a chosen work folder is read.
    void set_free_space_query(lumo_upl::free_space_query query) { free_space_ = std::move(query); }

    // Settles the work folder, creates the task list and logs in, asking for
    // the password again while the site refuses it. False when the operator
    // gives up or the site cannot be used; the reason was shown where there
    // was one to show.
    bool start_work(const std::string& site_address, const std::string& launch_code);
    // Takes a task list that has logged in and starts the updates.
    void attach_tasks(std::unique_ptr<lumo_upl::upload_tasks> tasks);
    lumo_upl::upload_tasks* tasks() const { return tasks_.get(); }
    // Stops the updates and joins every worker (upload_tasks::stop); the
    // rows and the list stay.
    void stop_work();

    // Hands a code of 44 characters to the workers; refuses any other.
    bool set_launch_code(const std::string& code);

    void add_tasks(const std::vector<lumo_upl::task_info>& infos);
    void add_row(const lumo_upl::upload_task& task);
    bool save_task_file(const std::string& instance_name) const;
    void load_task_file(const std::string& instance_name);

    bool any_transcoding() const;
    bool any_uploading() const;

    // The workers' call when the site refuses their code (any thread).
    void request_password();

    QTableWidget* table() const { return table_; }
    password_box& password_prompt() { return password_; }
    QMenu* context_menu() const { return menu_; }

  signals:
    void taskListChanged();

  public slots:
    void onUpdateTask();
    void onDeleteTask();
    void onDeleteFailedTask();
    void onContextMenu();
    void onTimerAuth();

  private:
    std::optional<std::string> settle_work_folder();
    QString choose_folder();
    void show_state(int row, const lumo_upl::upload_task& task);
    QWidget* dialog_parent() { return window(); }

    QTableWidget* table_;
    QMenu* menu_;
    password_box password_;
    QTimer update_timer_;
    QTimer auth_timer_;
    QString title_;
    boost::property_tree::ptree* settings_ = nullptr;
    lumo_upl::free_space_query free_space_ = lumo_upl::available_space;
    std::atomic<bool> password_requested_{false};
    std::atomic<bool> password_pending_{false};
    // Last: its workers call request_password until they are joined.
    std::unique_ptr<lumo_upl::upload_tasks> tasks_;
};
