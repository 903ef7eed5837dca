#include "ts/rtp.h"

#include "ts/ts_packet.h"

namespace {
constexpr size_t kRtpFixedBytes = 12;
constexpr size_t kRtpExtensionHeadBytes = 4;
constexpr int kRtpVersion = 2;
}  // namespace

std::optional<RtpPayload> UnwrapRtp(const uint8_t* datagram, size_t length) {
    if (length < kRtpFixedBytes || datagram[0] >> 6 != kRtpVersion) return std::nullopt;
    const bool padding = datagram[0] & 0x20;
    const bool extension = datagram[0] & 0x10;
    const size_t csrcCount = datagram[0] & 0x0F;
    size_t offset = kRtpFixedBytes + 4 * csrcCount;
    if (extension) {
        if (offset + kRtpExtensionHeadBytes > length) return std::nullopt;
        const size_t extensionWords = size_t{datagram[offset + 2]} << 8 | datagram[offset + 3];
        offset += kRtpExtensionHeadBytes + 4 * extensionWords;
    }
    // The last byte counts the padding, itself included.
    const size_t paddingBytes = padding ? datagram[length - 1] : 0;
    if (offset + paddingBytes >= length || (padding && paddingBytes == 0)) return std::nullopt;
    if (datagram[offset] != kTsSyncByte) return std::nullopt;
    const uint16_t sequenceNumber = static_cast<uint16_t>(datagram[2] << 8 | datagram[3]);
    return RtpPayload{datagram + offset, length - offset - paddingBytes, sequenceNumber};
}
