// varpage: a CGI program that answers every request with a page listing the
// environment the web server started it with; started on a listening socket,
// a FastCGI program that answers each request with the same page.

#include "environment.h"
#include "output_stream.h"
#include "platform.h"
#include "response.h"

int main() {
  // Taken before anything else runs, so the page shows the environment as the
  // server handed it over.
  const varpage::EnvironmentSnapshot environment(varpage::process_environment());
  if (!varpage::start_platform()) return 0;
  if (int status = 0; varpage::serve_fastcgi_if_listening(status)) {
    varpage::stop_platform();
    return status;
  }
  {  // The stream flushes as it goes out of scope, while sockets are still up.
    varpage::StandardOutput standard_output;
    varpage::OutputStream out(standard_output);
    varpage::SystemHostLookup lookup;
    varpage::write_response(out, environment.entries(), varpage::clock_seconds(), lookup);
  }
  varpage::stop_platform();
  // Whatever happened to the output, there is no failure to report.
  return 0;
}
