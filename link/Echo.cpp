#include "link/Echo.h"

void EchoFilter::sent(const ByteString& frame)
{
    expected_ = frame;
    matched_ = 0;
    looking_ = !frame.empty();
}

ByteString EchoFilter::filter(const ByteString& chunk)
{
    if (!looking_)
        return chunk;
    size_t i = 0;
    while (i < chunk.size() && matched_ < expected_.size() && chunk[i] == expected_[matched_]) {
        ++i;
        ++matched_;
    }
    if (matched_ == expected_.size()) {
        // The whole copy: dropped (when on), and the rest of the chunk is the reply.
        looking_ = false;
        ++echoes_;
        return enabled_ ? chunk.substr(i) : chunk;
    }
    if (i == chunk.size()) {
        // A prefix so far: held until the copy is whole or differs.
        return enabled_ ? ByteString() : chunk;
    }
    // A byte that differs: no echo after all; what was held goes on in front of this chunk.
    looking_ = false;
    if (!enabled_)
        return chunk;
    const size_t heldBefore = matched_ - i;
    return expected_.substr(0, heldBefore) + chunk;
}
