#pragma once

#include <optional>
#include <string>

#include "foundation/amf0.hpp"
#include "qen/app_manager.hpp"
#include "qen/qen_app.hpp"

namespace qen {

// Admits a client to the application that its connect command's tcUrl
// names: the one way RTMP and RTMFP clients reach an application. Fills the
// context's URL parts; once admitted the context holds the application and
// the client's place among its clients. Nothing when admitted, else the
// reason of the refusal.
std::optional<std::string> admit_client(app_manager& apps, const amf0_object& command,
                                        qen_connection_context& context);

}  // namespace qen
