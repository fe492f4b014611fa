#pragma once

#include <filesystem>

// The program after its QApplication exists: the media library from the
// program's folder (a box and exit code 4 when it is missing), the launch
// argument, the main window and the event loop. Returns the exit code.
int client_main(int argc, const char* const* argv, const std::filesystem::path& program_folder);
