#include "ts/pes_header.h"

namespace {

// Start code prefix, stream_id, PES_packet_length, two flag bytes and
// PES_header_data_length: what every video PES header holds before its fields.
constexpr size_t kPesFixedBytes = 9;
constexpr size_t kTimestampBytes = 5;

bool HasPesHeader(const uint8_t* pes, size_t length) {
    // The optional header begins with the bits '10'; video PES packets always carry it.
    return length >= kPesFixedBytes && pes[0] == 0 && pes[1] == 0 && pes[2] == 1 && (pes[6] & 0xC0) == 0x80;
}

// 33 bits spread over 5 bytes between marker bits.
int64_t ReadTimestamp(const uint8_t* t) {
    return (int64_t{t[0] & 0x0E} << 29) | (int64_t{t[1]} << 22) | (int64_t{t[2] & 0xFE} << 14) |
           (int64_t{t[3]} << 7) | (t[4] >> 1);
}

enum class Codec { kH264, kHevc, kOther };

// Transport streams carry an access unit delimiter first in every H.264 and
// HEVC access unit, so a frame's first start code says which codec it is in.
// Telling them apart matters: an H.264 P-slice header (0x41) reads as an HEVC
// VPS. MPEG-2's marks need no such care: 0xB3 and 0xB8 have the forbidden
// bit of both NAL headers set, so they never follow a start code there.
Codec CodecOf(uint8_t firstCode) {
    if ((firstCode & 0x9F) == 9) return Codec::kH264;
    if ((firstCode & 0xFE) == 35 << 1) return Codec::kHevc;
    return Codec::kOther;
}

bool IsRandomAccessCode(Codec codec, uint8_t code) {
    switch (codec) {
    case Codec::kH264: {
        const int type = code & 0x1F;
        return type == 5 || type == 7;
    }
    case Codec::kHevc: {
        // x265 puts a 2 KB SEI before the IRAP picture, out of the first packet's
        // reach; its parameter sets come first.
        const int type = (code >> 1) & 0x3F;
        return (type >= 16 && type <= 23) || type == 32 || type == 33;
    }
    case Codec::kOther:
        return code == 0xB3 || code == 0xB8;
    }
    return false;
}

}  // namespace

std::optional<int64_t> PesDecodeTime(const uint8_t* pes, size_t length) {
    if (!HasPesHeader(pes, length)) return std::nullopt;
    const int ptsDtsFlags = pes[7] >> 6;  // 2: PTS; 3: PTS then DTS
    const size_t fields = ptsDtsFlags == 3 ? 2 : ptsDtsFlags == 2 ? 1 : 0;
    const size_t fieldsEnd = kPesFixedBytes + fields * kTimestampBytes;
    if (fields == 0 || pes[8] < fieldsEnd - kPesFixedBytes || length < fieldsEnd) return std::nullopt;
    return ReadTimestamp(pes + fieldsEnd - kTimestampBytes);
}

size_t PesPayloadOffset(const uint8_t* pes, size_t length) {
    if (!HasPesHeader(pes, length)) return length;
    const size_t offset = kPesFixedBytes + pes[8];
    return offset < length ? offset : length;
}

bool HasRandomAccessMark(const uint8_t* es, size_t length) {
    std::optional<Codec> codec;
    for (size_t at = 0; at + 3 < length; at++) {
        if (es[at] != 0 || es[at + 1] != 0 || es[at + 2] != 1) continue;
        const uint8_t code = es[at + 3];
        if (!codec) codec = CodecOf(code);
        if (IsRandomAccessCode(*codec, code)) return true;
        at += 3;
    }
    return false;
}
