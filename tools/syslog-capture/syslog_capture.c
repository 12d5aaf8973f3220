/*
 * Syslog to a file, for systems (and test runs) without a system log to
 * read. Preloaded (LD_PRELOAD), or linked into a program, it appends what
 * the program sends to syslog, one line per message, to the file named by
 * SYSLOG_CAPTURE_FILE:
 *
 *   <facility|priority> ident[pid]: message      (pid only with LOG_PID)
 *
 * so identity, option, facility, priority and text can all be read back.
 * Unset SYSLOG_CAPTURE_FILE: messages are dropped.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

static const char *log_ident;
static int log_option;
static int log_facility = LOG_USER;

void openlog(const char *ident, int option, int facility) {
  log_ident = ident;
  log_option = option;
  log_facility = facility;
}

void closelog(void) {}

void vsyslog(int priority, const char *format, va_list args) {
  int saved_errno = errno; /* %m must see the caller's errno */
  const char *path = getenv("SYSLOG_CAPTURE_FILE");
  if (!path)
    return;
  char message[2048];
  errno = saved_errno;
  vsnprintf(message, sizeof message, format, args);
  const char *ident = log_ident ? log_ident : program_invocation_short_name;
  int facility =
      (priority & LOG_FACMASK) ? (priority & LOG_FACMASK) : log_facility;
  char line[2300];
  int n;
  if (log_option & LOG_PID)
    n = snprintf(line, sizeof line, "<%d> %s[%d]: %s\n",
                 facility | LOG_PRI(priority), ident, (int)getpid(), message);
  else
    n = snprintf(line, sizeof line, "<%d> %s: %s\n",
                 facility | LOG_PRI(priority), ident, message);
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0)
    return;
  if (n > (int)sizeof line - 1)
    n = sizeof line - 1;
  ssize_t written = write(fd, line, (size_t)n);
  (void)written;
  close(fd);
  errno = saved_errno;
}

void syslog(int priority, const char *format, ...) {
  va_list args;
  va_start(args, format);
  vsyslog(priority, format, args);
  va_end(args);
}

void __vsyslog_chk(int priority, int flag, const char *format, va_list args) {
  (void)flag;
  vsyslog(priority, format, args);
}

void __syslog_chk(int priority, int flag, const char *format, ...) {
  (void)flag;
  va_list args;
  va_start(args, format);
  vsyslog(priority, format, args);
  va_end(args);
}
