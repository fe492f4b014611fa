#include "rtmfp/netstream.hpp"

#include "rtmfp/flows.hpp"
#include "rtmfp/packet.hpp"
#include "rtmfp/session.hpp"

rtmfp_netstream::rtmfp_netstream(std::uint32_t stream_id, std::shared_ptr<rtmfp_session> session)
    : stream_id_(stream_id), signature_(signature_of(stream_id)), session_(std::move(session)) {}

rtmfp_netstream::~rtmfp_netstream() = default;

void rtmfp_netstream::on_audio(std::uint32_t, const std::uint8_t*, std::uint32_t) {}

void rtmfp_netstream::on_video(std::uint32_t, const std::uint8_t*, std::uint32_t) {}

void rtmfp_netstream::on_command(buffer_reader&, light_string, double, amf0_based&) {}

void rtmfp_netstream::on_data(std::int32_t, buffer_reader&) {}

void rtmfp_netstream::close() {
    closed_ = true;
    session_.reset();
    // Unbinding edits the sets walked here.
    for (rtmfp_in_flow* flow : std::vector<rtmfp_in_flow*>(in_flows_.begin(), in_flows_.end())) {
        flow->attach(nullptr);
    }
    for (rtmfp_out_flow* flow : std::vector<rtmfp_out_flow*>(out_flow_list_)) {
        flow->detach();
    }
}

rtmfp_out_flow_writer* rtmfp_netstream::begin_message() {
    if (out_flow_list_.empty()) {
        return nullptr;
    }
    rtmfp_out_flow_writer& writer = out_flow_list_.front()->writer();
    writer.end_message();
    return &writer;
}

std::vector<std::uint8_t> rtmfp_netstream::signature_of(std::uint32_t stream_id) {
    if (stream_id == netgroup_id) {
        return {0x03, 0x00, 0x47, 0x43};
    }
    std::vector<std::uint8_t> option(1 + 4 + 4);
    buffer_writer out(option.data(), static_cast<std::uint32_t>(option.size()));
    out.write_u8(0);  // the length, known once the id is written
    out.write_u32_be(0x00544304);
    rtmfp_write_vlu(out, stream_id);
    option.resize(out.size);
    option[0] = static_cast<std::uint8_t>(out.size - 1);
    return option;
}
