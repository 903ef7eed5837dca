// The start of a PES packet, as the first transport packet of a video frame
// carries it (ISO/IEC 13818-1): the frame's decoding time, and
// whether a decoder can start there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

inline constexpr int64_t kTimestampHz = 90'000;
inline constexpr int64_t kTimestampWrap = int64_t{1} << 33;

// The DTS, else the PTS, in 90 kHz ticks; none when the header carries
// neither or is cut off before them.
std::optional<int64_t> PesDecodeTime(const uint8_t* pes, size_t length);

// Where the elementary stream starts behind the header; length when it does
// not start within those bytes.
size_t PesPayloadOffset(const uint8_t* pes, size_t length);

// Whether the first bytes of a frame carry its codec's own mark of a point a
// decoder can start from: an H.264 IDR picture or sequence parameter set, an
// HEVC IRAP picture or video/sequence parameter set, an MPEG-2 sequence or
// GOP header.
bool HasRandomAccessMark(const uint8_t* es, size_t length);
