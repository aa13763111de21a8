// The driver's class identifier as the host side of the tests knows it (hosts take it
// from the registry or their own headers, not from the driver library).
#include "asio.h"

// {6B3E91C4-52D7-4a0f-9E21-C5A8D04F7B36}
const CLSID CLSID_Brixen = {0x6B3E91C4, 0x52D7, 0x4A0F, {0x9E, 0x21, 0xC5, 0xA8, 0xD0, 0x4F, 0x7B, 0x36}};
