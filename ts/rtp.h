// The RTP wrapper that many IPTV networks put around transport packets
// (RFC 3550 header, RFC 2250 payload: whole 188-byte packets).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

struct RtpPayload {
    const uint8_t* data;
    size_t length;
    uint16_t sequenceNumber;
};

// The payload of an RTP version-2 datagram, past its CSRC list and header
// extension and without its padding; none unless it begins with a sync byte.
// A bare transport packet never passes for RTP: its sync byte 0x47 reads as
// version 1.
std::optional<RtpPayload> UnwrapRtp(const uint8_t* datagram, size_t length);
