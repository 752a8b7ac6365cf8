#pragma once

namespace efi::platform {

// Asks the system and the display to stay awake while a link needs them (`awake`), or withdraws
// that request. False when the system refuses. Only Windows takes such a request; elsewhere
// nothing is asked and the call succeeds.
bool keep_awake(bool awake);

}  // namespace efi::platform
