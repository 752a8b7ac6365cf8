#pragma once

#include "link_server.h"

namespace softunit {

// The model unit behind a link that converts: command data arrive in the unit's order and the
// answer's data leave in it. `no_conversion` makes both travel in host order, as a unit does
// after agreeing to no conversion.
Responder unit_responder(bool no_conversion = false);

// A stand-in for framing tests and benchmarks: status 0 and the command data back, as many as the
// host's buffer takes.
Responder echo_responder();

}  // namespace softunit
