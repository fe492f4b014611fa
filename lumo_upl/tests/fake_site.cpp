#include "lumo_upl/tests/fake_site.hpp"

#include <json/reader.h>
#include <json/writer.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "platform/testing/hex.hpp"
#include "vornebased/mhttp.hpp"

namespace lumo_upl_testing {
namespace {

using namespace std::chrono_literals;

Json::Value parse(const std::string& text) {
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors)) {
        throw std::runtime_error("fake site: bad control reply: " + errors);
    }
    return value;
}

// A control order: the operation and, for some, one value.
Json::Value control_order(const char* op, const char* key = nullptr,
                          const Json::Value& value = {}) {
    Json::Value order;
    order["op"] = op;
    if (key != nullptr) {
        order[key] = value;
    }
    return order;
}

}  // namespace

scoped_home::scoped_home() {
    if (const char* home = std::getenv("HOME")) {
        previous_ = home;
    }
    ::setenv("HOME", path().c_str(), 1);
}

scoped_home::~scoped_home() {
    if (previous_) {
        ::setenv("HOME", previous_->c_str(), 1);
    } else {
        ::unsetenv("HOME");
    }
}

std::string recorded_file::bytes() const {
    return platform::testing::read_file(stored);
}

fake_site::fake_site(std::string site_path, site_checks checks)
    : port_(platform::testing::free_port()) {
    address_ = "http://127.0.0.1:" + std::to_string(port_) + site_path;
    std::vector<std::string> command = {FAKE_SITE_PYTHON, FAKE_SITE_SCRIPT};
    if (checks == site_checks::lenient) {
        command.push_back("--lenient");
    }
    command.insert(command.end(), {std::to_string(port_), site_path, storage_.path().string()});
    process_ = std::make_unique<platform::testing::child_process>(std::move(command));
    if (!platform::testing::wait_for_tcp_port(port_, 20s)) {
        throw std::runtime_error("fake site did not start: " + process_->stderr_text());
    }
}

fake_site::~fake_site() = default;

Json::Value fake_site::control(const Json::Value& order) {
    Json::StreamWriterBuilder writer;
    const std::string body = Json::writeString(writer, order);
    VorneBased::CTCPClient client("127.0.0.1", port_);
    if (!client.Connect()) {
        throw std::runtime_error("fake site: can't connect");
    }
    client.SendAll("POST /__control HTTP/1.0\r\nContent-Length: " + std::to_string(body.size()) +
                   "\r\n\r\n" + body);
    const VorneBased::http_response_head head = client.ReadResponseHeader();
    const std::string reply = client.RecvBody(head.content_length, 0);
    if (head.lines.empty() || head.lines[0].find(" 200 ") == std::string::npos) {
        throw std::runtime_error("fake site refused " + body + ": " + reply);
    }
    return parse(reply);
}

void fake_site::add_token(const std::string& token) {
    control(control_order("add_token", "token", token));
}

void fake_site::set_free_size(const std::string& size) {
    control(control_order("set_free_size", "size", size));
}

void fake_site::set_categories(const Json::Value& list) {
    control(control_order("set_categories", "value", list));
}

void fake_site::leave_out_categories() {
    control(control_order("set_categories"));
}

void fake_site::script(const Json::Value& entry) {
    control(control_order("script", "entry", entry));
}

void fake_site::release(int count) {
    control(control_order("release", "count", count));
}

std::vector<recorded_request> fake_site::requests() {
    const Json::Value reply = control(control_order("requests"));
    std::vector<recorded_request> result;
    for (const Json::Value& entry : reply["requests"]) {
        recorded_request request;
        request.target = entry.get("target", "").asString();
        request.action = entry.get("action", "").asString();
        request.call = entry.get("call", 0).asInt();
        request.violation = entry.get("violation", "").asString();
        for (const Json::Value& name : entry["parts"]) {
            request.parts.push_back(name.asString());
        }
        for (const std::string& name : entry["fields"].getMemberNames()) {
            request.fields[name] = platform::testing::hex_bytes(entry["fields"][name].asString());
        }
        for (const std::string& name : entry["files"].getMemberNames()) {
            const Json::Value& file = entry["files"][name];
            request.files[name] = recorded_file{file["fileName"].asString(), file["size"].asInt64(),
                                                file["stored"].asString()};
        }
        result.push_back(std::move(request));
    }
    return result;
}

std::vector<std::string> fake_site::violations() {
    const Json::Value reply = control(control_order("violations"));
    std::vector<std::string> result;
    for (const Json::Value& text : reply["violations"]) {
        result.push_back(text.asString());
    }
    return result;
}

Json::Value fake_site::streams() {
    return control(control_order("streams"))["streams"];
}

}  // namespace lumo_upl_testing
