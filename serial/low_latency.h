#pragma once

#include <string>

namespace korvelt {

// Asks the driver to hand over received bytes at once (ASYNC_LOW_LATENCY). USB adapters
// otherwise hold them back: an FTDI's 16 ms latency timer adds 16 ms to every acknowledgement.
// A driver that refuses is left as it is; the result, for the trace, is
// "low latency: on", "low latency: already on" or "low latency: not supported (reason)".
std::string RequestLowLatency(int fd);

}  // namespace korvelt
