// A transport stream file looped so that the seam between passes is invisible
// to a receiver: each PID's continuity counter carries on from where the last
// pass left it, and every PCR, PTS and DTS moves forward by the pass duration.
// Without that each pass restarts the clocks, the relay logs a continuity
// break, and hls.js stalls waiting for its timeline to catch up.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

inline constexpr size_t kTsPacketBytes = 188;
inline constexpr uint64_t kPcrHz = 27'000'000;
inline constexpr uint64_t kPcrTicksPerTimestampTick = 300;  // 27 MHz over 90 kHz

class TsLoop {
public:
    // Reads the file's whole packets (a trailing partial one, as in a cut
    // capture, is left out); false with `error` set when it holds none.
    bool Load(const std::string& path, std::string& error);

    size_t packetCount() const { return data_.size() / kTsPacketBytes; }
    const uint8_t* packet(size_t index) const { return data_.data() + index * kTsPacketBytes; }

    // Rewrites the packets in place for pass `pass` (0: as in the file).
    void RewriteFor(uint64_t pass);

    // How long one pass plays, in 27 MHz ticks; 0 when the stream carries too
    // few timestamps to tell. The PTS span of the PCR PID plus one frame, so
    // that stream (normally the video) joins up exactly and the others keep
    // their place relative to it; the PCR span plus one PCR interval is the
    // fallback, but ffmpeg, for one, spaces its PCRs unevenly, which would
    // leave a gap of a few frames. An AAC track runs a little past the video,
    // by the encoder's priming frame at least, so at each seam its next pass
    // starts a frame or so early; players drop or re-time that frame.
    uint64_t passDurationPcr() const { return passDurationPcr_; }

    // The stream's mean rate between its first and last PCR on the PCR PID,
    // in bit/s; 0 when there are not two.
    double pcrRateBps() const { return pcrRateBps_; }

private:
    void Analyse();

    std::vector<uint8_t> data_;
    // Where a pass ends, not how many packets it holds: a capture may start
    // and end mid-sequence, or lose packets on the way.
    std::array<uint8_t, 8192> counterStep_{};
    uint64_t passDurationPcr_ = 0;
    double pcrRateBps_ = 0;
    uint64_t pass_ = 0;
};
