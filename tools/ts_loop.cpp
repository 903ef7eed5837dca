#include "ts_loop.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>

namespace {

constexpr uint8_t kSyncByte = 0x47;
constexpr int kNullPid = 0x1FFF;
constexpr uint64_t kTimestampWrap = uint64_t{1} << 33;  // PTS, DTS and the PCR base are 33-bit counters
constexpr uint64_t kPcrWrap = kTimestampWrap * kPcrTicksPerTimestampTick;
constexpr size_t kPcrOffset = 6;
constexpr int kContinuityWrap = 16;

// ISO/IEC 13818-1, 2.4.3.2 and 2.4.3.4.
struct Packet {
    uint8_t* b;

    bool hasSyncByte() const { return b[0] == kSyncByte; }
    bool pusi() const { return b[1] & 0x40; }
    int pid() const { return (b[1] & 0x1F) << 8 | b[2]; }
    bool hasAdaptationField() const { return b[3] & 0x20; }
    bool hasPayload() const { return b[3] & 0x10; }
    int continuityCounter() const { return b[3] & 0x0F; }
    bool hasPcr() const { return hasAdaptationField() && b[4] >= 7 && (b[5] & 0x10); }
    bool counts() const { return hasSyncByte() && pid() != kNullPid; }

    // 33-bit base, 6 reserved bits, 9-bit extension, in 27 MHz ticks.
    uint64_t pcr() const {
        const uint8_t* f = b + kPcrOffset;
        const uint64_t base = uint64_t{f[0]} << 25 | uint64_t{f[1]} << 17 | uint64_t{f[2]} << 9 |
                              uint64_t{f[3]} << 1 | f[4] >> 7;
        return base * kPcrTicksPerTimestampTick + ((f[4] & 1) << 8 | f[5]);
    }
    void setPcr(uint64_t pcr) {
        const uint64_t base = pcr / kPcrTicksPerTimestampTick % kTimestampWrap;
        const uint64_t extension = pcr % kPcrTicksPerTimestampTick;
        uint8_t* f = b + kPcrOffset;
        f[0] = uint8_t(base >> 25);
        f[1] = uint8_t(base >> 17);
        f[2] = uint8_t(base >> 9);
        f[3] = uint8_t(base >> 1);
        f[4] = uint8_t((base & 1) << 7 | 0x7E | extension >> 8);
        f[5] = uint8_t(extension);
    }
};

// A PTS or DTS field: 33 bits spread over 5 bytes between marker bits (2.4.3.7).
uint64_t ReadTimestamp(const uint8_t* t) {
    return uint64_t(t[0] & 0x0E) << 29 | uint64_t{t[1]} << 22 | uint64_t(t[2] & 0xFE) << 14 | uint64_t{t[3]} << 7 |
           t[4] >> 1;
}

void WriteTimestamp(uint8_t* t, uint64_t value) {
    // The top four bits of the first byte say PTS or DTS; they stay.
    t[0] = uint8_t((t[0] & 0xF0) | (value >> 29 & 0x0E) | 1);
    t[1] = uint8_t(value >> 22);
    t[2] = uint8_t((value >> 14 & 0xFE) | 1);
    t[3] = uint8_t(value >> 7);
    t[4] = uint8_t((value << 1 & 0xFE) | 1);
}

// Stream ids whose PES packets have no optional header, hence no timestamps (Table 2-21).
bool PesHasHeader(uint8_t streamId) {
    constexpr uint8_t kWithout[] = {0xBC, 0xBE, 0xBF, 0xF0, 0xF1, 0xF2, 0xF8, 0xFF};
    return std::find(std::begin(kWithout), std::end(kWithout), streamId) == std::end(kWithout);
}

// Offsets in the packet of the PTS, then the DTS, of a PES header that starts
// there; a field cut off by the packet's end is not read. Returns how many.
int TimestampOffsets(Packet p, size_t (&at)[2]) {
    if (!p.pusi() || !p.hasPayload()) return 0;
    const size_t start = 4 + (p.hasAdaptationField() ? 1 + p.b[4] : 0);
    if (start + 9 > kTsPacketBytes) return 0;
    const uint8_t* pes = p.b + start;
    if (pes[0] != 0 || pes[1] != 0 || pes[2] != 1 || !PesHasHeader(pes[3])) return 0;
    const int flags = pes[7] >> 6;
    int count = 0;
    if (flags >= 2 && start + 14 <= kTsPacketBytes) at[count++] = start + 9;
    if (flags == 3 && start + 19 <= kTsPacketBytes) at[count++] = start + 14;
    return count;
}

// From the first to one step past the last of the distinct values, the step
// being the commonest gap between neighbours (the earliest on a tie); 0 for
// fewer than two. The values are counters that wrap at `wrap`, made plain by
// taking each step the shorter way round, so the small steps back that
// B-frames make stay steps back.
uint64_t SpanPlusOneStep(const std::vector<uint64_t>& values, uint64_t wrap) {
    std::vector<int64_t> points;
    const int64_t signedWrap = int64_t(wrap);
    for (const uint64_t value : values) {
        if (points.empty()) {
            points.push_back(int64_t(value));
            continue;
        }
        int64_t step = (int64_t(value) - points.back()) % signedWrap;
        if (step < 0) step += signedWrap;
        points.push_back(points.back() + (step >= signedWrap / 2 ? step - signedWrap : step));
    }
    std::sort(points.begin(), points.end());
    points.erase(std::unique(points.begin(), points.end()), points.end());
    if (points.size() < 2) return 0;
    std::map<int64_t, std::pair<int, size_t>> gaps;  // gap -> (count, first seen)
    for (size_t i = 1; i < points.size(); i++) {
        auto [it, added] = gaps.try_emplace(points[i] - points[i - 1], 0, i);
        it->second.first++;
    }
    const auto commonest = std::max_element(gaps.begin(), gaps.end(), [](const auto& a, const auto& b) {
        return a.second.first < b.second.first ||
               (a.second.first == b.second.first && a.second.second > b.second.second);
    });
    return uint64_t(points.back() - points.front() + commonest->first);
}

}  // namespace

bool TsLoop::Load(const std::string& path, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "open " + path + ": " + std::strerror(errno);
        return false;
    }
    data_.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    if (file.bad()) {
        error = "read " + path + ": " + std::strerror(errno);
        return false;
    }
    data_.resize(data_.size() - data_.size() % kTsPacketBytes);
    if (data_.empty()) {
        error = path + " holds no whole transport packet";
        return false;
    }
    Analyse();
    return true;
}

void TsLoop::Analyse() {
    int pcrPid = -1;
    for (size_t i = 0; i < packetCount() && pcrPid < 0; i++) {
        const Packet p{data_.data() + i * kTsPacketBytes};
        if (p.counts() && p.hasPcr()) pcrPid = p.pid();
    }
    std::array<int, 8192> firstCounter, nextCounter;
    firstCounter.fill(-1);
    nextCounter.fill(-1);
    std::vector<uint64_t> pcrs, pcrPidPts;
    size_t firstPcrAt = 0, lastPcrAt = 0;
    for (size_t i = 0; i < packetCount(); i++) {
        const Packet p{data_.data() + i * kTsPacketBytes};
        if (!p.counts()) continue;
        if (p.hasPayload()) {
            if (firstCounter[p.pid()] < 0) firstCounter[p.pid()] = p.continuityCounter();
            nextCounter[p.pid()] = (p.continuityCounter() + 1) % kContinuityWrap;
        }
        if (p.pid() != pcrPid) continue;
        if (p.hasPcr()) {
            if (pcrs.empty()) firstPcrAt = i;
            lastPcrAt = i;
            pcrs.push_back(p.pcr());
        }
        size_t at[2];
        if (TimestampOffsets(p, at) > 0) pcrPidPts.push_back(ReadTimestamp(p.b + at[0]));
    }
    for (size_t pid = 0; pid < counterStep_.size(); pid++) {
        if (firstCounter[pid] >= 0) {
            counterStep_[pid] = uint8_t((nextCounter[pid] - firstCounter[pid] + kContinuityWrap) % kContinuityWrap);
        }
    }
    if (const uint64_t frames = SpanPlusOneStep(pcrPidPts, kTimestampWrap)) {
        passDurationPcr_ = frames * kPcrTicksPerTimestampTick;
    } else {
        // Whole 90 kHz ticks, so that PTS and DTS move exactly as far as the PCR.
        const uint64_t clock = SpanPlusOneStep(pcrs, kPcrWrap);
        passDurationPcr_ = (clock + kPcrTicksPerTimestampTick / 2) / kPcrTicksPerTimestampTick *
                           kPcrTicksPerTimestampTick;
    }
    if (pcrs.size() >= 2 && pcrs.back() > pcrs.front()) {
        pcrRateBps_ = double((lastPcrAt - firstPcrAt) * kTsPacketBytes * 8) * double(kPcrHz) /
                      double(pcrs.back() - pcrs.front());
    }
}

void TsLoop::RewriteFor(uint64_t pass) {
    if (pass <= pass_) return;  // only ever forward: a pass's fields are known from the last one
    const uint64_t passes = pass - pass_;
    const uint64_t pcrShift = uint64_t(static_cast<unsigned __int128>(passes) * passDurationPcr_ % kPcrWrap);
    const uint64_t timestampShift = pcrShift / kPcrTicksPerTimestampTick;
    for (size_t i = 0; i < packetCount(); i++) {
        Packet p{data_.data() + i * kTsPacketBytes};
        if (!p.counts()) continue;
        const uint64_t counter = p.continuityCounter() + passes % kContinuityWrap * counterStep_[p.pid()];
        p.b[3] = uint8_t((p.b[3] & 0xF0) | (counter % kContinuityWrap));
        if (p.hasPcr()) p.setPcr((p.pcr() + pcrShift) % kPcrWrap);
        size_t at[2];
        for (int k = 0, n = TimestampOffsets(p, at); k < n; k++) {
            WriteTimestamp(p.b + at[k], (ReadTimestamp(p.b + at[k]) + timestampShift) % kTimestampWrap);
        }
    }
    pass_ = pass;
}
