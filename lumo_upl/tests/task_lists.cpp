#include "lumo_upl/tests/task_lists.hpp"

#include <stdexcept>

namespace lumo_upl_testing {

std::vector<std::string> captions_of_list(int which) {
    if (which == 0) {
        return {"first <list> & one", "第一个", "third"};
    }
    std::vector<std::string> captions;
    for (int i = 0; i < 40; ++i) {
        captions.push_back("second list, task " + std::to_string(i));
    }
    return captions;
}

void fill_task_list(lumo_upl::upload_tasks& tasks, int which) {
    int preset = 0;
    for (const std::string& caption : captions_of_list(which)) {
        lumo_upl::task_info info;
        info.caption = caption;
        info.path = "/videos/" + caption + ".mp4";
        info.preset_index = preset++ % 3;
        info.note = std::string(200, 'n');
        std::string error;
        if (!tasks.add_task(info, error)) {
            throw std::runtime_error(error);
        }
    }
}

std::vector<std::string> captions_of(const lumo_upl::upload_tasks& tasks) {
    std::vector<std::string> captions;
    for (std::size_t i = 0; i < tasks.count(); ++i) {
        captions.push_back(tasks.task_at(i).info().caption);
    }
    return captions;
}

}  // namespace lumo_upl_testing
