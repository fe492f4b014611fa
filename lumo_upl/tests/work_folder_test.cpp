#include "lumo_upl/work_folder.hpp"

#include <gtest/gtest.h>

#include <boost/property_tree/ptree.hpp>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/testing/test_support.hpp"

namespace {

namespace fs = std::filesystem;
using namespace lumo_upl;
using platform::testing::temp_dir;
using platform::testing::write_file;

free_space_query space_of(std::optional<std::uint64_t> bytes) {
    return [bytes](const fs::path&) { return bytes; };
}

TEST(WorkFolder, NeedsOneGibibyteAvailable) {
    struct space_case {
        std::optional<std::uint64_t> available;
        work_folder_status status;
    };
    const std::vector<space_case> cases = {
        {1073741823, work_folder_status::too_little_space},
        {1073741824, work_folder_status::usable},
        {std::nullopt, work_folder_status::too_little_space},
        {0, work_folder_status::too_little_space},
    };
    for (const space_case& c : cases) {
        temp_dir chosen;
        const work_folder_choice choice = settle_work_folder(chosen.path(), space_of(c.available));
        EXPECT_EQ(choice.status, c.status);
        EXPECT_EQ(fs::exists(chosen / "lumo_work_folder"), c.status == work_folder_status::usable);
    }
    // The real query reads the volume of the chosen folder.
    temp_dir chosen;
    EXPECT_GT(available_space(chosen.path()).value_or(0), 0u);
    EXPECT_FALSE(available_space(chosen / "missing"));
}

TEST(WorkFolder, IsCreatedInTheChosenFolderOrProvedWritable) {
    temp_dir chosen;
    const auto enough = space_of(min_work_folder_space);

    // Created anew, with its parents, and no marker.
    const fs::path deep = chosen / "a" / "b";
    work_folder_choice choice = settle_work_folder(deep.string() + "/", enough);
    ASSERT_EQ(choice.status, work_folder_status::usable);
    EXPECT_EQ(choice.work_folder, deep.string() + "/lumo_work_folder");
    EXPECT_TRUE(fs::is_directory(deep / "lumo_work_folder"));
    EXPECT_FALSE(fs::exists(deep / "lumo_work_folder" / ".lumo_work_folder"));

    // Chosen again: the marker proves it writable.
    choice = settle_work_folder(deep.string(), enough);
    ASSERT_EQ(choice.status, work_folder_status::usable);
    EXPECT_EQ(choice.work_folder, deep.string() + "/lumo_work_folder");
    EXPECT_TRUE(fs::is_regular_file(deep / "lumo_work_folder" / ".lumo_work_folder"));

    // Things in the way: a folder where the marker goes, a file where the
    // work folder goes, a file where the chosen folder's parent goes.
    fs::create_directories(chosen / "marker_blocked" / "lumo_work_folder" / ".lumo_work_folder");
    fs::create_directories(chosen / "file_blocked");
    write_file(chosen / "file_blocked" / "lumo_work_folder", "");
    write_file(chosen / "not_a_folder", "");
    for (const fs::path& blocked :
         {chosen / "marker_blocked", chosen / "file_blocked", chosen / "not_a_folder" / "below"}) {
        SCOPED_TRACE(blocked);
        choice = settle_work_folder(blocked.string(), enough);
        EXPECT_EQ(choice.status, work_folder_status::not_writable);
        EXPECT_EQ(choice.work_folder, "");
    }
}

TEST(WorkFolder, TheSettingsNameItWhileItExists) {
    temp_dir folder;
    boost::property_tree::ptree settings;
    EXPECT_FALSE(configured_work_folder(settings));
    store_work_folder(settings, (folder / "lumo_work_folder").string());
    EXPECT_FALSE(configured_work_folder(settings));
    fs::create_directories(folder / "lumo_work_folder");
    EXPECT_EQ(configured_work_folder(settings), (folder / "lumo_work_folder").string());
    write_file(folder / "file", "");
    store_work_folder(settings, (folder / "file").string());
    EXPECT_FALSE(configured_work_folder(settings));
}

}  // namespace
