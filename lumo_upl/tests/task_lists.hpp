#pragma once

#include <string>
#include <vector>

#include "lumo_upl/upload_tasks.hpp"

namespace lumo_upl_testing {

// Two different lists for the tests that save and load in turn: fills
// `tasks` with list 0 or list 1.
void fill_task_list(lumo_upl::upload_tasks& tasks, int which);

// The captions of the tasks in order; what tells the lists apart.
std::vector<std::string> captions_of(const lumo_upl::upload_tasks& tasks);
std::vector<std::string> captions_of_list(int which);

}  // namespace lumo_upl_testing
