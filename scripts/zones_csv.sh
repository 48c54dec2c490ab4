#!/usr/bin/env bash
# Writes the time zones of Debian's tzdata (/usr/share/zoneinfo/zone1970.tab:
# country codes, coordinates, zone name, comment; one zone per line) to
# standard output as CSV with a header row of recbase field definitions, for
# `recbase db load`. Coordinates (+DDMM+DDDMM or +DDMMSS+DDDMMSS) become
# degrees as doubles, rounded to four decimals.
set -euo pipefail
table=${1:-/usr/share/zoneinfo/zone1970.tab}
awk -F '\t' '
  function degrees(text, degree_digits,    sign, d, m, s) {
    sign = substr(text, 1, 1) == "-" ? -1 : 1
    d = substr(text, 2, degree_digits)
    m = substr(text, 2 + degree_digits, 2)
    s = length(text) > 1 + degree_digits + 2 ? substr(text, 4 + degree_digits, 2) : 0
    return shortest(sign * (d + m / 60 + s / 3600))
  }
  function shortest(x,    t) {
    t = sprintf("%.4f", x)
    sub(/0+$/, "", t)
    sub(/\.$/, "", t)
    return t == "-0" ? "0" : t
  }
  function csv(text) {
    if (text ~ /[",\r\n]/) {
      gsub(/"/, "\"\"", text)
      return "\"" text "\""
    }
    return text
  }
  BEGIN { print "zone,countries,\"latitude,D\",\"longitude,D\",comment" }
  /^#/ { next }
  {
    split_at = match(substr($2, 2), /[+-]/)
    lat = substr($2, 1, split_at)
    lon = substr($2, split_at + 1)
    print csv($3) "," csv($1) "," degrees(lat, 2) "," degrees(lon, 3) "," csv($4)
  }' "$table"
