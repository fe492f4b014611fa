#include "lumo_upl/tests/window_helpers.hpp"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <iostream>
#include <system_error>

#include "lumo_upl/password_box.hpp"

namespace lumo_upl_testing {
namespace {

constexpr int poll_interval_ms = 10;

std::string describe(QWidget& widget) {
    std::string text = std::string(widget.metaObject()->className()) + " \"" +
                       widget.windowTitle().toStdString() + "\"";
    if (auto* box = qobject_cast<QMessageBox*>(&widget)) {
        text += ": " + box->text().toStdString();
    }
    return text;
}

void dismiss(QWidget& widget) {
    if (auto* box = qobject_cast<QMessageBox*>(&widget)) {
        if (QAbstractButton* escape = box->escapeButton()) {
            escape->click();
            return;
        }
        if (!box->buttons().isEmpty()) {
            box->buttons().front()->click();
            return;
        }
    }
    if (auto* dialog = qobject_cast<QDialog*>(&widget)) {
        dialog->reject();
        return;
    }
    widget.close();
}

QString quoted_list(const QStringList& files) {
    QStringList quoted;
    for (const QString& file : files) {
        quoted << QLatin1Char('"') + file + QLatin1Char('"');
    }
    return quoted.join(QLatin1Char(' '));
}

}  // namespace

bool run_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeout.count()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QTest::qWait(5);
    }
    return true;
}

void run_for(std::chrono::milliseconds time) {
    QTest::qWait(static_cast<int>(time.count()));
}

once_ready::once_ready(std::function<bool()> ready, std::function<void()> step) {
    connect(&timer_, &QTimer::timeout, this,
            [this, ready = std::move(ready), step = std::move(step)] {
                if (ready()) {
                    timer_.stop();
                    done_ = true;
                    step();
                }
            });
    timer_.start(poll_interval_ms);
}

held_source::held_source(std::filesystem::path path) : path_(std::move(path)) {
    if (::mkfifo(path_.c_str(), 0600) != 0) {
        throw std::system_error(errno, std::generic_category(), "mkfifo " + path_.string());
    }
}

held_source::~held_source() {
    let_go();
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
}

bool held_source::held() {
    if (writer_ < 0) {
        // Opens only once the other end is open for reading.
        writer_ = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    }
    return writer_ >= 0;
}

void held_source::let_go() {
    if (writer_ >= 0) {
        ::close(writer_);
        writer_ = -1;
    }
}

void screenshot(QWidget& widget, const std::string& name) {
    const std::filesystem::path folder = LUMO_UPL_SCREENSHOTS;
    std::filesystem::create_directories(folder);
    const std::filesystem::path file = folder / (name + ".png");
    if (widget.grab().save(QString::fromStdString(file.string()), "PNG")) {
        std::cout << "screenshot: " << file.string() << std::endl;
    } else {
        std::cout << "screenshot failed: " << file.string() << std::endl;
    }
}

modal_answerer::modal_answerer() {
    connect(&timer_, &QTimer::timeout, this, [this] { poll(); });
    timer_.start(poll_interval_ms);
}

modal_answerer::~modal_answerer() = default;

void modal_answerer::poll() {
    // An answer may run the event loop itself (a check that waits).
    if (answering_) {
        return;
    }
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || !modal->isVisible()) {
        return;
    }
    if (expected_.empty()) {
        fail("unexpected " + describe(*modal));
        dismiss(*modal);
        return;
    }
    const answer next = std::move(expected_.front());
    expected_.pop_front();
    answering_ = true;
    next(*modal);
    answering_ = false;
}

modal_answerer& modal_answerer::message(const QString& title, const QString& text,
                                        QMessageBox::StandardButton button,
                                        const std::string& picture) {
    expected_.push_back([=, this](QWidget& widget) {
        auto* box = qobject_cast<QMessageBox*>(&widget);
        if (box == nullptr || box->windowTitle() != title || box->text() != text) {
            fail("expected the message \"" + text.toStdString() + "\" titled \"" +
                 title.toStdString() + "\", got " + describe(widget));
            dismiss(widget);
            return;
        }
        if (!picture.empty()) {
            screenshot(*box, picture);
        }
        QAbstractButton* chosen = box->button(button);
        if (chosen == nullptr) {
            fail("the message \"" + text.toStdString() + "\" has not the button asked for");
            dismiss(widget);
            return;
        }
        chosen->click();
    });
    return *this;
}

modal_answerer& modal_answerer::password(const QString& typed, const std::string& picture) {
    expected_.push_back([=, this](QWidget& widget) {
        auto* box = qobject_cast<password_box*>(&widget);
        if (box == nullptr) {
            fail("expected the password box, got " + describe(widget));
            dismiss(widget);
            return;
        }
        auto* field = box->findChild<QLineEdit*>(QStringLiteral("password"));
        if (!field->text().isEmpty()) {
            fail("the password box came with text in it");
        }
        // Typed as one insertion: QTest's key clicks know ASCII alone.
        field->insert(typed);
        if (!picture.empty()) {
            screenshot(*box, picture);
        }
        box->findChild<QPushButton*>(QStringLiteral("btnOK"))->click();
    });
    return *this;
}

modal_answerer& modal_answerer::refuse_password() {
    expected_.push_back([this](QWidget& widget) {
        if (qobject_cast<password_box*>(&widget) == nullptr) {
            fail("expected the password box, got " + describe(widget));
        }
        widget.close();
    });
    return *this;
}

modal_answerer& modal_answerer::pick_files(const QStringList& files, std::function<void()> check) {
    expected_.push_back([=, this](QWidget& widget) {
        auto* picker = qobject_cast<QFileDialog*>(&widget);
        if (picker == nullptr || picker->fileMode() != QFileDialog::ExistingFiles) {
            fail("expected the file picker, got " + describe(widget));
            dismiss(widget);
            return;
        }
        if (check) {
            check();
        }
        if (files.isEmpty()) {
            picker->reject();
            return;
        }
        picker->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(quoted_list(files));
        static_cast<QDialog*>(picker)->accept();
        if (picker->isVisible()) {
            fail("the file picker did not take " + quoted_list(files).toStdString());
            picker->reject();
        }
    });
    return *this;
}

modal_answerer& modal_answerer::choose_folder(const QString& folder) {
    expected_.push_back([=, this](QWidget& widget) {
        auto* chooser = qobject_cast<QFileDialog*>(&widget);
        if (chooser == nullptr || chooser->fileMode() != QFileDialog::Directory) {
            fail("expected the folder chooser, got " + describe(widget));
            dismiss(widget);
            return;
        }
        if (folder.isEmpty()) {
            chooser->reject();
            return;
        }
        chooser->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(folder);
        static_cast<QDialog*>(chooser)->accept();
        if (chooser->isVisible()) {
            fail("the folder chooser did not take " + folder.toStdString());
            chooser->reject();
        }
    });
    return *this;
}

}  // namespace lumo_upl_testing

#include <boost/interprocess/ipc/message_queue.hpp>
#include <boost/property_tree/ptree.hpp>

#include "lumo_upl/launch_argument.hpp"
#include "lumo_upl/task_file.hpp"
#include "lumo_upl/tests/worker_fixture.hpp"
#include "lumo_upl/work_folder.hpp"

namespace lumo_upl_testing {

client_session::client_session() : code(accepted_code(site, "secret")) {}

client_session::~client_session() {
    boost::interprocess::message_queue::remove(instance().c_str());
}

void client_session::keep_work_folder() {
    std::filesystem::create_directories(work_folder());
    boost::property_tree::ptree settings;
    lumo_upl::store_work_folder(settings, work_folder().string());
    if (!lumo_upl::save_settings(settings)) {
        throw std::runtime_error("can't save the settings");
    }
}

std::string client_session::instance() const {
    return lumo_upl::make_ipc_name(site.address());
}

std::unique_ptr<lumo_uploader> client_session::launch(const std::string& launch_code) const {
    auto window = std::make_unique<lumo_uploader>();
    window->set_launch(site.address(), launch_code, instance());
    return window;
}

std::unique_ptr<lumo_uploader> started_client(const client_session& session,
                                              modal_answerer& answers) {
    answers.pick_files({});
    auto window = session.launch(session.code);
    EXPECT_TRUE(run_until(
        [&] { return window->loaded() && answers.pending() == 0 && !window->picking_files(); }));
    return window;
}

void show_still_tasks(upload_task_view& view, const std::filesystem::path& work_folder,
                      const std::vector<std::int32_t>& states) {
    auto tasks = std::make_unique<lumo_upl::upload_tasks>(work_folder.string(), 0, 0);
    for (const std::int32_t state : states) {
        lumo_upl::task_info info;
        info.caption = "task " + std::to_string(state);
        info.path = "/nowhere/clip.mp4";
        info.preset_index = 2;
        info.category = state % 2 == 0 ? "新闻" : "";
        info.labels = "a b";
        info.note = "备注 " + std::to_string(state);
        info.duration_ms = 3723000;
        std::string error;
        EXPECT_TRUE(tasks->add_task(info, error)) << error;
        tasks->task_at(tasks->count() - 1).set_state(state);
    }
    view.attach_tasks(std::move(tasks));
    for (std::size_t i = 0; i < view.tasks()->count(); ++i) {
        view.add_row(view.tasks()->task_at(i));
    }
}

::testing::AssertionResult rows_match_records(const add_task_view& dialog) {
    const auto* table = dialog.findChild<QTableWidget*>(QStringLiteral("taskList"));
    const std::vector<lumo_upl::task_info>& records = dialog.tasks();
    if (table->rowCount() != static_cast<int>(records.size())) {
        return ::testing::AssertionFailure()
               << table->rowCount() << " rows, " << records.size() << " records";
    }
    for (int row = 0; row < table->rowCount(); ++row) {
        const std::string title = table->item(row, 0)->text().toStdString();
        if (title != records[static_cast<std::size_t>(row)].caption) {
            return ::testing::AssertionFailure()
                   << "row " << row << " shows " << title << ", its record is "
                   << records[static_cast<std::size_t>(row)].caption;
        }
    }
    return ::testing::AssertionSuccess() << records.size() << " rows";
}

std::optional<std::uint64_t> plenty_of_space(const std::filesystem::path&) {
    return std::uint64_t{1} << 40;
}

}  // namespace lumo_upl_testing
