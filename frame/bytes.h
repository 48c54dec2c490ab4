// Byte-order helpers. Every integer the library stores in a file goes
// through one of these, which name the byte order they use; no struct casts
// and no raw copies of integers.
//
//   le  little-endian: the B-tree file format
//   be  big-endian: keys whose byte order must be their numeric order
//   ne  native, the machine's own order: the ISAM data file's header and
//       record values, which are stored as the machine holds them
#ifndef RECBASE_FRAME_BYTES_H
#define RECBASE_FRAME_BYTES_H

#include <cstdint>
#include <cstring>

namespace recbase {

inline uint16_t get_le16(const uint8_t *p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline int16_t get_le16s(const uint8_t *p) {
  return static_cast<int16_t>(get_le16(p));
}
inline uint32_t get_le32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
inline void put_le16(uint8_t *p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put_le32(uint8_t *p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}
inline uint32_t get_be32(const uint8_t *p) {
  return (static_cast<uint32_t>(p[0]) << 24) |
         (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}
inline void put_be32(uint8_t *p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

// Native order: the bytes are the machine's representation of the value.
inline int16_t get_ne16s(const uint8_t *p) {
  int16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline uint16_t get_ne16(const uint8_t *p) {
  uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline int32_t get_ne32s(const uint8_t *p) {
  int32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline float get_ne_f32(const uint8_t *p) {
  float v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline double get_ne_f64(const uint8_t *p) {
  double v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void put_ne16(uint8_t *p, int16_t v) { std::memcpy(p, &v, sizeof v); }

}  // namespace recbase

#endif  // RECBASE_FRAME_BYTES_H
