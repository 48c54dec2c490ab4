#!/usr/bin/env bash
# Three checks of the source layout; each violation is printed as
# file:line: what, and any violation fails the script.
#
# 1. System calls: library code outside frame/platform_*.cpp must not call
#    the operating system for files, names, locks, time, sleeping or plain
#    output, or test _WIN32: those belong behind the platform services table
#    (and its two name operations, rename and file existence).
#    Comments and string literals are ignored, and so are member calls
#    (x.read(), p->close()).
#
# 2. Include direction: a layer includes only its own headers and those of
#    the layers below it, in the order
#        frame < bufpool < cbt < isam < display < class
#    The public headers belong to layers too: recbase/defs.h and
#    recbase/codes.h to frame (anyone may include them), recbase/cbt.h to
#    cbt, recbase/isam.h and recbase/display.h (which isam.h includes) to
#    isam, recbase/ISAM.hpp and recbase.h (which includes everything) to
#    class; a new public header is reported until it is given its layer here. Public headers include only public headers,
#    and no library file includes one of tests/, fuzz/ or the programs. tools/, bench/ and examples/ are programs built on the
#    installed library: they include public headers and their own files,
#    never a layer's internal headers.
#
# 3. Windowing: the output window is drawn with Xlib, and only
#    display/window_x11.cpp (compiled when libX11 is found) may include an
#    X11 header or call an Xlib function (XOpenDisplay, XDrawString, ...);
#    on Windows with the user-interface and graphics services, and only
#    display/window_win32.cpp and the Win32 platform file include
#    <windows.h>. The screen logic and every other file of the library have
#    none. The operating-system calls of check 1 stay forbidden there too.
set -euo pipefail
cd "$(dirname "$0")/.."
layers=(frame bufpool cbt isam display class)
programs=(tools bench examples)

syscalls=$(find "${layers[@]}" \
             \( -name '*.cpp' -o -name '*.h' \) ! -name 'platform_*.cpp' \
             -print0 2>/dev/null |
           xargs -0 -r perl -ne '
             s{"(?:[^"\\]|\\.)*"}{""}g;      # string literals
             s{//.*$}{};                       # line comments
             next if m{^\s*(\*|/\*)};          # block comment lines
             print "$ARGV:$.: system call outside the platform files: $_" if
               /(?<![\w.>:])(?:(?:std)?::)?(open|close|pread|pwrite|read|write|fcntl|flock|unlink|rename|renameat2|link|stat|access|fdatasync|fsync|nanosleep|usleep|sleep|clock_gettime|fopen|fwrite|printf|puts|fputs|putchar)\s*\(/
               || /_WIN32/;
             close ARGV if eof;')

includes=$(find "${layers[@]}" "${programs[@]}" include \
             \( -name '*.cpp' -o -name '*.h' -o -name '*.c' -o -name '*.hpp' \) \
             -print0 2>/dev/null |
           xargs -0 -r perl -e '
             my @layers = qw(frame bufpool cbt isam display class);
             my %rank;
             @rank{@layers} = (0 .. $#layers);
             my %programs = map { $_ => 1 } qw(tools bench examples);
             my %outside = map { $_ => 1 } qw(tools bench examples tests fuzz);
             # The layer each public header belongs to.
             my %public = ("recbase/defs.h" => 0, "recbase/codes.h" => 0,
                           "recbase/cbt.h" => 2, "recbase/isam.h" => 3,
                           "recbase/display.h" => 3,
                           "recbase/ISAM.hpp" => 5, "recbase.h" => 5);
             for my $file (@ARGV) {
               open(my $in, "<", $file) or die "$file: $!\n";
               my ($top) = $file =~ m{^([^/]+)/};
               # The including file: a layer (rank), a public header (rank
               # of its layer, public only) or a program (public only).
               my ($rank, $public_only);
               if (exists $rank{$top}) {
                 $rank = $rank{$top};
               } elsif ($top eq "include") {
                 (my $name = $file) =~ s{^include/}{};
                 $rank = $public{$name} // $#layers;
                 $public_only = 1;
               } else {
                 $rank = $#layers;
                 $public_only = 1;
               }
               while (my $line = <$in>) {
                 next unless $line =~ /^\s*#\s*include\s*["<]([^">]+)[">]/;
                 my $inc = $1;
                 my ($dir) = $inc =~ m{^([^/]+)/};
                 my $what;
                 if (exists $public{$inc}) {
                   $what = "includes $inc, the public header of the higher "
                         . "layer $layers[$public{$inc}]/"
                     if $public{$inc} > $rank;
                 } elsif (defined $dir && exists $rank{$dir}) {
                   if ($public_only) {
                     $what = "includes $inc, an internal header";
                   } elsif ($rank{$dir} > $rank) {
                     $what = "includes $inc, a header of the higher layer $dir/";
                   }
                 } elsif (defined $dir && $dir eq "recbase") {
                   $what = "includes $inc, a public header without a layer "
                         . "in this check";
                 } elsif (defined $dir && $outside{$dir} && !$programs{$top}) {
                   $what = "includes $inc, which is not part of the library";
                 }
                 print "$file:$.: $what\n" if defined $what;
               }
               close $in;
             }')

window_file=display/window_x11.cpp
windowing=$(find "${layers[@]}" include \
              \( -name '*.cpp' -o -name '*.h' -o -name '*.hpp' \) \
              ! -path "$window_file" -print0 2>/dev/null |
            xargs -0 -r perl -ne '
              print "$ARGV:$.: X11 header outside the window file: $_"
                if m{^\s*#\s*include\s*[<"]X11/};
              s{"(?:[^"\\]|\\.)*"}{""}g;
              s{//.*$}{};
              next if m{^\s*(\*|/\*)};
              print "$ARGV:$.: Xlib call outside the window file: $_"
                if /(?<![\w.>:])X[A-Z][a-z]\w*\s*\(/;
              close ARGV if eof;')

win32_files=(display/window_win32.cpp frame/platform_win32.cpp)
win32=$(find "${layers[@]}" include \
          \( -name '*.cpp' -o -name '*.h' -o -name '*.hpp' \) -print0 2>/dev/null |
        xargs -0 -r grep -n -i -E '^\s*#\s*include\s*[<"]windows\.h' |
        grep -v -F -e "${win32_files[0]}:" -e "${win32_files[1]}:" |
        sed 's/$/: windows.h outside the Win32 window and platform files/' || true)

status=0
for found in "$syscalls" "$includes" "$windowing" "$win32"; do
  if [ -n "$found" ]; then
    echo "$found"
    status=1
  fi
done
if [ "$status" -ne 0 ]; then
  echo "layering check failed"
  exit 1
fi
echo "layering check passed"
