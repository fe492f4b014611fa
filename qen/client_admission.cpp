#include "qen/client_admission.hpp"

namespace qen {

std::optional<std::string> admit_client(app_manager& apps, const amf0_object& command,
                                        qen_connection_context& context) {
    if (context.app) {
        return "Already connected";
    }
    const amf0_based* tc_url = command.find("tcUrl");
    if (tc_url == nullptr || tc_url->marker != amf0_string::type_marker) {
        return "No tcUrl";
    }
    app_ptr app =
        apps.find_app_by_url(static_cast<const amf0_string*>(tc_url)->value.str(), context);
    if (!app) {
        return "No such application";
    }
    context.client = client_hold(app->clients());
    context.app = std::move(app);
    return std::nullopt;
}

}  // namespace qen
