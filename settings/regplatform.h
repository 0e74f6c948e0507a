// The registry functions the settings code is built on: the system registry on Windows, the
// settings store of regstore.h elsewhere. Both offer the same calls, types and codes, and the
// scopes (RegTransaction, RegStoreHold) that the settings code puts around its reads and writes.
//
// Owns only the choice between the two.
#pragma once

#ifdef _WIN32
#include "settings/regstore_win32.h"
#else
#include "settings/regstore.h"
#endif
