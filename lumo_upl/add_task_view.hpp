#pragma once

#include <QWidget>

#include <string>
#include <vector>

#include "lumo_upl/upload_task.hpp"
#include "lumo_upl/window_drag.hpp"

class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QTableWidget;

// Where the operator reviews the media files just picked before they become
// upload tasks: a row per file with its thumbnail, title, preset, length,
// category, labels and remark, edited one by one or, for the checked rows,
// all at once. "确定上传" hands every row to the main window.
class add_task_view : public QWidget {
    Q_OBJECT

  public:
    explicit add_task_view(QWidget* parent = nullptr);

    // The site's categories after "待分配" in both category lists.
    void set_categories(const std::vector<std::string>& names);
    // Probes the files one after another, keeping the window responsive: a
    // file that does not probe is dropped, and so are those not probed yet
    // when loading is cancelled. A file's row and its record are made
    // together once it has probed. False, with nothing done, while a load
    // runs.
    bool load_files(const QStringList& paths);
    bool loading() const { return loading_; }
    const std::vector<lumo_upl::task_info>& tasks() const { return rows_; }

  signals:
    void onUploadTask();

  public slots:
    void onClose();
    void onDelete();
    void onPresetChanged(int idx);
    void onCatChanged(int idx);
    void onLabelsChanged(const QString& v);
    void onOK();
    void onCancelLoad();
    void onContextMenu();
    void onPickCheck();
    void onPickUnCheck();
    void onPickOpCheck();
    void onAllCheck();
    void onAllUnCheck();
    void onAllOpCheck();
    void onCellEdit(int row, int column);
    void onCompleteEdit(int row, int column);
    void onPresetChanged2(int idx);
    void onCatChanged2(int idx);
    void onCurrentItemChanged();

  protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

  private:
    void setupUi();
    void refresh_controls();
    void add_table_row(const lumo_upl::task_info& info, const QImage& picture);
    std::vector<int> checked_rows() const;
    std::vector<int> selected_rows() const;
    void set_checks(const std::vector<int>& rows, int how);
    std::vector<int> all_rows() const;
    void hide_cell_lists();
    QString category_text(const std::string& category) const;
    void tell(const char* text);

    QFrame* frame_;
    QPushButton* btnTitle_;
    QPushButton* btnClose_;
    QTableWidget* taskList_;
    QLabel* label_;
    QPushButton* btnDel_;
    QComboBox* presetList_;
    QComboBox* catList_;
    QLineEdit* labelsEdit_;
    QPushButton* btnOK_;
    QComboBox* presetList2_;
    QComboBox* catList2_;
    QProgressBar* procLoader_;
    QPushButton* btnCancelLoad_;
    QMenu* menu_;

    std::vector<lumo_upl::task_info> rows_;
    bool loading_ = false;
    bool cancel_ = false;
    window_drag drag_;
};
