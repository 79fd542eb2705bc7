// driver_rate.h - the frame rate a camera's capture node states, which the
// source's caps and the device provider's carry.
#pragma once

#include <string>

namespace vivagst {

// The frame interval the driver states (VIDIOC_G_PARM on the capture node
// `node`, the rate every V4L2 program shows) as the rate num/den; false when
// it states none or the node cannot be opened. Opens the node without
// taking it: a stream on it goes on.
bool DriverRate(const std::string& node, int& num, int& den);

}  // namespace vivagst
