#include <QApplication>

#include <filesystem>

#include "lumo_upl/client_main.hpp"

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    const std::filesystem::path program_folder =
        std::filesystem::path(QCoreApplication::applicationDirPath().toStdString());
    return client_main(argc, argv, program_folder);
}
