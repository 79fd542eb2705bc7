// Replug - a virtual camera that was unplugged comes back, as after a replug
// on a real bus: a new device address and new video nodes, the same command
// port.
#include "emulator.h"

#include <algorithm>

namespace vcam {

using namespace detail;

void VideoNode::Retire()
{
    retired_ = true;
    streaming_ = false;
    Gone();
}

void Camera::State::ReplugLocked()
{
    if (!unplugged)
        return;
    // The bus hands out a fresh address; keep it clear of every camera's.
    int highest = 0;
    for (auto& c : detail::Cameras())
        highest = std::max(highest, c->devnum);
    devnum = highest + 1;
    setup.devnum = devnum;
    // Nodes are replaced in place: the producer may be drawing into an old
    // one without the lock, iterating this very vector. `retired` keeps the
    // old ones alive for that and for descriptors still open on them.
    for (auto& n : captures) {
        retired.push_back(n);
        n->Retire();
        n = std::make_shared<VideoNode>(this, NextVideoNumber(), true);
    }
    if (metadata) {
        retired.push_back(metadata);
        metadata->Retire();
        metadata = std::make_shared<VideoNode>(this, NextVideoNumber(), false);
    }
    unplugged = false;
    producerCv.notify_all();
    WakeResponder();
}

void Camera::Replug()
{
    std::lock_guard<std::mutex> lk(Lock());
    state_->ReplugLocked();
}

}  // namespace vcam
