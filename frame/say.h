// The checkers' words: what they found, formatted as printf does into a
// std::string of at most 255 characters (longer text is cut).
#ifndef RECBASE_FRAME_SAY_H
#define RECBASE_FRAME_SAY_H

#include <string>

namespace recbase {

std::string say(const char *format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace recbase

#endif  // RECBASE_FRAME_SAY_H
