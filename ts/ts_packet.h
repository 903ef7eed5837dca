// One 188-byte MPEG-2 transport packet header (ISO/IEC 13818-1, 2.4.3.2),
// read through accessors named for the standard's fields.
#pragma once

#include <cstdint>

inline constexpr int kTsPacketBytes = 188;
inline constexpr uint8_t kTsSyncByte = 0x47;
inline constexpr int kTsHeaderBytes = 4;

struct TsPacket {
    const uint8_t* b;  // all 188 bytes readable

    bool hasSyncByte() const { return b[0] == kTsSyncByte; }
    bool pusi() const { return (b[1] & 0x40) != 0; }
    int pid() const { return ((b[1] & 0x1F) << 8) | b[2]; }
    bool hasAdaptationField() const { return (b[3] & 0x20) != 0; }
    bool hasPayload() const { return (b[3] & 0x10) != 0; }
    int continuityCounter() const { return b[3] & 0x0F; }
    int adaptationFieldLength() const { return hasAdaptationField() ? b[4] : 0; }
    bool randomAccessIndicator() const { return adaptationFieldLength() > 0 && (b[5] & 0x40) != 0; }
    // Past the packet's end when a malformed adaptation field claims more.
    int payloadOffset() const { return 4 + (hasAdaptationField() ? 1 + b[4] : 0); }
};

// Checks one payload-carrying packet's counter against the one expected and
// moves the expectation past it, so a lost run gives one break, not many.
inline bool TrackContinuity(int& expectedCounter, int counter) {
    const bool inSequence = counter == expectedCounter;
    expectedCounter = (counter + 1) & 0x0F;
    return inSequence;
}
