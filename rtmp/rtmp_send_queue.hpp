#pragma once

#include <boost/function.hpp>

#include "rtmp/output_item.hpp"
#include "rtmp/seq_do.hpp"

namespace rtmp {

// A connection's queue of outgoing items: one write in flight, small items
// folded into the one waiting before them. Players read its pending() count
// to see how far their client lags: each waiting item stands for about a
// block's worth of bytes (rtmp_output_buffer).
using rtmp_send_queue = seq_do<output_item, boost::function<void(output_item&)>,
                               boost::function<bool(output_item&, output_item&)>>;

}  // namespace rtmp
