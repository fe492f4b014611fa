#pragma once

#include <atomic>

#include "rpc/rpc_tcp_connection.hpp"

namespace lumo {

// A connection to the administration port. It starts with the login method
// alone; the first successful login unlocks the others, for this connection
// only and until it closes.
class lumo_ipc_connection : public rpc::rpc_tcp_connection {
  public:
    using rpc_tcp_connection::rpc_tcp_connection;

    // Marks the connection logged in; true only for the call that did it.
    bool log_in() {
        bool was_logged_in = false;
        return logged_in_.compare_exchange_strong(was_logged_in, true);
    }
    bool logged_in() const { return logged_in_; }

  private:
    std::atomic<bool> logged_in_{false};
};

}  // namespace lumo
