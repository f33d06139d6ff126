#pragma once

#include <string>

#include "platform/export.h"

namespace platform {

// COM numbers and the devices behind them. The library, the loader and the
// port-mapping library all go through these two functions, so they always
// agree on which device a number names:
//   1. with TALVEX_COM_DIR set, COM n is that folder's entry "comN" (a link to
//      a device or a device node), and nothing else is consulted;
//   2. otherwise the Wine prefix's "dosdevices/comN" when it exists
//      ($WINEPREFIX, default ~/.wine);
//   3. otherwise the default table: COM1-32 are /dev/ttyS0-31, COM33-64
//      /dev/ttyUSB0-31, COM65-96 /dev/ttyACM0-31.

// The path that opens COM `comNumber` (an entry that may be a link), or an
// empty string when no device is named for it.
PLATFORM_API std::string comDevicePath(int comNumber);

// The COM number that leads to `device` (compared after resolving links), or
// 0 when none does. When several do, the lowest.
PLATFORM_API int comNumberOfDevice(const std::string& device);

}  // namespace platform
