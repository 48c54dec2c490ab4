#!/usr/bin/env bash
# Fails when library code outside frame/platform_*.cpp calls the operating
# system for files, locks, time, sleeping or plain output, or tests _WIN32:
# those belong behind the platform services table. Comments and string
# literals are ignored, and so are member calls (x.read(), p->close()).
set -euo pipefail
cd "$(dirname "$0")/.."
found=$(find frame bufpool cbt isam display class \
          \( -name '*.cpp' -o -name '*.h' \) ! -name 'platform_*.cpp' \
          -print0 2>/dev/null |
        xargs -0 -r perl -ne '
          s{"(?:[^"\\]|\\.)*"}{""}g;      # string literals
          s{//.*$}{};                       # line comments
          next if m{^\s*(\*|/\*)};          # block comment lines
          print "$ARGV:$.: $_" if
            /(?<![\w.>:])(?:(?:std)?::)?(open|close|pread|pwrite|read|write|fcntl|flock|unlink|fdatasync|fsync|nanosleep|usleep|sleep|clock_gettime|fopen|fwrite|printf|puts|fputs|putchar)\s*\(/
            || /_WIN32/;
          close ARGV if eof;')
if [ -n "$found" ]; then
  echo "system calls outside the platform files:"
  echo "$found"
  exit 1
fi
echo "layering check passed"
