// admission.h - what a request passes before the route table: its body
// (bounded), its Host header, its URI's length and path, the token and, for
// requests that change something or open a stream, its origin; and the
// stream slots of --max-clients, which a stream holds for its life. (The
// caps on connections and their time limits are enforced below, at accept:
// listening.h.)
#pragma once

#include "server_state.h"

#include <atomic>

namespace vivatool::serve {

// Reads the request's body into `exchange.body` and checks the request;
// answers and returns false for a request that goes no further.
bool Admit(Exchange& exchange);

// One of the --max-clients stream slots (page streams and MJPEG viewers
// alike), held for the stream's life; not taken when all are in use.
class StreamSlot {
public:
    StreamSlot(std::atomic<int>& open, int most) : open_(open), taken_(++open <= most)
    {
        if (!taken_)
            --open_;
    }
    ~StreamSlot()
    {
        if (taken_)
            --open_;
    }
    StreamSlot(const StreamSlot&) = delete;
    StreamSlot& operator=(const StreamSlot&) = delete;
    bool taken() const { return taken_; }

private:
    std::atomic<int>& open_;
    const bool taken_;
};

// Takes a stream slot for `exchange`, or answers 503 and returns false.
bool TakeStreamSlot(Exchange& exchange, const StreamSlot& slot);

}  // namespace vivatool::serve
