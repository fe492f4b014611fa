#pragma once

#include <QMainWindow>
#include <QTimer>
#include <boost/property_tree/ptree.hpp>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "lumo_upl/add_task_view.hpp"
#include "lumo_upl/instance_queue.hpp"
#include "lumo_upl/window_drag.hpp"

class QFrame;
class QLabel;
class QPushButton;
class upload_task_view;

// The client's main window: its own title bar, the task table, the strip
// with the site's free space, the bytes uploaded in this run and the upload
// speed. It runs the start-up (100 ms after it is built), owns the
// single-instance queue, the add-task dialog and the settings, and saves the
// task file every 5 s.
class lumo_uploader : public QMainWindow {
    Q_OBJECT

  public:
    static constexpr int startup_delay_ms = 100;
    static constexpr int save_interval_ms = 5000;
    static constexpr int queue_poll_interval_ms = 500;
    // How long a launch waits for the instance of its site that holds the
    // lock without a queue (one that starts, or one that is ending and
    // waits for its workers, which a block upload in flight keeps for up to
    // a minute), and how often it looks.
    static constexpr std::chrono::milliseconds default_instance_patience{120000};
    static constexpr int instance_retry_ms = 200;

    // Hidden and disabled until the start-up shows and enables it.
    explicit lumo_uploader(QWidget* parent = nullptr);
    // Ends the instance: removes its queue, stops and joins every worker,
    // saves the task list as they left it, and only then lets the site's
    // lock go to the next launch.
    ~lumo_uploader() override;

    void set_launch(const std::string& site_address, const std::string& launch_code,
                    const std::string& instance_name);
    const std::string& launch_code() const { return launch_code_; }

    // The single-instance queue, tried once: owner, or the code handed to
    // the owner. False while another process holds the lock without a
    // queue; the start-up tries again for the instance patience.
    bool create_ipc_queue();
    void set_instance_patience(std::chrono::milliseconds patience) {
        instance_patience_ = patience;
    }
    void forward_to_running_instance();
    bool is_queue_owner() const { return queue_ && queue_->owner(); }

    void load_task_file();
    void save_settings();

    upload_task_view& task_view() const { return *taskList_; }
    add_task_view& add_dialog() { return add_view_; }
    bool loaded() const { return loaded_; }
    bool picking_files() const { return picking_files_; }

  public slots:
    void onAddVideo();
    void onLoadTasks();
    void onClose();
    void onMin();
    void onUploadVideo();
    void onSaveTasks();
    void onProcIPCMsg();

  protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    void setupUi();
    void fail_startup(const char* text);
    bool confirm(const char* question);

    QWidget* centralWidget_;
    QFrame* frame_;
    QPushButton* btnLogo_;
    QPushButton* btnTitle_;
    QPushButton* btnAddVideo_;
    QPushButton* btnMin_;
    QPushButton* btnClose_;
    upload_task_view* taskList_;
    QFrame* frameInfo_;
    QLabel* labelServerFree_;
    QLabel* labelUploadSize_;
    QLabel* labelUploadSpeed_;

    add_task_view add_view_;
    QTimer startup_timer_;
    QTimer save_timer_;
    QTimer queue_timer_;
    window_drag drag_;
    QString last_folder_;
    boost::property_tree::ptree settings_;
    std::unique_ptr<lumo_upl::instance_queue> queue_;
    std::chrono::milliseconds instance_patience_ = default_instance_patience;
    std::optional<std::chrono::steady_clock::time_point> instance_deadline_;
    std::string site_address_;
    std::string launch_code_;
    std::string instance_name_;
    bool picking_files_ = false;
    bool loaded_ = false;
};

// Shows the window normally, raises it and asks for the focus; true when it
// became the active window (a window manager may refuse).
bool bring_window_to_front(QWidget& window);
