#include "lumo_upl/lumo_uploader.hpp"

#include <QCloseEvent>
#include <QFileDialog>
#include <QFrame>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScopeGuard>
#include <QVBoxLayout>

#include "lumo_upl/display_text.hpp"
#include "lumo_upl/launch_code.hpp"
#include "lumo_upl/pictures.hpp"
#include "lumo_upl/task_file.hpp"
#include "lumo_upl/upload_task_view.hpp"

namespace {

QPushButton* picture_button(QWidget* parent, const char* name, const QIcon& icon, QSize size) {
    auto* button = new QPushButton(parent);
    button->setObjectName(QLatin1String(name));
    button->setIcon(icon);
    button->setIconSize(size);
    button->setFixedSize(size);
    return button;
}

QLabel* info_label(QWidget* parent, const char* name, const QString& text, const char* style) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    label->setStyleSheet(QLatin1String(style));
    return label;
}

QFrame* separator(QWidget* parent, const char* name, QFrame::Shape shape) {
    auto* line = new QFrame(parent);
    line->setObjectName(QLatin1String(name));
    line->setFrameShape(shape);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

}  // namespace

lumo_uploader::lumo_uploader(QWidget* parent)
    : QMainWindow(parent), startup_timer_(this), save_timer_(this), queue_timer_(this) {
    Q_INIT_RESOURCE(lumo_uploader);
    startup_timer_.setObjectName(QStringLiteral("startupTimer"));
    save_timer_.setObjectName(QStringLiteral("saveTimer"));
    queue_timer_.setObjectName(QStringLiteral("ipcTimer"));
    setupUi();
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowSystemMenuHint);

    connect(btnAddVideo_, &QPushButton::clicked, this, &lumo_uploader::onAddVideo);
    connect(btnMin_, &QPushButton::clicked, this, &lumo_uploader::onMin);
    connect(btnClose_, &QPushButton::clicked, this, &lumo_uploader::onClose);
    connect(&add_view_, &add_task_view::onUploadTask, this, &lumo_uploader::onUploadVideo);
    connect(taskList_, &upload_task_view::taskListChanged, this, &lumo_uploader::onSaveTasks);
    startup_timer_.setSingleShot(true);
    startup_timer_.setInterval(startup_delay_ms);
    connect(&startup_timer_, &QTimer::timeout, this, &lumo_uploader::onLoadTasks);
    save_timer_.setInterval(save_interval_ms);
    connect(&save_timer_, &QTimer::timeout, this, &lumo_uploader::onSaveTasks);
    queue_timer_.setInterval(queue_poll_interval_ms);
    connect(&queue_timer_, &QTimer::timeout, this, &lumo_uploader::onProcIPCMsg);

    add_view_.setWindowTitle(windowTitle());
    add_view_.setWindowIcon(windowIcon());
    taskList_->set_title(windowTitle());
    setEnabled(false);
    settings_ = lumo_upl::load_settings();
    taskList_->set_settings(&settings_);
    startup_timer_.start();
    hide();
}

lumo_uploader::~lumo_uploader() {
    // The site's tasks are this instance's until its last worker has
    // stopped: a launch meanwhile waits for the lock, and then starts from
    // the task file as the workers left it.
    if (queue_) {
        queue_->close();
    }
    taskList_->stop_work();
    if (loaded_) {
        taskList_->save_task_file(instance_name_);
    }
    queue_.reset();
}

void lumo_uploader::setupUi() {
    setObjectName(QStringLiteral("lumo_main"));
    resize(766, 500);
    setWindowTitle(QStringLiteral("Ostra视频管理客户端"));
    setWindowIcon(lumo_upl::pictures::icon("logo.png"));

    centralWidget_ = new QWidget(this);
    centralWidget_->setObjectName(QStringLiteral("centralWidget"));
    auto* verticalLayout = new QVBoxLayout(centralWidget_);
    verticalLayout->setObjectName(QStringLiteral("verticalLayout"));
    verticalLayout->setSpacing(0);
    verticalLayout->setContentsMargins(0, 0, 0, 0);

    frame_ = new QFrame(centralWidget_);
    frame_->setObjectName(QStringLiteral("frame"));
    frame_->setStyleSheet(
        QStringLiteral("background-color: rgb(57, 57, 57);\ncolor: rgba(5, 5, 5);"));
    auto* title_bar = new QHBoxLayout(frame_);
    title_bar->setContentsMargins(6, 4, 6, 4);
    btnLogo_ =
        picture_button(frame_, "btnLogo", lumo_upl::pictures::icon("logo.png"), QSize(32, 32));
    btnLogo_->setFlat(true);
    btnTitle_ =
        picture_button(frame_, "btnTitle", lumo_upl::pictures::icon("title.png"), QSize(200, 32));
    btnTitle_->setFlat(true);
    btnAddVideo_ = picture_button(frame_, "btnAddVideo", lumo_upl::pictures::icon("addvideo.png"),
                                  QSize(96, 32));
    btnAddVideo_->setStyleSheet(QStringLiteral("border:0px"));
    btnMin_ = picture_button(
        frame_, "btnMin", lumo_upl::pictures::two_state_icon("min.png", "min0.png"), QSize(24, 24));
    btnMin_->setStyleSheet(QStringLiteral("border: 0px"));
    btnClose_ = picture_button(frame_, "btnClose",
                               lumo_upl::pictures::two_state_icon("close.png", "close0.png"),
                               QSize(24, 24));
    btnClose_->setStyleSheet(QStringLiteral("border: 0px"));
    title_bar->addWidget(btnLogo_);
    title_bar->addWidget(btnTitle_);
    title_bar->addStretch();
    title_bar->addWidget(btnAddVideo_);
    title_bar->addSpacing(12);
    title_bar->addWidget(btnMin_, 0, Qt::AlignTop);
    title_bar->addWidget(btnClose_, 0, Qt::AlignTop);
    verticalLayout->addWidget(frame_);

    verticalLayout->addWidget(separator(centralWidget_, "line", QFrame::HLine));
    taskList_ = new upload_task_view(centralWidget_);
    taskList_->setObjectName(QStringLiteral("taskList"));
    verticalLayout->addWidget(taskList_);
    verticalLayout->addWidget(separator(centralWidget_, "line_2", QFrame::HLine));

    frameInfo_ = new QFrame(centralWidget_);
    frameInfo_->setObjectName(QStringLiteral("frameInfo"));
    frameInfo_->setStyleSheet(
        QStringLiteral("background-color: rgb(36, 36, 36);\ncolor:  rgb(42, 42, 42);"));
    auto* strip = new QHBoxLayout(frameInfo_);
    strip->setContentsMargins(8, 4, 8, 4);
    const char* caption_style = "color: rgb(255,255,255, 180)";
    const char* value_style = "color: rgb(0,150,0)";
    strip->addWidget(
        info_label(frameInfo_, "label", QStringLiteral("服务器磁盘空间"), caption_style));
    labelServerFree_ =
        info_label(frameInfo_, "labelServerFree", QStringLiteral("0 M"), value_style);
    strip->addWidget(labelServerFree_);
    strip->addWidget(separator(frameInfo_, "line_3", QFrame::VLine));
    strip->addWidget(
        info_label(frameInfo_, "label_2", QStringLiteral("本次上传大小"), caption_style));
    labelUploadSize_ =
        info_label(frameInfo_, "labelUploadSize", QStringLiteral("0 M"), value_style);
    strip->addWidget(labelUploadSize_);
    strip->addStretch();
    strip->addWidget(info_label(frameInfo_, "label_3", QStringLiteral("上传速度"), caption_style));
    labelUploadSpeed_ =
        info_label(frameInfo_, "labelUploadSpeed", QStringLiteral("0 Kbps"), value_style);
    strip->addWidget(labelUploadSpeed_);
    verticalLayout->addWidget(frameInfo_);

    setCentralWidget(centralWidget_);
}

void lumo_uploader::set_launch(const std::string& site_address, const std::string& launch_code,
                               const std::string& instance_name) {
    site_address_ = site_address;
    launch_code_ = launch_code;
    instance_name_ = instance_name;
}

void lumo_uploader::fail_startup(const char* text) {
    QMessageBox::critical(this, windowTitle(), QString::fromUtf8(text));
    close();
}

void lumo_uploader::onLoadTasks() {
    if (launch_code_.empty()) {
        fail_startup("请在Web管理系统中启动本程序");
        return;
    }
    std::string user_id;
    std::string digest;
    if (!lumo_upl::decode_launch_code(launch_code_, user_id, digest)) {
        fail_startup("不正确的验证码格式");
        return;
    }
    if (!create_ipc_queue()) {
        const auto now = std::chrono::steady_clock::now();
        if (!instance_deadline_) {
            instance_deadline_ = now + instance_patience_;
        }
        if (now < *instance_deadline_) {
            startup_timer_.start(instance_retry_ms);
            return;
        }
        fail_startup("不能访问IPC消息队列");
        return;
    }
    if (!queue_->owner()) {
        close();  // the running instance has the code now
        return;
    }
    show();
    if (!taskList_->start_work(site_address_, launch_code_)) {
        close();
        return;
    }
    const std::vector<std::string> categories = taskList_->tasks()->categories();
    add_view_.set_categories(
        categories.empty() ? categories
                           : std::vector<std::string>(categories.begin() + 1, categories.end()));
    load_task_file();
    save_timer_.start();
    queue_timer_.start();
    loaded_ = true;
    setEnabled(true);
    save_settings();
    onAddVideo();
}

bool lumo_uploader::create_ipc_queue() {
    if (!queue_) {
        queue_ =
            std::make_unique<lumo_upl::instance_queue>(instance_name_, lumo_upl::data_folder());
    }
    if (queue_->become_owner()) {
        return true;
    }
    if (!queue_->open_existing(std::chrono::milliseconds(0))) {
        return false;
    }
    forward_to_running_instance();
    return true;
}

void lumo_uploader::forward_to_running_instance() {
    // A full queue drops the message: the running instance is busy enough.
    queue_->post(lumo_upl::load_message(launch_code_));
}

void lumo_uploader::onProcIPCMsg() {
    if (!queue_) {
        return;
    }
    const std::optional<std::string> message = queue_->try_receive();
    if (!message) {
        return;
    }
    // Anything but a whole "load" message is dropped.
    const std::optional<std::string> code = lumo_upl::code_of_load_message(*message);
    if (!code) {
        return;
    }
    if (*code != launch_code_) {
        launch_code_ = *code;
        taskList_->set_launch_code(launch_code_);
    }
    bring_window_to_front(*this);
    if (!picking_files_ && !add_view_.isVisible()) {
        onAddVideo();
    }
}

void lumo_uploader::onAddVideo() {
    // One pick and load at a time: the button, the start-up and a second
    // launch all come here, and the load lets the event loop run while it
    // probes the files.
    if (picking_files_) {
        return;
    }
    picking_files_ = true;
    btnAddVideo_->setEnabled(false);
    const auto done = qScopeGuard([this] {
        picking_files_ = false;
        btnAddVideo_->setEnabled(true);
    });
    const QStringList files = QFileDialog::getOpenFileNames(
        this, QStringLiteral("选择音视频文件"), last_folder_,
        QStringLiteral("音视频文件格式 (*.avi *.wmv *.mpg *.mpeg *.wma *.mp3 *.mov *.mp4 *.m4v "
                       "*.3gp *.3g2 *.aac *.m4a *.ts *.mts *.m2t *.m2ts *.vob *.flv *.f4v *.rm "
                       "*.rmvb *.ra)"));
    if (files.isEmpty()) {
        return;
    }
    const QString& first = files.front();
    last_folder_ = first.left(std::max(0, static_cast<int>(first.lastIndexOf(QLatin1Char('/')))));
    add_view_.show();
    add_view_.load_files(files);
}

void lumo_uploader::onClose() {
    close();
}

void lumo_uploader::onMin() {
    showMinimized();
}

void lumo_uploader::onUploadVideo() {
    taskList_->add_tasks(add_view_.tasks());
    onSaveTasks();
}

void lumo_uploader::onSaveTasks() {
    if (!loaded_) {
        return;
    }
    const lumo_upl::upload_tasks* tasks = taskList_->tasks();
    labelServerFree_->setText(QString::fromStdString(lumo_upl::format_size(tasks->free_size())));
    labelUploadSize_->setText(
        QString::fromStdString(lumo_upl::format_size(tasks->uploaded_bytes())));
    labelUploadSpeed_->setText(QString::fromStdString(lumo_upl::format_kbps(tasks->speed_kbps())));
    taskList_->save_task_file(instance_name_);
}

void lumo_uploader::load_task_file() {
    taskList_->load_task_file(instance_name_);
}

void lumo_uploader::save_settings() {
    lumo_upl::save_settings(settings_);
}

bool lumo_uploader::confirm(const char* question) {
    return QMessageBox::question(this, windowTitle(), QString::fromUtf8(question),
                                 QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

void lumo_uploader::closeEvent(QCloseEvent* event) {
    onSaveTasks();
    if (!loaded_) {
        startup_timer_.stop();
        event->accept();
        return;
    }
    bool accepted = true;
    if (taskList_->any_transcoding()) {
        accepted = confirm(
            "还有任务尚未完成转码，此时退出将导致正在进行的转码的任务从头开始，你确定要退出吗？");
    } else if (taskList_->any_uploading()) {
        accepted =
            confirm("还有任务尚未完成上传，这些任务将在下次开启本软件时继续上传，你确定要退出吗？");
    }
    if (accepted) {
        // The instance is ending: a loading dialog stops after its current
        // file, and a launch from now on waits for the next instance.
        add_view_.onCancelLoad();
        add_view_.close();
        queue_timer_.stop();
        if (queue_) {
            queue_->close();
        }
        event->accept();
    } else {
        event->ignore();
    }
}

void lumo_uploader::mousePressEvent(QMouseEvent* event) {
    drag_.press(*this, *event);
}

void lumo_uploader::mouseReleaseEvent(QMouseEvent*) {
    drag_.release();
}

void lumo_uploader::mouseMoveEvent(QMouseEvent* event) {
    drag_.move(*this, *event);
}

bool bring_window_to_front(QWidget& window) {
    window.showNormal();
    window.raise();
    window.activateWindow();
    return window.isActiveWindow();
}
