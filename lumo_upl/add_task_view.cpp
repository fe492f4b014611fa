#include "lumo_upl/add_task_view.hpp"

#include <QComboBox>
#include <QCoreApplication>
#include <QCursor>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTableWidget>
#include <QVBoxLayout>

#include <set>

#include "lumo_upl/display_text.hpp"
#include "lumo_upl/media_probe.hpp"
#include "lumo_upl/pictures.hpp"

namespace {

using lumo_upl::task_info;

constexpr std::uint32_t thumbnail_position_ms = 10000;
constexpr int title_column = 0;
constexpr int preset_column = 1;
constexpr int length_column = 2;
constexpr int category_column = 3;
constexpr int labels_column = 4;
constexpr int remark_column = 5;
const QSize icon_size(64, 48);

enum check_change { check, uncheck, invert };

// The file name without its folder and its extension.
std::string title_of(const QString& path) {
    int slash = path.lastIndexOf(QLatin1Char('\\'));
    if (slash < 0) {
        slash = path.lastIndexOf(QLatin1Char('/'));
    }
    QString name = path.mid(slash + 1);
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot >= 0) {
        name.truncate(dot);
    }
    return name.toStdString();
}

void fill_presets(QComboBox& list) {
    for (std::int32_t preset = 0; preset < 3; ++preset) {
        list.addItem(QString::fromStdString(lumo_upl::preset_name(preset)));
    }
}

}  // namespace

add_task_view::add_task_view(QWidget* parent) : QWidget(parent) {
    setupUi();
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowSystemMenuHint);

    connect(btnClose_, &QPushButton::clicked, this, &add_task_view::onClose);
    connect(btnDel_, &QPushButton::clicked, this, &add_task_view::onDelete);
    connect(presetList_, qOverload<int>(&QComboBox::currentIndexChanged), this,
            &add_task_view::onPresetChanged);
    connect(catList_, qOverload<int>(&QComboBox::currentIndexChanged), this,
            &add_task_view::onCatChanged);
    connect(labelsEdit_, &QLineEdit::textChanged, this, &add_task_view::onLabelsChanged);
    connect(btnOK_, &QPushButton::clicked, this, &add_task_view::onOK);
    connect(btnCancelLoad_, &QPushButton::clicked, this, &add_task_view::onCancelLoad);
    connect(taskList_, &QWidget::customContextMenuRequested, this, &add_task_view::onContextMenu);
    connect(taskList_, &QTableWidget::cellDoubleClicked, this, &add_task_view::onCellEdit);
    connect(taskList_, &QTableWidget::cellChanged, this, &add_task_view::onCompleteEdit);
    connect(taskList_, &QTableWidget::currentCellChanged, this,
            &add_task_view::onCurrentItemChanged);
    connect(presetList2_, qOverload<int>(&QComboBox::currentIndexChanged), this,
            &add_task_view::onPresetChanged2);
    connect(catList2_, qOverload<int>(&QComboBox::currentIndexChanged), this,
            &add_task_view::onCatChanged2);

    connect(menu_->addAction(QStringLiteral("选中打勾")), &QAction::triggered, this,
            &add_task_view::onPickCheck);
    connect(menu_->addAction(QStringLiteral("选中取消")), &QAction::triggered, this,
            &add_task_view::onPickUnCheck);
    connect(menu_->addAction(QStringLiteral("选中反勾")), &QAction::triggered, this,
            &add_task_view::onPickOpCheck);
    menu_->addSeparator();
    connect(menu_->addAction(QStringLiteral("全部打勾")), &QAction::triggered, this,
            &add_task_view::onAllCheck);
    connect(menu_->addAction(QStringLiteral("全部取消")), &QAction::triggered, this,
            &add_task_view::onAllUnCheck);
    connect(menu_->addAction(QStringLiteral("全部反勾")), &QAction::triggered, this,
            &add_task_view::onAllOpCheck);
    refresh_controls();
}

void add_task_view::setupUi() {
    resize(730, 480);
    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(0);
    layout->setContentsMargins(0, 0, 0, 0);

    frame_ = new QFrame(this);
    frame_->setObjectName(QStringLiteral("frame"));
    frame_->setStyleSheet(
        QStringLiteral("background-color: rgb(57, 57, 57);\ncolor: rgb(25, 25, 25);"));
    auto* title_bar = new QHBoxLayout(frame_);
    title_bar->setContentsMargins(4, 2, 4, 2);
    btnTitle_ = new QPushButton(frame_);
    btnTitle_->setObjectName(QStringLiteral("btnTitle"));
    btnTitle_->setFlat(true);
    btnTitle_->setIcon(lumo_upl::pictures::icon("addfile.png"));
    btnTitle_->setIconSize(QSize(120, 24));
    btnClose_ = new QPushButton(frame_);
    btnClose_->setObjectName(QStringLiteral("btnClose"));
    btnClose_->setStyleSheet(QStringLiteral("border: 0px"));
    btnClose_->setIcon(lumo_upl::pictures::two_state_icon("close.png", "close0.png"));
    btnClose_->setIconSize(QSize(24, 24));
    title_bar->addWidget(btnTitle_);
    title_bar->addStretch();
    title_bar->addWidget(btnClose_);
    layout->addWidget(frame_);

    taskList_ = new QTableWidget(this);
    taskList_->setObjectName(QStringLiteral("taskList"));
    taskList_->setStyleSheet(QStringLiteral(
        "background-color: rgb(226, 226, 226);\nalternate-background-color: rgb(186, 186, "
        "186);\ngridline-color: rgb(255, 255, 255);"));
    taskList_->setAlternatingRowColors(true);
    taskList_->setContextMenuPolicy(Qt::CustomContextMenu);
    taskList_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    taskList_->setSelectionBehavior(QAbstractItemView::SelectRows);
    taskList_->setIconSize(icon_size);
    taskList_->verticalHeader()->setDefaultSectionSize(icon_size.height() + 4);
    const QStringList headers = {QStringLiteral("标题"), QStringLiteral("规格"),
                                 QStringLiteral("长度"), QStringLiteral("分类"),
                                 QStringLiteral("标签"), QStringLiteral("备注")};
    const int widths[] = {190, 65, 65, 100, 100, 190};
    taskList_->setColumnCount(headers.size());
    taskList_->setHorizontalHeaderLabels(headers);
    for (int column = 0; column < headers.size(); ++column) {
        taskList_->setColumnWidth(column, widths[column]);
    }
    layout->addWidget(taskList_);

    auto* line = new QFrame(this);
    line->setObjectName(QStringLiteral("line"));
    line->setFrameShape(QFrame::HLine);
    layout->addWidget(line);

    auto* edits = new QHBoxLayout();
    edits->setContentsMargins(6, 6, 6, 6);
    label_ = new QLabel(QStringLiteral("选中文件："), this);
    label_->setObjectName(QStringLiteral("label"));
    label_->setTextFormat(Qt::RichText);
    presetList_ = new QComboBox(this);
    presetList_->setObjectName(QStringLiteral("presetList"));
    fill_presets(*presetList_);
    catList_ = new QComboBox(this);
    catList_->setObjectName(QStringLiteral("catList"));
    catList_->addItem(QStringLiteral("待分配"));
    labelsEdit_ = new QLineEdit(this);
    labelsEdit_->setObjectName(QStringLiteral("labelsEdit"));
    btnDel_ = new QPushButton(QStringLiteral("删除"), this);
    btnDel_->setObjectName(QStringLiteral("btnDel"));
    edits->addWidget(label_);
    edits->addWidget(presetList_);
    edits->addWidget(catList_);
    edits->addWidget(labelsEdit_);
    edits->addWidget(btnDel_);
    layout->addLayout(edits);

    auto* line_2 = new QFrame(this);
    line_2->setObjectName(QStringLiteral("line_2"));
    line_2->setFrameShape(QFrame::HLine);
    layout->addWidget(line_2);

    auto* actions = new QHBoxLayout();
    actions->setContentsMargins(6, 6, 6, 6);
    procLoader_ = new QProgressBar(this);
    procLoader_->setObjectName(QStringLiteral("procLoader"));
    procLoader_->setRange(0, 100);
    btnCancelLoad_ = new QPushButton(QStringLiteral("取消"), this);
    btnCancelLoad_->setObjectName(QStringLiteral("btnCancelLoad"));
    btnOK_ = new QPushButton(QStringLiteral("确定上传"), this);
    btnOK_->setObjectName(QStringLiteral("btnOK"));
    actions->addWidget(procLoader_);
    actions->addWidget(btnCancelLoad_);
    actions->addStretch();
    actions->addWidget(btnOK_);
    layout->addLayout(actions);

    presetList2_ = new QComboBox(taskList_);
    presetList2_->setObjectName(QStringLiteral("presetList2"));
    fill_presets(*presetList2_);
    presetList2_->hide();
    catList2_ = new QComboBox(taskList_);
    catList2_->setObjectName(QStringLiteral("catList2"));
    catList2_->addItem(QStringLiteral("待分配"));
    catList2_->hide();

    menu_ = new QMenu(this);
}

void add_task_view::set_categories(const std::vector<std::string>& names) {
    for (QComboBox* list : {catList_, catList2_}) {
        const QSignalBlocker quiet(list);
        while (list->count() > 1) {
            list->removeItem(list->count() - 1);
        }
        for (const std::string& name : names) {
            list->addItem(QString::fromStdString(name));
        }
    }
}

void add_task_view::refresh_controls() {
    for (QWidget* control : std::initializer_list<QWidget*>{
             btnClose_, taskList_, btnDel_, presetList_, catList_, labelsEdit_, btnOK_}) {
        control->setEnabled(!loading_);
    }
    procLoader_->setVisible(loading_);
    btnCancelLoad_->setVisible(loading_);
}

QString add_task_view::category_text(const std::string& category) const {
    return category.empty() ? catList_->itemText(0) : QString::fromStdString(category);
}

void add_task_view::add_table_row(const task_info& info, const QImage& picture) {
    const QSignalBlocker quiet(taskList_);
    const int row = taskList_->rowCount();
    taskList_->insertRow(row);
    auto* title = new QTableWidgetItem(QString::fromStdString(info.caption));
    title->setFlags(title->flags() | Qt::ItemIsUserCheckable);
    title->setCheckState(Qt::Unchecked);
    if (!picture.isNull()) {
        title->setIcon(QIcon(QPixmap::fromImage(
            picture.scaled(icon_size, Qt::KeepAspectRatio, Qt::SmoothTransformation))));
    }
    taskList_->setItem(row, title_column, title);
    taskList_->setItem(
        row, preset_column,
        new QTableWidgetItem(QString::fromStdString(lumo_upl::preset_name(info.preset_index))));
    taskList_->setItem(
        row, length_column,
        new QTableWidgetItem(QString::fromStdString(lumo_upl::format_duration(info.duration_ms))));
    taskList_->setItem(row, category_column, new QTableWidgetItem(category_text(info.category)));
    taskList_->setItem(row, labels_column,
                       new QTableWidgetItem(QString::fromStdString(info.labels)));
    taskList_->setItem(row, remark_column, new QTableWidgetItem(QString::fromStdString(info.note)));
}

bool add_task_view::load_files(const QStringList& paths) {
    if (loading_) {
        return false;
    }
    // The files wait here, not among the rows: the event processing during
    // a probe may run any slot of this dialog, and the rows and their
    // records must stay one for one whatever it does.
    std::vector<task_info> waiting;
    for (const QString& path : paths) {
        task_info info;
        info.caption = title_of(path);
        info.path = path.toStdString();
        info.preset_index = presetList_->currentIndex();
        info.category =
            catList_->currentIndex() > 0 ? catList_->currentText().toStdString() : std::string();
        waiting.push_back(std::move(info));
    }
    loading_ = true;
    cancel_ = false;
    refresh_controls();
    procLoader_->setValue(0);
    int done = 0;
    for (task_info& info : waiting) {
        if (cancel_) {
            break;
        }
        QImage picture;
        std::uint32_t duration_ms = 0;
        const int probed =
            probe_media_async(info.path, thumbnail_position_ms, &picture, &duration_ms);
        if (probed >= 0) {
            info.duration_ms = static_cast<std::int32_t>(duration_ms);
            rows_.push_back(std::move(info));
            add_table_row(rows_.back(), probed == 1 ? picture : QImage());
        }
        ++done;
        procLoader_->setValue(done * 100 / static_cast<int>(waiting.size()));
        // The operator may cancel between two files.
        QCoreApplication::processEvents();
    }
    loading_ = false;
    refresh_controls();
    return true;
}

std::vector<int> add_task_view::checked_rows() const {
    std::vector<int> rows;
    for (int row = taskList_->rowCount() - 1; row >= 0; --row) {
        if (taskList_->item(row, title_column)->checkState() == Qt::Checked) {
            rows.push_back(row);
        }
    }
    return rows;
}

std::vector<int> add_task_view::selected_rows() const {
    std::set<int> rows;
    for (const QModelIndex& index : taskList_->selectionModel()->selectedIndexes()) {
        rows.insert(index.row());
    }
    return {rows.begin(), rows.end()};
}

std::vector<int> add_task_view::all_rows() const {
    std::vector<int> rows;
    for (int row = 0; row < taskList_->rowCount(); ++row) {
        rows.push_back(row);
    }
    return rows;
}

void add_task_view::set_checks(const std::vector<int>& rows, int how) {
    for (const int row : rows) {
        QTableWidgetItem* item = taskList_->item(row, title_column);
        const bool checked = how == check || (how == invert && item->checkState() != Qt::Checked);
        item->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
    }
}

void add_task_view::tell(const char* text) {
    QMessageBox::information(this, windowTitle(), QString::fromUtf8(text));
}

void add_task_view::onClose() {
    close();
}

void add_task_view::onDelete() {
    const std::vector<int> rows = checked_rows();
    if (rows.empty()) {
        tell("请勾选要删除的项目");
        return;
    }
    hide_cell_lists();
    for (const int row : rows) {  // from the last to the first
        rows_.erase(rows_.begin() + row);
        taskList_->removeRow(row);
    }
}

void add_task_view::onPresetChanged(int idx) {
    const std::vector<int> rows = checked_rows();
    if (rows.empty()) {
        tell("请勾选要修改的项目");
        return;
    }
    for (const int row : rows) {
        rows_[row].preset_index = idx;
        taskList_->item(row, preset_column)
            ->setText(QString::fromStdString(lumo_upl::preset_name(idx)));
    }
}

void add_task_view::onCatChanged(int idx) {
    const std::vector<int> rows = checked_rows();
    if (rows.empty()) {
        tell("请勾选要修改的项目");
        return;
    }
    for (const int row : rows) {
        rows_[row].category = idx > 0 ? catList_->itemText(idx).toStdString() : std::string();
        taskList_->item(row, category_column)->setText(catList_->itemText(idx));
    }
}

void add_task_view::onLabelsChanged(const QString& v) {
    const std::vector<int> rows = checked_rows();
    if (rows.empty()) {
        tell("请勾选要修改的项目");
        return;
    }
    for (const int row : rows) {
        rows_[row].labels = v.toStdString();
        taskList_->item(row, labels_column)->setText(v);
    }
}

void add_task_view::onOK() {
    hide_cell_lists();
    close();
    emit onUploadTask();
    // They are tasks now: the next files start a list of their own.
    rows_.clear();
    taskList_->setRowCount(0);
}

void add_task_view::onCancelLoad() {
    cancel_ = true;
}

void add_task_view::onContextMenu() {
    menu_->exec(QCursor::pos());
}

void add_task_view::onPickCheck() {
    set_checks(selected_rows(), check);
}

void add_task_view::onPickUnCheck() {
    set_checks(selected_rows(), uncheck);
}

void add_task_view::onPickOpCheck() {
    set_checks(selected_rows(), invert);
}

void add_task_view::onAllCheck() {
    set_checks(all_rows(), check);
}

void add_task_view::onAllUnCheck() {
    set_checks(all_rows(), uncheck);
}

void add_task_view::onAllOpCheck() {
    set_checks(all_rows(), invert);
}

void add_task_view::onCellEdit(int row, int column) {
    if (row < 0 || row >= static_cast<int>(rows_.size())) {
        return;
    }
    QComboBox* list = nullptr;
    int value = 0;
    if (column == preset_column) {
        list = presetList2_;
        value = rows_[row].preset_index;
    } else if (column == category_column) {
        list = catList2_;
        value = std::max(0, catList2_->findText(category_text(rows_[row].category)));
    } else {
        taskList_->editItem(taskList_->item(row, column));
        return;
    }
    QRect cell = taskList_->visualItemRect(taskList_->item(row, column));
    cell.translate(taskList_->viewport()->geometry().topLeft());
    {
        const QSignalBlocker quiet(list);
        list->setCurrentIndex(value);
    }
    list->setGeometry(cell);
    list->show();
    list->raise();
}

void add_task_view::onCompleteEdit(int row, int column) {
    if (row < 0 || row >= static_cast<int>(rows_.size())) {
        return;
    }
    const std::string text = taskList_->item(row, column)->text().toStdString();
    if (column == title_column) {
        rows_[row].caption = text;
    } else if (column == labels_column) {
        rows_[row].labels = text;
    } else if (column == remark_column) {
        rows_[row].note = text;
    }
}

void add_task_view::onPresetChanged2(int idx) {
    const int row = taskList_->currentRow();
    if (row < 0 || row >= static_cast<int>(rows_.size())) {
        return;
    }
    rows_[row].preset_index = idx;
    taskList_->item(row, preset_column)->setText(presetList2_->itemText(idx));
}

void add_task_view::onCatChanged2(int idx) {
    const int row = taskList_->currentRow();
    if (row < 0 || row >= static_cast<int>(rows_.size())) {
        return;
    }
    rows_[row].category = idx > 0 ? catList2_->itemText(idx).toStdString() : std::string();
    taskList_->item(row, category_column)->setText(catList2_->itemText(idx));
}

void add_task_view::onCurrentItemChanged() {
    hide_cell_lists();
}

void add_task_view::hide_cell_lists() {
    presetList2_->hide();
    catList2_->hide();
}

void add_task_view::mousePressEvent(QMouseEvent* event) {
    drag_.press(*this, *event);
}

void add_task_view::mouseReleaseEvent(QMouseEvent*) {
    drag_.release();
}

void add_task_view::mouseMoveEvent(QMouseEvent* event) {
    drag_.move(*this, *event);
}
