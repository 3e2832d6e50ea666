// varpage: a CGI program that answers every request with a page listing the
// environment the web server started it with; started on a listening socket,
// a FastCGI program that answers each request with the same page.

#include <chrono>

#include "environment.h"
#include "output_stream.h"
#include "platform.h"
#include "response.h"

int main() {
  // Taken before anything else runs, so the page shows the environment as the
  // server handed it over.
  const varpage::EnvironmentSnapshot environment(varpage::process_environment());
  if (!varpage::start_platform()) return 0;
  if (varpage::serve_fastcgi_if_listening()) {
    varpage::stop_platform();
    return 0;
  }
  {  // The stream flushes as it goes out of scope, while sockets are still up.
    varpage::StandardOutput standard_output;
    varpage::OutputStream out(standard_output);
    varpage::SystemHostLookup lookup;
    // 64 bits of seconds wherever time_t is narrower (32-bit Windows), so
    // dates after 2038-01-19 come out right.
    const auto now = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    varpage::write_response(out, environment.entries(), now.time_since_epoch().count(), lookup);
  }
  varpage::stop_platform();
  // Whatever happened to the output, there is no failure to report.
  return 0;
}
