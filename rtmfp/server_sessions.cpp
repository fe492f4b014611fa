#include "rtmfp/server_sessions.hpp"

#include <algorithm>
#include <chrono>
#include <stdexcept>

rtmfp_server_sessions::rtmfp_server_sessions(boost::asio::io_context& io, block_malloc& pool,
                                             std::vector<std::shared_ptr<rtmfp_socket>> sockets,
                                             rtmfp_server_state& state,
                                             rtmfp_pending_limits pending,
                                             const rtmfp_handshake_limits& handshakes)
    : pool_(pool),
      sockets_(std::move(sockets)),
      state_(state),
      certificate_(rtmfp_make_server_certificate()),
      server_peer_id_(sha256({certificate_})),
      budget_(pending),
      handshake_datagrams_(handshakes.datagrams_per_address, handshakes.datagrams,
                           handshakes.max_addresses),
      key_exchanges_(handshakes.key_exchanges_per_address, handshakes.key_exchanges,
                     handshakes.max_addresses),
      handshake_queue_(
          io, handshakes.max_queued,
          [this](std::size_t socket_index, block_buffer datagram, const endpoint& from) {
              decode_handshake(socket_index, std::move(datagram), from);
          }),
      timer_(io) {
    rtmfp_handshake_host& host = *this;
    handshakes_.reserve(sockets_.size());
    for (std::size_t i = 0; i < sockets_.size(); ++i) {
        handshakes_.push_back(std::make_shared<rtmfp_server_handshake>(
            pool_, sockets_[i], static_cast<std::int32_t>(i), host, certificate_, budget_));
        detect_nat_.push_back(std::make_unique<rtmfp_detect_nat>(
            [this](std::uint32_t session_id, const endpoint& from, rtmfp_bytes tag) {
                on_nat_probe_reply(session_id, from, tag);
            }));
    }
}

rtmfp_server_sessions::~rtmfp_server_sessions() {
    stop();
}

void rtmfp_server_sessions::add_handler(std::int32_t key,
                                        std::shared_ptr<rtmfp_server_handler> handler) {
    if (handler) {
        handlers_.add(key, std::move(handler));
    }
}

void rtmfp_server_sessions::dispatch(std::size_t socket_index, block_buffer datagram,
                                     const endpoint& from, rtmfp_rearm& rearm) {
    const std::uint32_t id = rtmfp_session_id_of({datagram.data(), datagram.size()});
    if (id == 0) {
        // Nothing of it is read here: the socket receives again at once,
        // and a flood of handshakes costs no more than this before it is
        // dropped.
        if (socket_index < handshakes_.size() &&
            handshake_datagrams_.admit(from.address(), std::chrono::steady_clock::now())) {
            handshake_queue_.push(socket_index, std::move(datagram), from);
        }
        return;
    }
    const std::shared_ptr<rtmfp_server_session> session = find_session(id);
    if (!session) {
        throw std::runtime_error("Bad session id");
    }
    if (session->is_closed() || session->receive(datagram, from)) {
        return;
    }
    rearm();
    session->process(std::move(datagram), from);
}

void rtmfp_server_sessions::decode_handshake(std::size_t socket_index, block_buffer datagram,
                                             const endpoint& from) noexcept {
    try {
        handshakes_[socket_index]->receive(datagram, from);
    } catch (const std::exception&) {
        // Dropped; the handshake of every other client goes on.
    }
}

void rtmfp_server_sessions::dispatch_detect_nat(std::size_t socket_index, block_buffer datagram,
                                                const endpoint& from) {
    if (rtmfp_session_id_of({datagram.data(), datagram.size()}) == 0) {
        detect_nat_.at(socket_index)->receive(datagram, from);
    }
}

void rtmfp_server_sessions::on_nat_probe_reply(std::uint32_t session_id, const endpoint& from,
                                               rtmfp_bytes tag) {
    if (const std::shared_ptr<rtmfp_server_session> session = find_session(session_id)) {
        session->on_nat_probe_reply(from, tag);
    }
}

bool rtmfp_server_sessions::admit(const boost::asio::ip::address& address) const {
    std::shared_lock lock(mutex_);
    return admits(address);
}

bool rtmfp_server_sessions::admit_key_exchange(const boost::asio::ip::address& address) {
    return key_exchanges_.admit(address, std::chrono::steady_clock::now());
}

bool rtmfp_server_sessions::admits(const boost::asio::ip::address& address) const {
    const auto counted = per_ip_.find(address);
    return counted == per_ip_.end() || counted->second < state_.limits.max_sessions_per_ip;
}

std::shared_ptr<rtmfp_server_session> rtmfp_server_sessions::create_session(
    std::int32_t socket_index, rtmfp_session_setup setup) {
    std::unique_lock lock(mutex_);
    // The per-IP limit again: cookies gathered below it must not open
    // sessions beyond it.
    if (stopped_ || by_id_.size() >= state_.limits.max_sessions || !admits(setup.peer.address())) {
        return nullptr;
    }
    setup.session_id = next_free_id();
    auto session = std::make_shared<rtmfp_server_session>(
        pool_, sockets_.at(static_cast<std::size_t>(socket_index)), socket_index, setup, state_);
    session->set_on_address_changed(
        [this](rtmfp_session& moved, const endpoint&, const endpoint& now) {
            on_address_changed(static_cast<rtmfp_server_session&>(moved), now);
        });
    session->set_on_connect(
        [this](const std::shared_ptr<rtmfp_server_session>& connecting, amf0_object& command,
               buffer_reader& args) { return run_connect_handlers(connecting, command, args); });
    session->set_on_close([this](const std::shared_ptr<rtmfp_server_session>& closing) {
        run_disconnect_handlers(closing);
    });

    by_id_.emplace(setup.session_id, session_entry{session, setup.peer});
    by_peer_id_[setup.peer_id].push_back(session);
    // A client that comes back from the same port replaces its old session
    // there.
    by_endpoint_[setup.peer] = session;
    count(setup.peer.address(), 1);
    ++state_.session_count;
    return session;
}

std::uint32_t rtmfp_server_sessions::next_free_id() {
    std::uint32_t id = 0;
    do {
        id = next_session_id_++;
        if (id == 0) {
            id = 1;
            next_session_id_ = 2;
        }
    } while (by_id_.count(id) != 0);
    return id;
}

void rtmfp_server_sessions::count(const boost::asio::ip::address& address, int change) {
    std::int32_t& sessions = per_ip_[address];
    sessions += change;
    if (sessions <= 0) {
        per_ip_.erase(address);
    }
}

rtmfp_handshake_host::introduction rtmfp_server_sessions::find_for_introduction(
    const endpoint& requester, const rtmfp_peer_id& target) const {
    std::shared_lock lock(mutex_);
    introduction found;
    if (const auto by_endpoint = by_endpoint_.find(requester); by_endpoint != by_endpoint_.end()) {
        found.requester = by_endpoint->second.lock();
    }
    if (const auto by_peer = by_peer_id_.find(target); by_peer != by_peer_id_.end()) {
        found.target = newest_of(by_peer->second);
    }
    return found;
}

std::shared_ptr<rtmfp_server_session> rtmfp_server_sessions::newest_of(
    const std::vector<std::weak_ptr<rtmfp_server_session>>& sessions) {
    // A session that has not sent a genuine datagram yet may be anyone's
    // who copied the peer's public key: it is reached only while the peer
    // id has no other.
    std::shared_ptr<rtmfp_server_session> unproven;
    for (auto held = sessions.rbegin(); held != sessions.rend(); ++held) {
        std::shared_ptr<rtmfp_server_session> session = held->lock();
        if (!session || session->is_closed()) {
            continue;
        }
        if (session->heard_from()) {
            return session;
        }
        if (!unproven) {
            unproven = std::move(session);
        }
    }
    return unproven;
}

void rtmfp_server_sessions::on_address_changed(rtmfp_server_session& session, const endpoint& now) {
    std::unique_lock lock(mutex_);
    const auto entry = by_id_.find(session.session_id());
    if (entry == by_id_.end() || entry->second.session.get() != &session) {
        return;
    }
    const endpoint before = entry->second.counted_at;
    if (const auto old = by_endpoint_.find(before);
        old != by_endpoint_.end() && old->second.lock() == entry->second.session) {
        by_endpoint_.erase(old);
    }
    by_endpoint_[now] = entry->second.session;
    if (before.address() != now.address()) {
        count(before.address(), -1);
        count(now.address(), 1);
    }
    entry->second.counted_at = now;
}

bool rtmfp_server_sessions::run_connect_handlers(
    const std::shared_ptr<rtmfp_server_session>& session, amf0_object& command,
    buffer_reader& args) {
    return handlers_.run_until_refused(
        [&](rtmfp_server_handler& handler) { return handler.on_connect(session, command, args); });
}

void rtmfp_server_sessions::run_disconnect_handlers(
    const std::shared_ptr<rtmfp_server_session>& session) {
    handlers_.run_all([&](rtmfp_server_handler& handler) { handler.on_disconnect(session); });
}

std::vector<std::shared_ptr<rtmfp_server_session>> rtmfp_server_sessions::snapshot() const {
    std::shared_lock lock(mutex_);
    std::vector<std::shared_ptr<rtmfp_server_session>> sessions;
    sessions.reserve(by_id_.size());
    for (const auto& [id, entry] : by_id_) {
        sessions.push_back(entry.session);
    }
    return sessions;
}

void rtmfp_server_sessions::start_timer() {
    arm_timer();
}

void rtmfp_server_sessions::arm_timer() {
    std::lock_guard lock(timer_mutex_);
    if (stopped_) {
        return;
    }
    timer_.expires_after(std::chrono::seconds(1));
    timer_.async_wait([this](const boost::system::error_code& error) {
        if (error || stopped_) {
            return;
        }
        try {
            tick();
        } catch (const std::exception&) {
            // Out of memory for the snapshot: the next tick tries again.
        }
        arm_timer();
    });
}

void rtmfp_server_sessions::tick() {
    for (const auto& handshake : handshakes_) {
        handshake->tick();
    }
    const auto now = std::chrono::steady_clock::now();
    handshake_datagrams_.forget_idle(now);
    key_exchanges_.forget_idle(now);
    std::vector<std::shared_ptr<rtmfp_server_session>> dead;
    for (const auto& session : snapshot()) {
        if (!session->tick()) {
            dead.push_back(session);
        }
    }
    if (!dead.empty()) {
        std::unique_lock lock(mutex_);
        for (const auto& session : dead) {
            remove(session);
        }
    }
    // The last references go here, outside the lock: a session's
    // destruction runs the application's handlers' destructors.
}

void rtmfp_server_sessions::remove(const std::shared_ptr<rtmfp_server_session>& session) {
    const auto entry = by_id_.find(session->session_id());
    if (entry == by_id_.end() || entry->second.session != session) {
        return;
    }
    const endpoint counted_at = entry->second.counted_at;
    // The other sessions of the peer id keep theirs.
    if (const auto by_peer = by_peer_id_.find(session->peer_id()); by_peer != by_peer_id_.end()) {
        std::erase_if(by_peer->second, [&](const std::weak_ptr<rtmfp_server_session>& held) {
            return held.expired() || held.lock() == session;
        });
        if (by_peer->second.empty()) {
            by_peer_id_.erase(by_peer);
        }
    }
    if (const auto by_endpoint = by_endpoint_.find(counted_at);
        by_endpoint != by_endpoint_.end() && by_endpoint->second.lock() == session) {
        by_endpoint_.erase(by_endpoint);
    }
    count(counted_at.address(), -1);
    by_id_.erase(entry);
    --state_.session_count;
}

void rtmfp_server_sessions::stop() {
    {
        std::unique_lock lock(mutex_);
        if (stopped_.exchange(true)) {
            return;
        }
    }
    handshake_queue_.stop();
    for (const auto& session : snapshot()) {
        session->close();
    }
    std::lock_guard lock(timer_mutex_);
    timer_.cancel();
}

bool rtmfp_server_sessions::sending() const {
    const auto sessions = snapshot();
    return std::any_of(sessions.begin(), sessions.end(),
                       [](const auto& session) { return !session->sends_done(); });
}

std::size_t rtmfp_server_sessions::session_count() const {
    std::shared_lock lock(mutex_);
    return by_id_.size();
}

std::shared_ptr<rtmfp_server_session> rtmfp_server_sessions::find_session(std::uint32_t id) const {
    std::shared_lock lock(mutex_);
    const auto entry = by_id_.find(id);
    return entry == by_id_.end() ? nullptr : entry->second.session;
}

std::int32_t rtmfp_server_sessions::sessions_of(const boost::asio::ip::address& address) const {
    std::shared_lock lock(mutex_);
    const auto counted = per_ip_.find(address);
    return counted == per_ip_.end() ? 0 : counted->second;
}
