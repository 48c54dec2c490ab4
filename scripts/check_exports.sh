#!/usr/bin/env bash
# Checks that a shared build of the library exports its interface and
# nothing else: every dynamic symbol it defines is a C name that a public
# header declares with RBAPI, or a member of the class ISAM that
# recbase/ISAM.hpp declares with RBAPI; and every such name is exported.
# Template code of the C++ standard library (a std::vector member the
# compiler instantiated with default visibility) is what tends to slip out.
#   check_exports.sh LIBRARY   (default: build/librecbase.so)
set -euo pipefail
cd "$(dirname "$0")/.."
lib=${1:-build/librecbase.so}
[ -f "$lib" ] || { echo "check_exports: no library $lib" >&2; exit 2; }

# The name declared by each RBAPI declaration: the word before its "(" or
# ";" (types and RBCALL come first), comments left out.
declared() {
  sed -e 's://.*$::' "$@" | tr '\n' ' ' | sed -e 's:/\*[^*]*\*\+\([^/*][^*]*\*\+\)*/::g' |
    grep -oP 'RBAPI[^;(]*?\K~?\b\w+(?=\s*[(;])' | sort -u
}
c_names=$(declared $(ls include/recbase/*.h | grep -v '/defs\.h$'))
members=$(declared include/recbase/ISAM.hpp)

# Symbols the link editor defines in every shared object.
linker='^(_edata|_end|__bss_start|_init|_fini)$'
syms=$(nm -D --defined-only "$lib" | awk '{print $3}' | grep -Ev "$linker" | sort -u)

# One line per symbol: its name and, for a C++ symbol, its demangled form.
# An ISAM member counts by its name; anything else must be a declared C name.
paste <(echo "$syms") <(echo "$syms" | c++filt) |
  awk -v c="$c_names" -v m="$members" '
    BEGIN {
      FS = "\t"; nc = split(c, cs, "\n"); nm = split(m, ms, "\n")
      for (i = 1; i <= nc; i++) want_c[cs[i]] = 1
      for (i = 1; i <= nm; i++) want_m[ms[i]] = 1
    }
    {
      if ($1 !~ /^_Z/ && ($1 in want_c)) { got_c[$1] = 1; next }
      if (match($2, /^ISAM::~?[A-Za-z_0-9]+\(/)) {
        name = substr($2, 7, RLENGTH - 7)
        if (name in want_m) { got_m[name] = 1; next }
      }
      print "exported but not in the interface: " $2; bad = 1
    }
    END {
      for (n in want_c) if (!(n in got_c)) { print "declared, not exported: " n; bad = 1 }
      for (n in want_m) if (!(n in got_m)) { print "declared, not exported: ISAM::" n; bad = 1 }
      if (!bad) printf "exports: %d symbols, the %d C names and %d ISAM members declared\n", NR, nc, nm
      exit bad
    }'
