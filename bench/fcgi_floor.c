/* The floor for varpage's FastCGI mode: the same document, with the same
 * escaping and the same reverse lookup, written over libfcgi as one would
 * by hand, served by as many threads as varpage has workers (16), each
 * accepting on the listening socket on standard input. It skips the
 * FCGI_ROLE that libfcgi adds to every request, so the page is the same.
 * The page is built in memory and handed over in one piece. */
#include <arpa/inet.h>
#include <fcgiapp.h>
#include <netdb.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>

#define WORKERS 16

struct text {
  char *data;
  size_t size, capacity;
};

static void add(struct text *t, const char *s, size_t n) {
  if (t->size + n > t->capacity) {
    t->capacity = 2 * (t->size + n);
    t->data = realloc(t->data, t->capacity);
  }
  memcpy(t->data + t->size, s, n);
  t->size += n;
}

static void add_string(struct text *t, const char *s) { add(t, s, strlen(s)); }

/* Escaped, LF as CR LF; stops at '=' when asked and returns where it did. */
static const char *add_escaped(struct text *t, const char *s, int stop_at_equals) {
  for (;;) {
    size_t plain = strcspn(s, stop_at_equals ? "&<>\n=" : "&<>\n");
    add(t, s, plain);
    s += plain;
    switch (*s) {
      case '&': add_string(t, "&amp;"); break;
      case '<': add_string(t, "&lt;"); break;
      case '>': add_string(t, "&gt;"); break;
      case '\n': add_string(t, "\r\n"); break;
      default: return s;
    }
    ++s;
  }
}

static void write_page(struct text *t, char **envp) {
  char date[32], line[128];
  struct tm tm;
  time_t now = time(NULL), then = now - 60;
  t->size = 0;
  strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S GMT", gmtime_r(&then, &tm));
  add_string(t, "Content-type: text/html\r\nLast-Modified: ");
  add_string(t, date);
  then = now + 60;
  strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S GMT", gmtime_r(&then, &tm));
  add_string(t, "\r\nExpires: ");
  add_string(t, date);
  add_string(t, "\r\n\r\n<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\">\r\n<html>\r\n<head>\r\n"
                "<meta http-equiv=\"Content-Type\" content=\"text/html\" />\r\n"
                "<meta http-equiv=\"Pragma\" content=\"no-cache\" />\r\n"
                "<meta http-equiv=\"Expires\" content=\"");
  add_string(t, date);
  add_string(t, "\" />\r\n<title>Environment Variable List</title>\r\n</head>\r\n<body>\r\n"
                "<h1>Environment Variable List</h1>\r\n"
                "<table border=\"1\" cellspacing=\"0\" cellpadding=\"5\" cols=\"2\" frame=\"hsides\" rules=\"rows\">\r\n"
                "<colgroup span=\"2\">\r\n\t<col />\r\n\t<col />\r\n</colgroup>\r\n"
                "<thead>\r\n\t<tr>\r\n\t\t<th>environment variable name</th>\r\n"
                "\t\t<th>environment variable value</th>\r\n\t</tr>\r\n</thead>\r\n<tbody>\r\n");
  const char *remote = NULL;
  for (char **e = envp; *e && **e; ++e) {
    if (**e == '=' || strncmp(*e, "FCGI_ROLE=", 10) == 0) continue;
    if (!remote && strncasecmp(*e, "REMOTE_ADDR=", 12) == 0) remote = *e + 12;
    add_string(t, "\t<tr>\r\n\t\t<td>");
    const char *rest = add_escaped(t, *e, 1);
    if (*rest == '=') {
      add_string(t, "</td>\r\n\t\t<td>");
      add_escaped(t, rest + 1, 0);
    }
    add_string(t, "</td>\r\n\t</tr>\r\n");
  }
  if (remote && *remote) {
    struct in_addr address;
    struct hostent host, *found = NULL;
    int error;
    address.s_addr = inet_addr(remote);
    if (gethostbyaddr_r(&address, 4, AF_INET, &host, line, sizeof line, &found, &error) == 0 &&
        found) {
      add_string(t, "\t<tr>\r\n\t\t<td>\r\n\t\t\tHostName from IPaddr\r\n\t\t</td>\r\n\t\t<td>\r\n\t\t\t");
      add_escaped(t, found->h_name, 0);
      add_string(t, "\r\n\t\t</td>\r\n\t</tr>\r\n");
    }
  }
  add_string(t, "</tbody>\r\n</table>\r\n</body>\r\n</html>");
}

static pthread_mutex_t accept_lock = PTHREAD_MUTEX_INITIALIZER;

static void *work(void *unused) {
  FCGX_Request request;
  struct text page = {0};
  (void)unused;
  FCGX_InitRequest(&request, 0, 0);
  for (;;) {
    /* libfcgi's accept is not safe to call from several threads at once. */
    pthread_mutex_lock(&accept_lock);
    int accepted = FCGX_Accept_r(&request);
    pthread_mutex_unlock(&accept_lock);
    if (accepted < 0) return NULL;
    write_page(&page, request.envp);
    FCGX_PutStr(page.data, (int)page.size, request.out);
    FCGX_Finish_r(&request);
  }
}

int main(void) {
  pthread_t threads[WORKERS - 1];
  FCGX_Init();
  for (int i = 0; i < WORKERS - 1; ++i) pthread_create(&threads[i], NULL, work, NULL);
  work(NULL);
  return 0;
}
