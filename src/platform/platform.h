// The platform seam: the only place the library meets the operating system. Each area has a small
// header here with one implementation in win32/ and one in posix/, chosen by the build.
#pragma once

#include "platform/clock.h"
#include "platform/message.h"
#include "platform/module.h"
#include "platform/system_error.h"
