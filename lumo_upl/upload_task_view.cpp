#include "lumo_upl/upload_task_view.hpp"

#include <QColor>
#include <QCursor>
#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMenu>
#include <QMessageBox>
#include <QTableWidget>

#include "lumo_upl/display_text.hpp"
#include "lumo_upl/launch_code.hpp"
#include "lumo_upl/task_file.hpp"

namespace {

using namespace lumo_upl;

constexpr int max_transcoding = 2;
constexpr int max_uploading = 4;
constexpr int auth_prompt_delay_ms = 100;
constexpr int state_column = 6;
constexpr std::size_t launch_code_length = 44;

struct state_look {
    const char* text;
    QColor colour;
};

state_look look_of(std::int32_t state) {
    switch (state) {
        case task_state::queued:
            return {"正在排队", QColor(228, 160, 30)};
        case task_state::transcoding:
            return {"正在转码 %1%", QColor(221, 0, 0)};
        case task_state::transcoded:
            return {"转码完成", QColor(13, 61, 123)};
        case task_state::uploading:
            return {"正在上传 %1%", QColor(37, 166, 13)};
        case task_state::uploaded:
            return {"上传完成", QColor(0, 0, 0)};
        case task_state::transcode_failed:
            return {"转换失败", QColor(255, 0, 0)};
        default:
            return {"上传失败", QColor(255, 0, 0)};
    }
}

QString cell_text(const std::string& utf8) {
    return QStringLiteral(" ") + QString::fromStdString(utf8);
}

}  // namespace

upload_task_view::upload_task_view(QWidget* parent)
    // The password box has no parent widget: at start-up it is asked while
    // the main window is still disabled, which would disable it too.
    : QWidget(parent), table_(new QTableWidget(this)), menu_(new QMenu(this)), password_(nullptr) {
    table_->setObjectName(QStringLiteral("taskList"));
    table_->setStyleSheet(QStringLiteral(
        "background-color: rgb(226, 226, 226);\nalternate-background-color: rgb(186, 186, "
        "186);\ngridline-color: rgb(255, 255, 255);"));
    table_->setAlternatingRowColors(true);
    table_->setContextMenuPolicy(Qt::CustomContextMenu);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->verticalHeader()->setVisible(false);
    const QStringList headers = {QStringLiteral("标题"), QStringLiteral("规格"),
                                 QStringLiteral("码率"), QStringLiteral("长度"),
                                 QStringLiteral("分类"), QStringLiteral("标签"),
                                 QStringLiteral("状态"), QStringLiteral("备注")};
    const int widths[] = {135, 50, 50, 70, 70, 82, 90, 180};
    table_->setColumnCount(headers.size());
    table_->setHorizontalHeaderLabels(headers);
    for (int column = 0; column < headers.size(); ++column) {
        table_->setColumnWidth(column, widths[column]);
    }
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(table_);

    connect(menu_->addAction(QStringLiteral("删除任务")), &QAction::triggered, this,
            &upload_task_view::onDeleteTask);
    connect(menu_->addAction(QStringLiteral("删除失败任务")), &QAction::triggered, this,
            &upload_task_view::onDeleteFailedTask);
    connect(table_, &QWidget::customContextMenuRequested, this, &upload_task_view::onContextMenu);

    update_timer_.setInterval(update_interval_ms);
    connect(&update_timer_, &QTimer::timeout, this, &upload_task_view::onUpdateTask);
    auth_timer_.setSingleShot(true);
    auth_timer_.setInterval(auth_prompt_delay_ms);
    connect(&auth_timer_, &QTimer::timeout, this, &upload_task_view::onTimerAuth);
}

upload_task_view::~upload_task_view() {
    update_timer_.stop();
    tasks_.reset();
}

QString upload_task_view::choose_folder() {
    QFileDialog dialog(dialog_parent(), title_, QDir::homePath());
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    dialog.setLabelText(QFileDialog::LookIn,
                        QStringLiteral("请设置工作目录：选择一个有足够空间可以读写的文件夹用作"
                                       "临时工作目录"));
    if (dialog.exec() != QDialog::Accepted) {
        return {};
    }
    return dialog.selectedFiles().value(0);
}

std::optional<std::string> upload_task_view::settle_work_folder() {
    if (auto folder = configured_work_folder(*settings_)) {
        return folder;
    }
    QMessageBox::information(dialog_parent(), title_,
                             QStringLiteral("你尚未设置临时工作目录或者之前设置的临时工作目录已"
                                            "经失效，点击OK后选择工作目录"));
    for (;;) {
        const QString chosen = choose_folder();
        if (chosen.isEmpty()) {
            return std::nullopt;
        }
        const work_folder_choice choice =
            lumo_upl::settle_work_folder(chosen.toStdString(), free_space_);
        switch (choice.status) {
            case work_folder_status::usable:
                store_work_folder(*settings_, choice.work_folder);
                return choice.work_folder;
            case work_folder_status::too_little_space:
                QMessageBox::critical(
                    dialog_parent(), title_,
                    QStringLiteral("你选择的工作目录剩余空间不足1GB，请选择另外的文件夹."));
                break;
            case work_folder_status::not_writable:
                QMessageBox::critical(dialog_parent(), title_,
                                      QStringLiteral("选择的文件夹不可写, 请选择另外的文件夹."));
                break;
        }
    }
}

bool upload_task_view::start_work(const std::string& site_address, const std::string& launch_code) {
    boost::property_tree::ptree no_settings;
    if (settings_ == nullptr) {
        settings_ = &no_settings;
    }
    const std::optional<std::string> work_folder = settle_work_folder();
    if (settings_ == &no_settings) {
        settings_ = nullptr;
    }
    if (!work_folder) {
        return false;
    }
    auto tasks = std::make_unique<upload_tasks>(*work_folder, max_transcoding, max_uploading);
    std::string code = launch_code;
    std::int32_t status = 0;
    std::string msg;
    bool logged_in = tasks->login(site_address, code, status, msg);
    while (!logged_in && status == lumo_channel_uploader::status_auth_refused) {
        const bool accepted = password_.exec() == QDialog::Accepted;
        const std::string password = password_.password().toStdString();
        password_.clear();
        if (!accepted) {
            break;
        }
        code = reencode_launch_code(code, password);
        logged_in = tasks->login(site_address, code, status, msg);
    }
    if (!logged_in) {
        tasks.reset();
        if (status != lumo_channel_uploader::status_auth_refused) {
            QMessageBox::critical(dialog_parent(), title_, QString::fromStdString(msg));
        }
        return false;
    }
    attach_tasks(std::move(tasks));
    return true;
}

void upload_task_view::attach_tasks(std::unique_ptr<upload_tasks> tasks) {
    tasks_ = std::move(tasks);
    tasks_->set_need_password([this] { request_password(); });
    update_timer_.start();
}

void upload_task_view::stop_work() {
    update_timer_.stop();
    if (tasks_) {
        tasks_->stop();
    }
}

bool upload_task_view::set_launch_code(const std::string& code) {
    if (code.size() != launch_code_length || !tasks_) {
        return false;
    }
    tasks_->set_launch_code(code);
    return true;
}

void upload_task_view::add_row(const upload_task& task) {
    const task_info& info = task.info();
    const int row = table_->rowCount();
    table_->insertRow(row);
    const QString texts[] = {
        cell_text(info.caption),
        cell_text(preset_name(info.preset_index)),
        cell_text(preset_rate_text(info.preset_index)),
        cell_text(format_duration(info.duration_ms)),
        info.category.empty() ? QStringLiteral(" 待分配") : cell_text(info.category),
        cell_text(info.labels),
        QString(),
        cell_text(info.note),
    };
    for (int column = 0; column < table_->columnCount(); ++column) {
        table_->setItem(row, column, new QTableWidgetItem(texts[column]));
    }
    show_state(row, task);
}

void upload_task_view::show_state(int row, const upload_task& task) {
    const state_look look = look_of(task.state());
    QString text = QString::fromUtf8(look.text);
    if (text.contains(QLatin1String("%1"))) {
        text = text.arg(static_cast<int>(task.progress()));
    }
    QTableWidgetItem* item = table_->item(row, state_column);
    item->setText(QStringLiteral(" ") + text);
    item->setForeground(look.colour);
}

void upload_task_view::add_tasks(const std::vector<task_info>& infos) {
    if (!tasks_) {
        return;
    }
    table_->setUpdatesEnabled(false);
    bool added = false;
    for (const task_info& info : infos) {
        std::string error;
        if (tasks_->add_task(info, error)) {
            add_row(tasks_->task_at(tasks_->count() - 1));
            added = true;
        }
    }
    table_->setUpdatesEnabled(true);
    if (added) {
        emit taskListChanged();
    }
}

bool upload_task_view::save_task_file(const std::string& instance_name) const {
    return tasks_ && lumo_upl::save_task_file(*tasks_, instance_name);
}

void upload_task_view::load_task_file(const std::string& instance_name) {
    if (!tasks_) {
        return;
    }
    const std::size_t before = tasks_->count();
    lumo_upl::load_task_file(*tasks_, instance_name);
    for (std::size_t index = before; index < tasks_->count(); ++index) {
        add_row(tasks_->task_at(index));
    }
}

bool upload_task_view::any_transcoding() const {
    return tasks_ && tasks_->count_transcoding() > 0;
}

bool upload_task_view::any_uploading() const {
    return tasks_ && tasks_->count_uploading() > 0;
}

void upload_task_view::request_password() {
    bool pending = false;
    if (password_pending_.compare_exchange_strong(pending, true)) {
        password_requested_ = true;
    }
}

void upload_task_view::onUpdateTask() {
    if (!tasks_ || settings_ == nullptr) {
        return;
    }
    if (password_requested_.exchange(false)) {
        auth_timer_.start();
    }
    tasks_->schedule();
    bool removed = false;
    for (int row = table_->rowCount() - 1; row >= 0; --row) {
        const upload_task& task = tasks_->task_at(static_cast<std::size_t>(row));
        show_state(row, task);
        if (task.state() == task_state::uploaded) {
            tasks_->remove_task(static_cast<std::size_t>(row));
            table_->removeRow(row);
            removed = true;
        }
    }
    if (removed) {
        emit taskListChanged();
    }
}

void upload_task_view::onDeleteTask() {
    const int row = table_->currentRow();
    if (!tasks_ || row < 0 || row >= table_->rowCount()) {
        return;
    }
    const upload_task* chosen = &tasks_->task_at(static_cast<std::size_t>(row));
    // No row may go while the question is open: the answer is about this one.
    const bool updating = update_timer_.isActive();
    update_timer_.stop();
    const auto answer = QMessageBox::question(
        dialog_parent(), title_,
        QStringLiteral("你确定要删除任务: ") + QString::fromStdString(chosen->info().caption),
        QMessageBox::Yes | QMessageBox::No);
    if (updating) {
        update_timer_.start();
    }
    if (answer != QMessageBox::Yes) {
        return;
    }
    // Found again: the list may have grown while the question was open.
    const std::optional<std::size_t> index = tasks_->index_of(*chosen);
    if (!index) {
        return;
    }
    tasks_->remove_task(*index);
    table_->removeRow(static_cast<int>(*index));
    emit taskListChanged();
}

void upload_task_view::onDeleteFailedTask() {
    if (!tasks_) {
        return;
    }
    bool removed = false;
    for (int row = table_->rowCount() - 1; row >= 0; --row) {
        const std::int32_t state = tasks_->task_at(static_cast<std::size_t>(row)).state();
        if (state == task_state::transcode_failed || state == task_state::upload_failed) {
            tasks_->remove_task(static_cast<std::size_t>(row));
            table_->removeRow(row);
            removed = true;
        }
    }
    if (removed) {
        emit taskListChanged();
    }
}

void upload_task_view::onContextMenu() {
    if (table_->currentRow() < 0) {
        return;
    }
    const bool updating = update_timer_.isActive();
    update_timer_.stop();
    menu_->exec(QCursor::pos());
    if (updating) {
        update_timer_.start();
    }
}

void upload_task_view::onTimerAuth() {
    const bool accepted = password_.exec() == QDialog::Accepted;
    const std::string password = password_.password().toStdString();
    password_.clear();
    if (accepted && tasks_) {
        const std::string code = reencode_launch_code(tasks_->get_launch_code(), password);
        // A code that does not decode (one a queue message brought) makes
        // none: an empty one would only be refused.
        if (!code.empty()) {
            tasks_->set_launch_code(code);
        }
    }
    password_pending_ = false;
}
