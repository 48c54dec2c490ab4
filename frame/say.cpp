#include "frame/say.h"

#include <cstdarg>
#include <cstdio>

namespace recbase {

std::string say(const char *format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

}  // namespace recbase
