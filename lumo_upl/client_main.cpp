#include "lumo_upl/client_main.hpp"

#include <QApplication>
#include <QMessageBox>

#include "lumo_upl/launch_argument.hpp"
#include "lumo_upl/lumo_uploader.hpp"
#include "lumo_upl/media_probe.hpp"

namespace {

constexpr int exit_no_media_library = 4;

}  // namespace

int client_main(int argc, const char* const* argv, const std::filesystem::path& program_folder) {
    if (!load_av_libraries(program_folder)) {
        QMessageBox::critical(nullptr, QStringLiteral("严重错误"),
                              QStringLiteral("音视频库未能加载成功!"), QMessageBox::Ok);
        return exit_no_media_library;
    }
    const lumo_upl::launch_argument launch = lumo_upl::parse_launch_argument(argc, argv);
    auto window = std::make_unique<lumo_uploader>();
    window->set_launch(launch.site_address, launch.launch_code, launch.instance_name);
    const int result = QApplication::exec();
    window.reset();
    return result;
}
