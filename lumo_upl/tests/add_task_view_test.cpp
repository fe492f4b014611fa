// The add-task dialog with files that ffmpeg made and one that is no media.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>

#include <set>

#include "lumo_upl/add_task_view.hpp"
#include "lumo_upl/tests/media_samples.hpp"
#include "lumo_upl/tests/window_helpers.hpp"

namespace {

namespace fs = std::filesystem;
using namespace lumo_upl_testing;
using lumo_upl::task_info;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

const QString dialog_title = QStringLiteral("Ostra视频管理客户端");

// Media files in a folder of their own: "talk.show.mp4" (23 s), "tone.m4a"
// (sound alone), "clip.mp4" and "notes.txt" (no media).
struct picked_files {
    picked_files() {
        fs::copy_file(lumo_upl_test::sample("long.mp4"), folder / "talk.show.mp4");
        fs::copy_file(lumo_upl_test::sample("audio.m4a"), folder / "tone.m4a");
        fs::copy_file(lumo_upl_test::sample("video_only.mp4"), folder / "clip.mp4");
        platform::testing::write_file(folder / "notes.txt", "no media here");
    }
    QString operator()(const char* name) const {
        return QString::fromStdString((folder / name).string());
    }
    platform::testing::temp_dir folder;
};

struct dialog_fixture {
    dialog_fixture() {
        dialog.setWindowTitle(dialog_title);
        dialog.set_categories({"新闻", "体育"});
        dialog.show();
    }
    template <class T>
    T& child(const char* name) {
        T* found = dialog.findChild<T*>(QLatin1String(name));
        EXPECT_NE(found, nullptr) << name;
        return *found;
    }
    QTableWidget& table() { return child<QTableWidget>("taskList"); }
    QStringList column(int index) {
        QStringList texts;
        for (int row = 0; row < table().rowCount(); ++row) {
            texts << table().item(row, index)->text();
        }
        return texts;
    }
    void check(std::initializer_list<int> rows) {
        for (int row = 0; row < table().rowCount(); ++row) {
            table().item(row, 0)->setCheckState(
                std::find(rows.begin(), rows.end(), row) != rows.end() ? Qt::Checked
                                                                       : Qt::Unchecked);
        }
    }
    std::vector<int> checked() {
        std::vector<int> rows;
        for (int row = 0; row < table().rowCount(); ++row) {
            if (table().item(row, 0)->checkState() == Qt::Checked) {
                rows.push_back(row);
            }
        }
        return rows;
    }

    add_task_view dialog;
};

TEST(AddTaskView, LoadsTheFilesThatProbe) {
    REQUIRE_MEDIA();
    picked_files files;
    dialog_fixture f;
    QStringList categories;
    for (int i = 0; i < f.child<QComboBox>("catList").count(); ++i) {
        categories << f.child<QComboBox>("catList").itemText(i);
    }
    EXPECT_EQ(categories, (QStringList{"待分配", "新闻", "体育"}));
    EXPECT_EQ(f.child<QComboBox>("catList2").count(), 3);
    EXPECT_EQ(f.child<QLabel>("label").text(), QStringLiteral("选中文件："));
    EXPECT_EQ(f.dialog.windowFlags() & Qt::FramelessWindowHint, Qt::FramelessWindowHint);
    const QStringList headers = {"标题", "规格", "长度", "分类", "标签", "备注"};
    const int widths[] = {190, 65, 65, 100, 100, 190};
    for (int column = 0; column < 6; ++column) {
        EXPECT_EQ(f.table().horizontalHeaderItem(column)->text(), headers[column]);
        EXPECT_EQ(f.table().columnWidth(column), widths[column]);
    }

    QList<bool> loading_seen;
    QObject::connect(&f.child<QProgressBar>("procLoader"), &QProgressBar::valueChanged, [&] {
        loading_seen << (f.child<QPushButton>("btnCancelLoad").isVisible() &&
                         !f.child<QPushButton>("btnOK").isEnabled() &&
                         f.child<QPushButton>("btnCancelLoad").isEnabled());
    });
    f.dialog.load_files({files("talk.show.mp4"), files("notes.txt"), files("tone.m4a")});
    EXPECT_FALSE(loading_seen.contains(false));
    EXPECT_FALSE(loading_seen.isEmpty());
    EXPECT_FALSE(f.dialog.loading());
    EXPECT_FALSE(f.child<QProgressBar>("procLoader").isVisible());
    EXPECT_TRUE(f.child<QPushButton>("btnOK").isEnabled());

    EXPECT_EQ(f.column(0), (QStringList{"talk.show", "tone"}));
    EXPECT_EQ(f.column(1), (QStringList{"流畅", "流畅"}));
    EXPECT_EQ(f.column(2), (QStringList{"00:00:23", "00:00:03"}));
    EXPECT_EQ(f.column(3), (QStringList{"待分配", "待分配"}));
    EXPECT_FALSE(f.table().item(0, 0)->icon().isNull()) << "a thumbnail";
    EXPECT_EQ(f.table().item(0, 0)->checkState(), Qt::Unchecked);
    ASSERT_EQ(f.dialog.tasks().size(), 2u);
    const task_info& talk = f.dialog.tasks()[0];
    EXPECT_EQ(talk.caption, "talk.show");
    EXPECT_EQ(talk.path, files("talk.show.mp4").toStdString());
    EXPECT_EQ(talk.preset_index, 0);
    EXPECT_EQ(talk.category, "");
    EXPECT_NEAR(talk.duration_ms, 23000, 200);
    screenshot(f.dialog, "add_task_dialog");
}

TEST(AddTaskView, CancellingKeepsTheRowsProbedSoFar) {
    REQUIRE_MEDIA();
    picked_files files;
    dialog_fixture f;
    // Nothing checked: a word each, and the lists keep the choices.
    modal_answerer answers;
    answers.message(dialog_title, QStringLiteral("请勾选要修改的项目"))
        .message(dialog_title, QStringLiteral("请勾选要修改的项目"));
    f.child<QComboBox>("presetList").setCurrentIndex(2);
    f.child<QComboBox>("catList").setCurrentIndex(1);
    QObject::connect(&f.child<QProgressBar>("procLoader"), &QProgressBar::valueChanged,
                     [&](int value) {
                         if (value > 0) {
                             f.child<QPushButton>("btnCancelLoad").click();
                         }
                     });
    f.dialog.load_files({files("clip.mp4"), files("talk.show.mp4"), files("tone.m4a")});
    EXPECT_EQ(f.column(0), QStringList{"clip"});
    ASSERT_EQ(f.dialog.tasks().size(), 1u);
    EXPECT_EQ(f.dialog.tasks()[0].preset_index, 2) << "new rows take the lists' choices";
    EXPECT_EQ(f.dialog.tasks()[0].category, "新闻");
    EXPECT_EQ(f.column(3), QStringList{"新闻"});
    EXPECT_THAT(answers.failures(), IsEmpty());
}

TEST(AddTaskView, BulkEditsAndDeletionsTakeTheCheckedRows) {
    REQUIRE_MEDIA();
    picked_files files;
    dialog_fixture f;
    f.dialog.load_files({files("clip.mp4"), files("tone.m4a"), files("talk.show.mp4")});
    ASSERT_EQ(f.dialog.tasks().size(), 3u);
    const std::vector<task_info> before = f.dialog.tasks();

    modal_answerer answers;
    const QString nothing_checked = QStringLiteral("请勾选要修改的项目");
    answers.message(dialog_title, nothing_checked, QMessageBox::Ok, "message_nothing_checked")
        .message(dialog_title, nothing_checked)
        .message(dialog_title, nothing_checked)
        .message(dialog_title, QStringLiteral("请勾选要删除的项目"));
    f.child<QComboBox>("presetList").setCurrentIndex(1);
    f.child<QComboBox>("catList").setCurrentIndex(2);
    f.child<QLineEdit>("labelsEdit").setText("x");
    f.child<QPushButton>("btnDel").click();
    EXPECT_EQ(f.dialog.tasks(), before) << "nothing changes without a check";

    f.check({0, 2});
    f.child<QComboBox>("presetList").setCurrentIndex(2);
    f.child<QComboBox>("catList").setCurrentIndex(1);
    f.child<QLineEdit>("labelsEdit").setText("访谈 2024");
    EXPECT_EQ(f.column(1), (QStringList{"高清", "流畅", "高清"}));
    EXPECT_EQ(f.column(3), (QStringList{"新闻", "待分配", "新闻"}));
    EXPECT_EQ(f.column(4), (QStringList{"访谈 2024", "", "访谈 2024"}));
    EXPECT_EQ(f.dialog.tasks()[0].preset_index, 2);
    EXPECT_EQ(f.dialog.tasks()[2].category, "新闻");
    EXPECT_EQ(f.dialog.tasks()[2].labels, "访谈 2024");
    EXPECT_EQ(f.dialog.tasks()[1], before[1]);

    f.child<QComboBox>("catList").setCurrentIndex(0);
    EXPECT_EQ(f.dialog.tasks()[0].category, "") << "the first item is no category";
    EXPECT_EQ(f.column(3), (QStringList{"待分配", "待分配", "待分配"}));

    f.child<QPushButton>("btnDel").click();
    EXPECT_EQ(f.column(0), QStringList{"tone"});
    ASSERT_EQ(f.dialog.tasks().size(), 1u);
    EXPECT_EQ(f.dialog.tasks()[0].caption, "tone");
    EXPECT_EQ(answers.pending(), 0u);
    EXPECT_THAT(answers.failures(), IsEmpty());
}

TEST(AddTaskView, EditsOneRowInItsCells) {
    REQUIRE_MEDIA();
    picked_files files;
    dialog_fixture f;
    f.dialog.load_files({files("clip.mp4"), files("tone.m4a")});
    auto& presets = f.child<QComboBox>("presetList2");
    auto& categories = f.child<QComboBox>("catList2");
    QSignalSpy preset_changes(&presets, qOverload<int>(&QComboBox::currentIndexChanged));

    f.check({1});
    f.child<QComboBox>("presetList").setCurrentIndex(2);
    f.table().setCurrentCell(1, 1);
    f.dialog.onCellEdit(1, 1);
    EXPECT_TRUE(presets.isVisible());
    EXPECT_EQ(presets.currentIndex(), 2) << "set to the row's preset";
    EXPECT_EQ(preset_changes.count(), 0) << "without a change signal";
    EXPECT_EQ(presets.parentWidget(), &f.table());
    presets.setCurrentIndex(1);
    EXPECT_EQ(f.dialog.tasks()[1].preset_index, 1);
    EXPECT_EQ(f.table().item(1, 1)->text(), "标清");

    f.table().setCurrentCell(0, 3);
    EXPECT_FALSE(presets.isVisible()) << "another cell hides the lists";
    f.dialog.onCellEdit(0, 3);
    EXPECT_TRUE(categories.isVisible());
    EXPECT_EQ(categories.currentIndex(), 0);
    categories.setCurrentIndex(2);
    EXPECT_EQ(f.dialog.tasks()[0].category, "体育");
    EXPECT_EQ(f.table().item(0, 3)->text(), "体育");
    categories.setCurrentIndex(0);
    EXPECT_EQ(f.dialog.tasks()[0].category, "");

    f.table().setCurrentCell(0, 0);
    EXPECT_FALSE(categories.isVisible());
    f.table().item(0, 0)->setText("新的标题");
    f.table().item(0, 4)->setText("标签");
    f.table().item(0, 5)->setText("一段备注");
    f.table().item(0, 2)->setText("99:99:99");
    EXPECT_EQ(f.dialog.tasks()[0].caption, "新的标题");
    EXPECT_EQ(f.dialog.tasks()[0].labels, "标签");
    EXPECT_EQ(f.dialog.tasks()[0].note, "一段备注");
    EXPECT_NEAR(f.dialog.tasks()[0].duration_ms, 3000, 200);
}

TEST(AddTaskView, CheckActionsAndOk) {
    REQUIRE_MEDIA();
    picked_files files;
    dialog_fixture f;
    f.dialog.load_files({files("clip.mp4"), files("tone.m4a"), files("talk.show.mp4")});
    ASSERT_EQ(f.table().rowCount(), 3);
    f.table().setSelectionMode(QAbstractItemView::MultiSelection);
    f.table().selectRow(0);
    f.table().selectRow(2);
    f.check({1});
    struct step {
        void (add_task_view::*action)();
        std::vector<int> checked;
    };
    const step steps[] = {
        {&add_task_view::onPickOpCheck, {0, 1, 2}}, {&add_task_view::onPickUnCheck, {1}},
        {&add_task_view::onPickCheck, {0, 1, 2}},   {&add_task_view::onAllUnCheck, {}},
        {&add_task_view::onAllOpCheck, {0, 1, 2}},  {&add_task_view::onPickOpCheck, {1}},
        {&add_task_view::onAllOpCheck, {0, 2}},     {&add_task_view::onAllCheck, {0, 1, 2}},
    };
    int number = 0;
    for (const step& s : steps) {
        (f.dialog.*s.action)();
        EXPECT_EQ(f.checked(), s.checked) << "step " << number++;
    }

    std::vector<task_info> handed;
    QObject::connect(&f.dialog, &add_task_view::onUploadTask, [&] { handed = f.dialog.tasks(); });
    f.check({1});
    const std::vector<task_info> rows = f.dialog.tasks();
    f.child<QPushButton>("btnOK").click();
    EXPECT_EQ(handed, rows) << "every row, checked or not";
    EXPECT_FALSE(f.dialog.isVisible());
    EXPECT_TRUE(f.dialog.tasks().empty()) << "the next files start a list of their own";
    EXPECT_EQ(f.table().rowCount(), 0);
}

TEST(AddTaskView, WhileAFileProbesRowsAndRecordsStayOneForOne) {
    REQUIRE_MEDIA();
    picked_files files;
    dialog_fixture f;
    held_source held(files.folder / "held.mp4");
    std::vector<task_info> handed;
    QObject::connect(&f.dialog, &add_task_view::onUploadTask, [&] { handed = f.dialog.tasks(); });
    bool second_load = true;
    // While the second file's probe waits: another load, and a confirmation
    // (as if anything had let one through), run from the dialog's own event
    // processing.
    const once_ready during([&] { return held.held(); },
                            [&] {
                                EXPECT_TRUE(rows_match_records(f.dialog));
                                EXPECT_FALSE(f.child<QPushButton>("btnOK").isEnabled());
                                second_load = f.dialog.load_files({files("tone.m4a")});
                                f.dialog.onOK();
                                EXPECT_TRUE(rows_match_records(f.dialog));
                                held.let_go();
                            });
    EXPECT_TRUE(f.dialog.load_files({files("clip.mp4"), held.name(), files("talk.show.mp4")}));
    EXPECT_TRUE(during.done());
    EXPECT_FALSE(second_load) << "a load is refused while another runs";
    ASSERT_EQ(handed.size(), 1u);
    EXPECT_EQ(handed[0].caption, "clip");
    EXPECT_TRUE(rows_match_records(f.dialog));
    EXPECT_EQ(f.column(0), QStringList{"talk.show"})
        << "the held file is no media; the file after it came in";
    EXPECT_FALSE(f.dialog.loading());
    EXPECT_TRUE(f.child<QPushButton>("btnOK").isEnabled());
}

}  // namespace
