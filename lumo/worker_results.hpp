#pragma once

// What the workers of the administration port's methods (the channel
// manager's and the configuration editor's) give back: maps of text, and on
// failure an error text "CODE:message".

#include <map>
#include <string>
#include <utility>

namespace lumo {

using string_map = std::map<std::string, std::string>;

// Sets the error text; false, the worker's result.
inline bool fail(std::string& error, std::string text) {
    error = std::move(text);
    return false;
}

}  // namespace lumo
