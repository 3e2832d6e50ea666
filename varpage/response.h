// One whole CGI response: the header, then the document.
#pragma once

#include <cstdint>

#include "environment.h"
#include "host_row.h"
#include "output_stream.h"

namespace varpage {

// `now` is the clock reading in seconds since 1970-01-01 00:00:00 UTC. The
// page was "modified" a minute before it and expires a minute after it; only
// the client itself may keep it (Cache-Control: private). The reverse lookup
// of REMOTE_ADDR is made before anything is written.
void write_response(OutputStream& out, EnvironmentList environment, std::int64_t now,
                    HostLookup& lookup);

}  // namespace varpage
