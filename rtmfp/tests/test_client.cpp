#include "rtmfp/tests/test_client.hpp"

#include <poll.h>

#include <boost/asio/socket_base.hpp>

#include <algorithm>
#include <stdexcept>
#include <system_error>

namespace rtmfp_test {

namespace {

namespace ip = boost::asio::ip;

constexpr std::size_t max_datagram = rtmfp_max_packet_size;
// Room for chunks in a datagram: what padding may add has to fit too.
constexpr std::size_t chunk_room = max_datagram - 16;

constexpr std::uint8_t timestamp_bit = 0x08;
constexpr std::uint8_t echo_bit = 0x04;

constexpr std::uint8_t user_data_type = 0x10;
constexpr std::uint8_t next_user_data_type = 0x11;
constexpr std::uint8_t ack_type = 0x51;
constexpr std::uint8_t ack_bitmap_type = 0x50;
constexpr std::uint8_t ping_type = 0x01;
constexpr std::uint8_t pong_type = 0x41;
constexpr std::uint8_t session_end_type = 0x4C;

constexpr std::uint8_t handshake_reply_type = 0x70;
constexpr std::uint8_t key_exchange_reply_type = 0x78;
constexpr std::uint8_t first_contact_type = 0x30;
constexpr std::uint8_t key_exchange_type = 0x38;
// The marker of our handshake packets, 0x0B, without its timestamp bit.
constexpr std::uint8_t handshake_marker_base = 0x03;
constexpr std::uint8_t url_discriminator = 0x0A;
constexpr std::uint8_t peer_discriminator = 0x0F;
constexpr std::uint8_t key_form_128 = 0x81;
constexpr std::uint32_t default_session_id = 0x6B1E0001;
constexpr std::size_t initiator_nonce_size = 76;

constexpr std::uint8_t options_flag = 0x80;
constexpr std::uint8_t position_mask = 0x30;
constexpr std::uint8_t final_flags = 0x03;
constexpr std::uint8_t answers_option = 0x0A;

void put_u16(bytes& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

void append(bytes& out, const bytes& more) {
    out.insert(out.end(), more.begin(), more.end());
}

bytes cat_bytes(bytes a, const bytes& b) {
    append(a, b);
    return a;
}

// Reads what the server wrote; running out of bytes is the server's fault.
class chunk_reader {
  public:
    chunk_reader(const bytes& data, std::size_t pos = 0) : data_(data), pos_(pos) {}

    std::uint8_t u8() {
        need(1);
        return data_[pos_++];
    }
    std::uint16_t u16() {
        const std::uint16_t high = u8();
        return static_cast<std::uint16_t>(high << 8 | u8());
    }
    std::uint32_t vlu() {
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            const std::uint8_t byte = u8();
            value = value << 7 | (byte & 0x7F);
            if ((byte & 0x80) == 0) {
                return value;
            }
        }
        throw std::runtime_error("test client: VLU longer than four bytes");
    }
    bytes take(std::size_t n) {
        need(n);
        bytes out(data_.begin() + static_cast<std::ptrdiff_t>(pos_),
                  data_.begin() + static_cast<std::ptrdiff_t>(pos_ + n));
        pos_ += n;
        return out;
    }
    bytes rest() { return take(left()); }
    std::size_t left() const { return data_.size() - pos_; }
    bool at_end() const { return pos_ >= data_.size(); }
    std::uint8_t peek() const {
        need(1);
        return data_[pos_];
    }

  private:
    void need(std::size_t n) const {
        if (n > left()) {
            throw std::runtime_error("test client: chunk shorter than its fields");
        }
    }
    const bytes& data_;
    std::size_t pos_;
};

bytes random_of(std::size_t n) {
    bytes out(n);
    random_bytes(out.data(), out.size());
    return out;
}

udp_endpoint local_endpoint_for(const udp_endpoint& server, const client_options& options) {
    if (options.local_address) {
        return udp_endpoint(*options.local_address, 0);
    }
    return udp_endpoint(server.address().is_v6() ? ip::address(ip::address_v6::loopback())
                                                 : ip::address(ip::address_v4::loopback()),
                        0);
}

// VLU length and bytes.
bytes counted(const bytes& value) {
    bytes out = test_client::vlu(static_cast<std::uint32_t>(value.size()));
    append(out, value);
    return out;
}

rtmfp_key first_16(const sha256_digest& digest) {
    rtmfp_key key;
    std::copy_n(digest.begin(), key.size(), key.begin());
    return key;
}

}  // namespace

client_keys client_keys::facing(const rtmfp_session_setup& session) {
    return {session.far_session_id, session.session_id, session.decrypt_key, session.encrypt_key};
}

test_client::test_client(const client_keys& keys, const udp_endpoint& server,
                         client_options options)
    : test_client(server, options) {
    keys_ = keys;
    use_session_keys();
}

test_client::test_client(const udp_endpoint& server, client_options options)
    : options_(options),
      socket_(io_, local_endpoint_for(server, options)),
      server_(server),
      handshake_encrypt_(rtmfp_default_key, rtmfp_cipher::direction::encrypt),
      handshake_decrypt_(rtmfp_default_key, rtmfp_cipher::direction::decrypt) {
    socket_.non_blocking(true);
    // Bursts of a fast server should not be lost in the kernel.
    boost::system::error_code ignored;
    socket_.set_option(boost::asio::socket_base::receive_buffer_size(8 << 20), ignored);
    keys_.client_session_id = default_session_id;
}

void test_client::use_session_keys() {
    session_cipher_ =
        std::make_unique<rtmfp_cipher>(keys_.encrypt_key, rtmfp_cipher::direction::encrypt);
    session_decipher_ =
        std::make_unique<rtmfp_cipher>(keys_.decrypt_key, rtmfp_cipher::direction::decrypt);
}

test_client::~test_client() = default;

udp_endpoint test_client::local_endpoint() const {
    return socket_.local_endpoint();
}

bytes test_client::vlu(std::uint32_t value) {
    // Like the server's writer: 1 byte below 128, 2 up to 8191, 3 below
    // 2^20, else 4.
    const int n = value < 0x80 ? 1 : value < 0x2000 ? 2 : value < 0x100000 ? 3 : 4;
    bytes out;
    for (int i = n - 1; i >= 0; --i) {
        out.push_back(static_cast<std::uint8_t>(((value >> (7 * i)) & 0x7F) | (i ? 0x80 : 0)));
    }
    return out;
}

bytes test_client::chunk(std::uint8_t type, const bytes& body) {
    bytes out{type};
    put_u16(out, static_cast<std::uint16_t>(body.size()));
    append(out, body);
    return out;
}

bytes test_client::user_data(std::uint8_t flags, std::uint32_t flow, std::uint32_t sequence,
                             std::uint32_t fsn_offset, const std::optional<bytes>& signature,
                             const bytes& payload) {
    bytes body{static_cast<std::uint8_t>(signature ? flags | options_flag : flags)};
    append(body, vlu(flow));
    append(body, vlu(sequence));
    append(body, vlu(fsn_offset));
    if (signature) {
        append(body, vlu(static_cast<std::uint32_t>(signature->size())));
        append(body, *signature);
        body.push_back(0);
    }
    append(body, payload);
    return chunk(user_data_type, body);
}

bytes test_client::next_user_data(std::uint8_t flags, const bytes& payload) {
    bytes body{flags};
    append(body, payload);
    return chunk(next_user_data_type, body);
}

bytes test_client::ack(std::uint32_t flow, std::uint32_t cumulative, std::uint32_t buffer_space,
                       const std::vector<held_range>& held) {
    bytes body = vlu(flow);
    append(body, vlu(buffer_space));
    append(body, vlu(cumulative));
    // Each range after the gap before it: the gap's length less one, the
    // range's length less one.
    std::uint32_t known = cumulative;
    for (const held_range& range : held) {
        append(body, vlu(range.first - known - 2));
        append(body, vlu(range.last - range.first));
        known = range.last;
    }
    return chunk(ack_type, body);
}

bytes test_client::ack_bitmap(std::uint32_t flow, std::uint32_t cumulative,
                              std::uint32_t buffer_space, const bytes& bitmap) {
    bytes body = vlu(flow);
    append(body, vlu(buffer_space));
    append(body, vlu(cumulative));
    append(body, bitmap);
    return chunk(ack_bitmap_type, body);
}

bytes test_client::ping(const bytes& body) {
    return chunk(ping_type, body);
}

std::uint16_t test_client::now_ticks() const {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(clock::now() - started_).count();
    return static_cast<std::uint16_t>(ms / 4 + 1000);
}

bytes test_client::datagram(const std::vector<bytes>& chunks, std::optional<header_fields> header) {
    if (!session_cipher_) {
        throw std::logic_error("test client: no session keys yet");
    }
    const std::uint16_t tick = now_ticks();
    const bool timestamp = header ? header->timestamp : last_sent_tick_ != tick;
    const bool echo = header ? header->echo : options_.echo && server_time_.has_value();
    last_sent_tick_ = tick;
    return seal(marker_base, timestamp, echo, chunks, keys_.server_session_id, *session_cipher_);
}

bytes test_client::handshake_datagram(const std::vector<bytes>& chunks, std::uint32_t session_id) {
    return seal(handshake_marker_base, true, false, chunks, session_id, handshake_encrypt_);
}

bytes test_client::seal(std::uint8_t marker, bool timestamp, bool echo,
                        const std::vector<bytes>& chunks, std::uint32_t session_id,
                        rtmfp_cipher& cipher) {
    bytes out(6, 0);
    out.push_back(static_cast<std::uint8_t>(marker | (timestamp ? timestamp_bit : 0) |
                                            (echo ? echo_bit : 0)));
    if (timestamp) {
        put_u16(out, now_ticks());
    }
    if (echo) {
        put_u16(out, server_time_.value_or(0));
    }
    for (const bytes& c : chunks) {
        append(out, c);
    }
    while ((out.size() - 4) % 16 != 0) {
        out.push_back(0xFF);
    }
    if (out.size() < rtmfp_min_packet_size) {
        out.insert(out.end(), 16, 0xFF);
    }
    if (out.size() > max_datagram) {
        throw std::length_error("test client: datagram over 1204 bytes");
    }
    rtmfp_seal_packet(out.data(), static_cast<std::uint32_t>(out.size()), session_id, cipher);
    return out;
}

bytes test_client::first_contact(const std::string& url, const bytes& tag) {
    bytes value{url_discriminator};
    value.insert(value.end(), url.begin(), url.end());
    bytes body = vlu(static_cast<std::uint32_t>(counted(value).size()));
    append(body, counted(value));
    append(body, tag);
    return chunk(first_contact_type, body);
}

bytes test_client::introduction_request(const bytes& peer_id, const bytes& tag) {
    bytes value{peer_discriminator};
    append(value, peer_id);
    bytes body = vlu(static_cast<std::uint32_t>(counted(value).size()));
    append(body, counted(value));
    append(body, tag);
    return chunk(first_contact_type, body);
}

bytes test_client::key_exchange(std::uint32_t initiator_session_id, const bytes& cookie,
                                const bytes& certificate, const bytes& nonce) {
    bytes body;
    for (int shift = 24; shift >= 0; shift -= 8) {
        body.push_back(static_cast<std::uint8_t>(initiator_session_id >> shift));
    }
    append(body, counted(cookie));
    append(body, counted(certificate));
    append(body, counted(nonce));
    body.push_back(0x58);
    return chunk(key_exchange_type, body);
}

bytes test_client::certificate_of(const bytes& public_key) {
    bytes option{0x1D, 0x02};
    append(option, public_key);
    return counted(option);
}

rtmfp_peer_id test_client::peer_id() const {
    const bytes certificate = certificate_of(public_key_);
    return sha256({certificate});
}

void test_client::set_key_pair(dh1024_key_pair pair, bool short_form) {
    key_pair_ = std::move(pair);
    const auto& key = key_pair_->public_key();
    auto first = key.begin();
    while (short_form && first != key.end() && *first == 0) {
        ++first;
    }
    public_key_.assign(first, key.end());
}

bool test_client::handshake(std::chrono::milliseconds timeout, const std::string& url) {
    if (!key_pair_) {
        key_pair_ = dh1024_key_pair::generate();
        public_key_.assign(key_pair_->public_key().begin(), key_pair_->public_key().end());
    }
    tag_ = random_of(rtmfp_tag_size);
    nonce_ = random_of(initiator_nonce_size);
    answers_ = {};
    const auto deadline = clock::now() + timeout;
    std::optional<clock::time_point> last_sent;
    std::chrono::milliseconds interval{0};
    bool had_cookie = false;
    while (answers_.server_public_key.empty()) {
        const auto now = clock::now();
        if (now > deadline) {
            return false;
        }
        if (!answers_.cookie.empty() && !had_cookie) {
            // On to the key exchange at once.
            had_cookie = true;
            last_sent.reset();
        }
        if (!last_sent || now - *last_sent >= interval) {
            // Sent again after resend_after and then twice as long each
            // time, up to a second: a busy server is not flooded.
            interval = last_sent ? std::min<std::chrono::milliseconds>(interval * 2,
                                                                       std::chrono::seconds(1))
                                 : options_.resend_after;
            if (answers_.cookie.empty()) {
                send_handshake({first_contact(url, tag_)});
            } else {
                send_handshake({key_exchange(keys_.client_session_id, answers_.cookie,
                                             certificate_of(public_key_), nonce_)});
            }
            last_sent = now;
        }
        receive(options_.poll_interval);
    }
    const dh1024_key_pair::key_bytes secret = key_pair_->shared_secret(answers_.server_public_key);
    const bytes server_nonce = cat_bytes(answers_.server_nonce, answers_.server_public_key);
    keys_.encrypt_key = first_16(hmac_sha256(secret, {hmac_sha256(server_nonce, {nonce_})}));
    keys_.decrypt_key = first_16(hmac_sha256(secret, {hmac_sha256(nonce_, {server_nonce})}));
    keys_.server_session_id = answers_.server_session_id;
    use_session_keys();
    return true;
}

void test_client::on_handshake_chunk(const received_chunk& c) {
    chunk_reader in(c.body);
    if (c.type == handshake_reply_type) {
        const bytes tag = in.take(in.vlu());
        if (!tag_.empty() && tag != tag_) {
            return;
        }
        answers_.cookie = in.take(in.vlu());
        answers_.server_certificate = in.take(rtmfp_certificate_size);
    } else if (c.type == key_exchange_reply_type) {
        const std::uint32_t high = in.u16();
        answers_.server_session_id = high << 16 | in.u16();
        const std::uint8_t form = in.u8();
        answers_.server_nonce = in.take(in.vlu());
        answers_.server_public_key = in.take(form == key_form_128 ? 128 : 0);
    }
}

void test_client::send_datagram(const bytes& datagram) {
    socket_.send_to(boost::asio::buffer(datagram), server_);
    ++datagrams_sent_;
}

std::uint32_t test_client::open_flow(const bytes& signature) {
    const std::uint32_t id = next_flow_id_++;
    our_flow& flow = flows_[id];
    flow.id = id;
    flow.signature = signature;
    flow.last_progress = flow.last_resend = clock::now();
    return id;
}

void test_client::send_message(std::uint32_t flow_id, const bytes& message) {
    our_flow& flow = flows_.at(flow_id);
    const std::size_t size = options_.fragment_size;
    const std::size_t count = std::max<std::size_t>(1, (message.size() + size - 1) / size);
    for (std::size_t i = 0; i < count; ++i) {
        std::uint8_t flags = 0x00;
        if (count > 1) {
            flags = i == 0 ? 0x10 : i + 1 == count ? 0x20 : 0x30;
        }
        const auto begin = message.begin() + static_cast<std::ptrdiff_t>(i * size);
        const auto end =
            message.begin() + static_cast<std::ptrdiff_t>(std::min(message.size(), (i + 1) * size));
        flow.fragments.push_back({flow.next_sequence++, flags, bytes(begin, end)});
    }
}

void test_client::end_flow(std::uint32_t flow_id) {
    our_flow& flow = flows_.at(flow_id);
    flow.fragments.push_back({flow.next_sequence++, final_flags, {}});
}

bool test_client::flow_acknowledged(std::uint32_t flow_id) const {
    return flows_.at(flow_id).fragments.empty();
}

std::uint32_t test_client::flow_acknowledged_up_to(std::uint32_t flow_id) const {
    return flows_.at(flow_id).acknowledged;
}

void test_client::flush() {
    for (auto& [id, flow] : flows_) {
        flush_flow(flow);
    }
}

void test_client::go_back(our_flow& flow) {
    flow.next_to_send = flow.acknowledged + 1;
    flow.recovering = true;
    flow.last_progress = flow.last_resend = clock::now();
}

void test_client::flush_flow(our_flow& flow) {
    if (flow.highest_sent > flow.acknowledged &&
        clock::now() - flow.last_progress > options_.resend_after) {
        go_back(flow);
    }
    const auto fragment_at = [&](std::uint32_t sequence) -> const fragment& {
        return flow.fragments[sequence - flow.acknowledged - 1];
    };
    const std::uint32_t end =
        flow.acknowledged + 1 +
        static_cast<std::uint32_t>(std::min<std::size_t>(flow.fragments.size(), options_.window));
    while (flow.next_to_send < end) {
        const fragment& first = fragment_at(flow.next_to_send);
        std::vector<bytes> chunks{
            user_data(first.flags, flow.id, first.sequence, first.sequence - flow.acknowledged,
                      first.sequence == 1 ? std::optional<bytes>(flow.signature) : std::nullopt,
                      first.payload)};
        std::size_t length = 11 + chunks.front().size();
        std::uint32_t sequence = flow.next_to_send + 1;
        for (; sequence < end; ++sequence) {
            bytes next = next_user_data(fragment_at(sequence).flags, fragment_at(sequence).payload);
            if (length + next.size() > chunk_room) {
                break;
            }
            length += next.size();
            chunks.push_back(std::move(next));
        }
        send_chunks(chunks);
        for (std::uint32_t s = flow.next_to_send; s < sequence; ++s) {
            ++fragments_sent_;
            if (s <= flow.highest_sent) {
                ++fragments_resent_;
            }
        }
        flow.highest_sent = std::max(flow.highest_sent, sequence - 1);
        flow.next_to_send = sequence;
    }
}

void test_client::on_ack(std::uint32_t flow_id, std::uint32_t cumulative) {
    const auto it = flows_.find(flow_id);
    if (it == flows_.end()) {
        return;
    }
    our_flow& flow = it->second;
    if (cumulative < flow.acknowledged || cumulative > flow.highest_sent) {
        return;
    }
    const auto now = clock::now();
    if (cumulative == flow.acknowledged) {
        // The server drops what follows a gap and says where it stands:
        // everything from there goes again, once for each gap (unless the
        // resent fragments are lost too).
        if (flow.highest_sent > flow.acknowledged &&
            (!flow.recovering || now - flow.last_resend > options_.resend_after)) {
            go_back(flow);
        }
        return;
    }
    while (!flow.fragments.empty() && flow.fragments.front().sequence <= cumulative) {
        flow.fragments.pop_front();
    }
    flow.acknowledged = cumulative;
    flow.next_to_send = std::max(flow.next_to_send, cumulative + 1);
    flow.recovering = false;
    flow.last_progress = now;
}

std::size_t test_client::receive(std::chrono::milliseconds wait) {
    const auto deadline = clock::now() + wait;
    std::size_t handled = 0;
    // One buffer for all reads: most find nothing.
    receive_buffer_.resize(2048);
    for (;;) {
        udp_endpoint from;
        boost::system::error_code error;
        const std::size_t length =
            socket_.receive_from(boost::asio::buffer(receive_buffer_), from, 0, error);
        if (!error) {
            handle_datagram(bytes(receive_buffer_.begin(),
                                  receive_buffer_.begin() + static_cast<std::ptrdiff_t>(length)));
            ++handled;
            continue;
        }
        if (error != boost::asio::error::would_block) {
            throw std::system_error(error, "test client receive");
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now());
        if (handled != 0 || left.count() <= 0) {
            return handled;
        }
        pollfd readable{socket_.native_handle(), POLLIN, 0};
        ::poll(&readable, 1, static_cast<int>(left.count()));
    }
}

void test_client::pump(std::chrono::milliseconds wait) {
    flush();
    receive(wait);
}

bool test_client::run_until(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = clock::now() + timeout;
    while (!done()) {
        if (clock::now() > deadline) {
            return false;
        }
        pump(options_.poll_interval);
    }
    return true;
}

std::size_t test_client::count_chunks(std::uint8_t type) const {
    std::size_t n = 0;
    for (const received_packet& packet : packets_) {
        n += static_cast<std::size_t>(std::count_if(packet.chunks.begin(), packet.chunks.end(),
                                                    [&](const auto& c) { return c.type == type; }));
    }
    return n;
}

server_flow* test_client::flow_answering(std::uint32_t our_flow) {
    for (auto& [id, flow] : server_flows_) {
        if (flow.answers == our_flow) {
            return &flow;
        }
    }
    return nullptr;
}

void test_client::handle_datagram(bytes datagram) {
    if (datagram.size() < 12) {
        return;
    }
    // Handshake packets are sealed with the default key, the session's
    // with its own; the key exchange's answer comes to our id before we
    // have a session.
    const std::uint32_t id = rtmfp_session_id_of({datagram.data(), datagram.size()});
    rtmfp_cipher* decipher = nullptr;
    if (id == 0 || (id == keys_.client_session_id && !session_decipher_)) {
        decipher = &handshake_decrypt_;
    } else if (id == keys_.client_session_id) {
        decipher = session_decipher_.get();
    }
    if (decipher == nullptr ||
        !rtmfp_open_packet(datagram.data(), static_cast<std::uint32_t>(datagram.size()),
                           *decipher)) {
        return;
    }
    chunk_reader in(datagram, rtmfp_marker_offset);
    received_packet packet;
    packet.marker = in.u8();
    if (packet.marker & timestamp_bit) {
        packet.timestamp = in.u16();
    }
    if (packet.marker & echo_bit) {
        packet.echo = in.u16();
    }
    while (!in.at_end() && in.peek() != 0xFF) {
        received_chunk c;
        c.type = in.u8();
        const std::size_t size = in.u16();
        c.body = in.take(std::min(size, in.left()));
        packet.chunks.push_back(std::move(c));
    }
    if (packet.timestamp) {
        server_time_ = packet.timestamp;
    }
    const std::size_t index = packets_.size();
    packets_.push_back(packet);

    data_flow_.reset();
    std::vector<std::uint32_t> touched;
    for (const received_chunk& c : packet.chunks) {
        switch (c.type) {
            case user_data_type:
                on_user_data(index, c.body);
                touched.push_back(*data_flow_);
                break;
            case next_user_data_type:
                if (data_flow_) {
                    chunk_reader body(c.body);
                    const std::uint8_t flags = body.u8();
                    take_fragment(server_flows_[*data_flow_], ++data_sequence_, flags,
                                  ++data_fsn_offset_, body.rest(), index);
                }
                break;
            case ack_type:
            case ack_bitmap_type: {
                chunk_reader body(c.body);
                const std::uint32_t flow = body.vlu();
                body.vlu();  // buffer space
                on_ack(flow, body.vlu());
                break;
            }
            case ping_type:
                if (options_.answer_keep_alives) {
                    send_chunks({chunk(pong_type, c.body)});
                }
                break;
            case session_end_type:
                session_ended_ = true;
                break;
            case handshake_reply_type:
            case key_exchange_reply_type:
                on_handshake_chunk(c);
                break;
            default:
                break;
        }
    }
    if (options_.auto_ack && !touched.empty()) {
        std::sort(touched.begin(), touched.end());
        touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
        acknowledge(touched);
    }
}

void test_client::on_user_data(std::size_t packet, const bytes& body) {
    chunk_reader in(body);
    const std::uint8_t flags = in.u8();
    const std::uint32_t id = in.vlu();
    const std::uint32_t sequence = in.vlu();
    const std::uint32_t fsn_offset = in.vlu();
    server_flow& flow = server_flows_[id];
    flow.id = id;
    if (flags & options_flag) {
        const std::uint32_t length = in.vlu();
        bytes signature = in.take(length);
        std::optional<std::uint32_t> answers;
        while (const std::uint8_t option_length = in.u8()) {
            const bytes option = in.take(option_length);
            if (option.front() == answers_option) {
                chunk_reader value(option, 1);
                answers = value.vlu();
            }
        }
        flow.signature = std::move(signature);
        flow.answers = answers;
    }
    data_flow_ = id;
    data_sequence_ = sequence;
    data_fsn_offset_ = fsn_offset;
    take_fragment(flow, sequence, flags, fsn_offset, in.rest(), packet);
}

void test_client::take_fragment(server_flow& flow, std::uint32_t sequence, std::uint8_t flags,
                                std::uint32_t fsn_offset, bytes payload, std::size_t packet) {
    if (sequence <= flow.last_in_order || flow.ahead.count(sequence) != 0) {
        return;  // a copy of what we have
    }
    flow.fragments.push_back({sequence, flags, fsn_offset, payload.size(), packet});
    if (sequence != flow.last_in_order + 1) {
        flow.ahead.emplace(sequence, std::make_pair(flags, std::move(payload)));
        return;
    }
    accept_fragment(flow, flags, payload);
    flow.last_in_order = sequence;
    for (auto next = flow.ahead.find(flow.last_in_order + 1); next != flow.ahead.end();
         next = flow.ahead.find(flow.last_in_order + 1)) {
        accept_fragment(flow, next->second.first, next->second.second);
        flow.last_in_order = next->first;
        flow.ahead.erase(next);
    }
}

void test_client::accept_fragment(server_flow& flow, std::uint8_t flags, const bytes& payload) {
    switch (flags & position_mask) {
        case 0x00:
            if (!payload.empty()) {
                flow.messages.push_back(payload);
            }
            break;
        case 0x10:
            flow.partial = payload;
            break;
        case 0x30:
            append(flow.partial, payload);
            break;
        case 0x20:
            append(flow.partial, payload);
            flow.messages.push_back(std::move(flow.partial));
            flow.partial.clear();
            break;
    }
    if ((flags & final_flags) == final_flags) {
        flow.ended = true;
    }
}

void test_client::acknowledge(const std::vector<std::uint32_t>& flows) {
    std::vector<bytes> chunks;
    for (std::uint32_t id : flows) {
        const server_flow& flow = server_flows_[id];
        bool bitmap = options_.acks == ack_form::bitmap;
        if (options_.acks == ack_form::alternate) {
            bitmap = bitmap_next_;
            bitmap_next_ = !bitmap_next_;
        }
        if (!bitmap) {
            // The fragments kept beyond the gap, as ranges.
            std::vector<held_range> held;
            for (const auto& [sequence, unused] : flow.ahead) {
                if (!held.empty() && held.back().last + 1 == sequence) {
                    held.back().last = sequence;
                } else if (held.size() == max_ack_ranges) {
                    break;
                } else {
                    held.push_back({sequence, sequence});
                }
            }
            chunks.push_back(ack(id, flow.last_in_order, options_.buffer_space, held));
            continue;
        }
        // Bit i (lowest of each byte first): fragment last_in_order + 2 + i
        // is here.
        bytes map;
        for (const auto& [sequence, unused] : flow.ahead) {
            const std::uint32_t bit = sequence - flow.last_in_order - 2;
            if (bit >= 64) {
                break;
            }
            map.resize(std::max<std::size_t>(map.size(), bit / 8 + 1));
            map[bit / 8] |= static_cast<std::uint8_t>(1 << (bit % 8));
        }
        chunks.push_back(ack_bitmap(id, flow.last_in_order, options_.buffer_space, map));
    }
    send_chunks(chunks);
}

}  // namespace rtmfp_test
