// The channel counts the driver offers a host: every counted device contributes its
// inputs and outputs. getChannels reports them; Reassess compares them with what the
// host was last told.
#pragma once

#include "dev_all.h"

inline void OfferedChannels(const CDevAll& devices, LONG* inputs, LONG* outputs)
{
    *inputs = devices.mainCount * devices.inputsPerDevice;
    *outputs = devices.mainCount * devices.outputsPerDevice;
}
