#include "platform/awake.h"

#include <windows.h>

#include "platform/fault.h"

namespace efi::platform {

bool keep_awake(bool awake) {
  if (fails_now(FaultPoint::keep_awake)) return false;
  const EXECUTION_STATE state = awake ? ES_CONTINUOUS | ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED : ES_CONTINUOUS;
  return SetThreadExecutionState(state) != 0;
}

}  // namespace efi::platform
