/* The environment page as one would write it by hand in C with stdio: the
 * same header, document and escaping as varpage, a byte at a time. */
#include <arpa/inet.h>
#include <netdb.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <time.h>

extern char **environ;

static void put_escaped(const char *s, int stop_at_equals, const char **rest) {
  for (; *s; ++s) {
    if (stop_at_equals && *s == '=') break;
    switch (*s) {
      case '&': fputs("&amp;", stdout); break;
      case '<': fputs("&lt;", stdout); break;
      case '>': fputs("&gt;", stdout); break;
      case '\n': fputs("\r\n", stdout); break;
      default: putchar(*s);
    }
  }
  if (rest) *rest = s;
}

static void put_lines(const char *s) { put_escaped(s, 0, NULL); }

int main(void) {
  char date[32];
  time_t now = time(NULL), t = now - 60;
  strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S GMT", gmtime(&t));
  printf("Content-type: text/html\r\nLast-Modified: %s\r\n", date);
  t = now + 60;
  strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S GMT", gmtime(&t));
  printf("Expires: %s\r\nCache-Control: private\r\n\r\n", date);
  fputs("<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\">\r\n<html>\r\n<head>\r\n"
        "<meta http-equiv=\"Content-Type\" content=\"text/html\" />\r\n"
        "<meta http-equiv=\"Pragma\" content=\"no-cache\" />\r\n", stdout);
  printf("<meta http-equiv=\"Expires\" content=\"%s\" />\r\n", date);
  fputs("<title>Environment Variable List</title>\r\n</head>\r\n<body>\r\n"
        "<h1>Environment Variable List</h1>\r\n"
        "<table border=\"1\" cellspacing=\"0\" cellpadding=\"5\" cols=\"2\" frame=\"hsides\" rules=\"rows\">\r\n"
        "<colgroup span=\"2\">\r\n\t<col />\r\n\t<col />\r\n</colgroup>\r\n"
        "<thead>\r\n\t<tr>\r\n\t\t<th>environment variable name</th>\r\n"
        "\t\t<th>environment variable value</th>\r\n\t</tr>\r\n</thead>\r\n<tbody>\r\n", stdout);
  const char *remote = NULL;
  for (char **e = environ; *e; ++e) {
    if (!remote && strncasecmp(*e, "REMOTE_ADDR=", 12) == 0) remote = *e + 12;
  }
  for (char **e = environ; *e && **e; ++e) {
    if (**e == '=') continue;
    const char *rest;
    fputs("\t<tr>\r\n\t\t<td>", stdout);
    put_escaped(*e, 1, &rest);
    if (*rest == '=') {
      fputs("</td>\r\n\t\t<td>", stdout);
      put_lines(rest + 1);
    }
    fputs("</td>\r\n\t</tr>\r\n", stdout);
  }
  if (remote && *remote) {
    struct in_addr address;
    address.s_addr = inet_addr(remote);
    struct hostent *host = gethostbyaddr(&address, 4, AF_INET);
    if (host) {
      fputs("\t<tr>\r\n\t\t<td>\r\n\t\t\tHostName from IPaddr\r\n\t\t</td>\r\n\t\t<td>\r\n\t\t\t", stdout);
      put_lines(host->h_name);
      fputs("\r\n\t\t</td>\r\n\t</tr>\r\n", stdout);
    }
  }
  fputs("</tbody>\r\n</table>\r\n</body>\r\n</html>", stdout);
  return 0;
}
