// The HTML document: a table with one row per environment entry.
#pragma once

#include "environment.h"
#include "host_row.h"
#include "output_stream.h"

namespace varpage {

// Writes the whole document. `expires` fills the page's Expires meta element;
// `lookup` serves the host-name row at the end of the table.
void write_page(OutputStream& out, EnvironmentList environment, const char* expires,
                HostLookup& lookup);

}  // namespace varpage
