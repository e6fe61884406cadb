// Error codes of the date-time value, registered once per process.
#pragma once

#include <cstdint>

namespace kt {

enum : uint32_t {
    dtrInvalidDateFormat = 0x20000101,
    dtrInvalidTimeFormat = 0x20000102,
    dtrWrongYear = 0x20000103,
    dtrWrongMonth = 0x20000104,
    dtrWrongDay = 0x20000105,
    dtrWrongHour = 0x20000106,
    dtrWrongMinute = 0x20000107,
    dtrWrongSec = 0x20000108,
    dtrWrongMSec = 0x20000109,
};

// Registers the nine codes with their texts; throws kt::wexception naming
// the registration that failed.
void RegisterTimeErrors();

}  // namespace kt
