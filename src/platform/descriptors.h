// The process's open-file limit: raised as far as it may go at start, and what is left of it for the files that
// a run keeps open together.
#pragma once

#include <cstdint>

namespace ixo::platform {

// Raises the soft limit on open descriptors to the hard one; nothing changes where that is refused.
void raise_descriptor_limit();

// About how many more descriptors this process may open now: the soft limit less the lowest free number (the
// descriptors below it are taken, as at start, when few are open).
uint64_t descriptors_left();

}  // namespace ixo::platform
