#pragma once

#include <boost/function.hpp>

#include "foundation/block_pool.hpp"
#include "rtmp/seq_do.hpp"

namespace rtmp {

// A connection's queue of outgoing blocks: one write in flight, small blocks
// folded into the one waiting before them. Players read its pending() count
// to see how far their client lags.
using rtmp_send_queue = seq_do<block_buffer, boost::function<void(block_buffer&)>,
                               boost::function<bool(block_buffer&, block_buffer&)>>;

}  // namespace rtmp
