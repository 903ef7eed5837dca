#include "ts/psi.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

constexpr uint8_t kStuffingByte = 0xFF;  // no table_id is 0xFF, so at a section start it means stuffing
constexpr size_t kSectionHeaderBytes = 3;  // table_id, then the flags and section_length
constexpr size_t kLongHeaderBytes = 8;     // ... to last_section_number: every table read here has them
constexpr size_t kCrcBytes = 4;
constexpr size_t kShortestSectionBytes = kLongHeaderBytes + kCrcBytes;
constexpr int kPidMask = 0x1FFF;

constexpr uint8_t kPatTableId = 0x00, kPmtTableId = 0x02, kSdtActualTableId = 0x42;
constexpr uint8_t kRegistrationTag = 0x05, kServiceTag = 0x48;

constexpr std::array<uint32_t, 256> kCrcTable = [] {
    std::array<uint32_t, 256> table{};
    for (uint32_t byte = 0; byte < 256; byte++) {
        uint32_t crc = byte << 24;
        for (int bit = 0; bit < 8; bit++) crc = crc & 0x80000000 ? crc << 1 ^ 0x04C11DB7 : crc << 1;
        table[byte] = crc;
    }
    return table;
}();

uint16_t Read16(const uint8_t* b) { return static_cast<uint16_t>(b[0] << 8 | b[1]); }
uint16_t ReadPid(const uint8_t* b) { return Read16(b) & kPidMask; }
size_t ReadLength12(const uint8_t* b) { return Read16(b) & 0x0FFF; }

// A section with the long header, read through accessors named for its fields.
struct LongSection {
    const uint8_t* b;  // kShortestSectionBytes readable, and sectionBytes() in all
    int tableId() const { return b[0]; }
    bool sectionSyntaxIndicator() const { return (b[1] & 0x80) != 0; }
    size_t sectionBytes() const { return kSectionHeaderBytes + ReadLength12(b + 1); }
    uint16_t tableIdExtension() const { return Read16(b + 3); }
    uint8_t versionNumber() const { return (b[5] >> 1) & 0x1F; }
    bool currentNextIndicator() const { return (b[5] & 0x01) != 0; }
    int sectionNumber() const { return b[6]; }
    const uint8_t* body() const { return b + kLongHeaderBytes; }
    const uint8_t* bodyEnd() const { return b + sectionBytes() - kCrcBytes; }
};

// The section when it is a current one of this table and its length lies within the bytes.
std::optional<LongSection> OpenSection(const uint8_t* section, size_t bytes, uint8_t tableId) {
    if (bytes < kShortestSectionBytes) return std::nullopt;
    const LongSection s{section};
    if (s.tableId() != tableId || !s.sectionSyntaxIndicator() || !s.currentNextIndicator()) return std::nullopt;
    if (s.sectionBytes() < kShortestSectionBytes || s.sectionBytes() > bytes) return std::nullopt;
    return s;
}

// Calls visit(tag, data, length) for each descriptor in the loop while it fits.
template <class Visit>
void ForEachDescriptor(const uint8_t* at, const uint8_t* end, Visit visit) {
    while (end - at >= 2 && end - at - 2 >= at[1]) {
        visit(at[0], at + 2, size_t{at[1]});
        at += 2 + at[1];
    }
}

constexpr StreamCodec kOther{StreamClass::kOther, "other"};
constexpr StreamCodec kAc3{StreamClass::kAudio, "ac3"}, kEac3{StreamClass::kAudio, "eac3"};
constexpr StreamCodec kAac{StreamClass::kAudio, "aac"}, kMp2{StreamClass::kAudio, "mp2"};
constexpr StreamCodec kHevc{StreamClass::kVideo, "hevc"};

constexpr struct { uint8_t streamType; StreamCodec codec; } kStreamTypes[] = {
    {0x01, {StreamClass::kVideo, "mpeg1video"}}, {0x02, {StreamClass::kVideo, "mpeg2video"}},
    {0x10, {StreamClass::kVideo, "mpeg4"}},      {0x1B, {StreamClass::kVideo, "h264"}},
    {0x24, kHevc},                               {0x33, {StreamClass::kVideo, "vvc"}},
    {0x03, kMp2},                                {0x04, kMp2},
    {0x0F, kAac},                                {0x11, {StreamClass::kAudio, "aac_latm"}},
    // ATSC's numbers for Dolby audio, which DVB carries as PES private data instead.
    {0x81, kAc3},                                {0x87, kEac3},
};
// DVB marks audio in PES private data by descriptor; teletext (0x56) and subtitles (0x59) are not audio.
constexpr struct { uint8_t tag; StreamCodec codec; } kAudioDescriptors[] = {
    {0x6A, kAc3}, {0x7A, kEac3}, {0x7B, {StreamClass::kAudio, "dts"}}, {0x7C, kAac},
};
// The registration descriptor's format_identifier, as other muxers (ATSC, Opus, early HEVC) mark streams.
constexpr struct { char formatIdentifier[5]; StreamCodec codec; } kRegistrations[] = {
    {"AC-3", kAc3}, {"EAC3", kEac3}, {"HEVC", kHevc}, {"Opus", {StreamClass::kAudio, "opus"}},
};

}  // namespace

uint32_t Crc32Mpeg2(const uint8_t* data, size_t length) {
    uint32_t crc = 0xFFFFFFFF;
    for (size_t i = 0; i < length; i++) crc = crc << 8 ^ kCrcTable[(crc >> 24 ^ data[i]) & 0xFF];
    return crc;
}

void SectionReader::FeedPacket(TsPacket packet, Sink sink, void* context) {
    if (!packet.hasPayload()) return;  // its counter repeats the last one's, and it holds no section bytes
    if (!TrackContinuity(expectedCounter_, packet.continuityCounter())) gatheredBytes_ = 0;
    const int offset = packet.payloadOffset();
    const uint8_t* end = packet.b + kTsPacketBytes;
    if (offset >= kTsPacketBytes) {
        gatheredBytes_ = 0;
        return;
    }
    const uint8_t* payload = packet.b + offset;
    if (!packet.pusi()) {
        // Sections start only in packets that say so; this one can only go on with one.
        if (gatheredBytes_ > 0) Gather(payload, end, sink, context);
        return;
    }
    // The pointer_field counts the bytes before the first section that starts here: the
    // tail of the section in progress, then perhaps stuffing.
    const int sectionOffset = offset + 1 + payload[0];
    const bool pointsInside = sectionOffset < kTsPacketBytes;
    if (gatheredBytes_ > 0 && pointsInside) Gather(payload + 1, packet.b + sectionOffset, sink, context);
    gatheredBytes_ = 0;
    if (!pointsInside) return;
    for (const uint8_t* start = packet.b + sectionOffset; start < end && *start != kStuffingByte;) {
        start = Gather(start, end, sink, context);
    }
}

// Adds bytes to the section in progress, up to its end; returns where it stopped.
const uint8_t* SectionReader::Gather(const uint8_t* from, const uint8_t* to, Sink sink, void* context) {
    while (from < to) {
        const bool headerRead = gatheredBytes_ >= kSectionHeaderBytes;
        const size_t wanted = headerRead ? LongSection{section_}.sectionBytes() : kSectionHeaderBytes;
        const size_t taken = std::min(wanted - gatheredBytes_, static_cast<size_t>(to - from));
        memcpy(section_ + gatheredBytes_, from, taken);
        gatheredBytes_ += taken;
        from += taken;
        if (gatheredBytes_ < wanted) return from;
        if (!headerRead) {
            const size_t sectionBytes = LongSection{section_}.sectionBytes();
            if (sectionBytes >= kShortestSectionBytes && sectionBytes <= kMaxSectionBytes) continue;
            // Too long to buffer, or too short for the header and CRC every table here has:
            // nothing after it in this packet can be trusted either.
            badSections_++;
            gatheredBytes_ = 0;
            return to;
        }
        if (Crc32Mpeg2(section_, wanted) == 0) {
            sink(context, section_, wanted);
        } else {
            badSections_++;
        }
        gatheredBytes_ = 0;
        return from;
    }
    return from;
}

StreamCodec ClassifyStream(uint8_t streamType, const uint8_t* descriptors, size_t bytes) {
    for (const auto& known : kStreamTypes) {
        if (known.streamType == streamType) return known.codec;
    }
    StreamCodec found = kOther;
    ForEachDescriptor(descriptors, descriptors + bytes, [&](uint8_t tag, const uint8_t* data, size_t length) {
        for (const auto& audio : kAudioDescriptors) {
            if (audio.tag == tag) found = audio.codec;
        }
        for (const auto& registration : kRegistrations) {
            if (tag == kRegistrationTag && length >= 4 && memcmp(data, registration.formatIdentifier, 4) == 0) {
                found = registration.codec;
            }
        }
    });
    return found;
}

std::optional<Pat> ParsePat(const uint8_t* section, size_t bytes) {
    const std::optional<LongSection> s = OpenSection(section, bytes, kPatTableId);
    constexpr size_t kEntryBytes = 4;
    if (!s || s->sectionNumber() != 0 || (s->bodyEnd() - s->body()) % kEntryBytes != 0) return std::nullopt;
    Pat pat{s->tableIdExtension(), s->versionNumber(), 0, {}};
    for (const uint8_t* entry = s->body(); entry < s->bodyEnd() && pat.count < kMaxPrograms; entry += kEntryBytes) {
        pat.programs[pat.count++] = {Read16(entry), ReadPid(entry + 2)};
    }
    return pat;
}

std::optional<Pmt> ParsePmt(const uint8_t* section, size_t bytes) {
    const std::optional<LongSection> s = OpenSection(section, bytes, kPmtTableId);
    constexpr size_t kFixedBytes = 4, kStreamBytes = 5;  // PCR_PID, program_info_length; one ES entry's
    if (!s || s->bodyEnd() - s->body() < static_cast<ptrdiff_t>(kFixedBytes)) return std::nullopt;
    const uint8_t *at = s->body(), *end = s->bodyEnd();
    Pmt pmt{s->tableIdExtension(), s->versionNumber(), ReadPid(at), 0, {}};
    const size_t programInfoBytes = ReadLength12(at + 2);
    if (programInfoBytes > static_cast<size_t>(end - at) - kFixedBytes) return std::nullopt;
    at += kFixedBytes + programInfoBytes;
    while (at < end) {
        if (end - at < static_cast<ptrdiff_t>(kStreamBytes)) return std::nullopt;
        const size_t esInfoBytes = ReadLength12(at + 3);
        if (esInfoBytes > static_cast<size_t>(end - at) - kStreamBytes) return std::nullopt;
        if (pmt.count < kMaxProgramStreams) {
            const StreamCodec codec = ClassifyStream(at[0], at + kStreamBytes, esInfoBytes);
            pmt.streams[pmt.count++] = {ReadPid(at + 1), at[0], codec.kind, codec.codec};
        }
        at += kStreamBytes + esInfoBytes;
    }
    return pmt;
}

namespace {

// A first byte below 0x20 selects the character table (ETSI EN 300 468, Annex A), and the
// two bytes after 0x10 are below 0x20 too: all dropped as control codes, as 0x80-0x9F are in
// the one-byte tables (emphasis, line break). Only 0x1F's encoding_type_id needs skipping.
// In UTF-8 (0x15), 0x80-0xBF continue a character already counted.
void CopyServiceName(const uint8_t* text, size_t bytes, char (&name)[kServiceNameBytes]) {
    constexpr uint8_t kUtf8Table = 0x15, kEncodingTypeIdFollows = 0x1F;
    const bool utf8 = bytes > 0 && text[0] == kUtf8Table;
    size_t at = bytes > 0 && text[0] == kEncodingTypeIdFollows ? 2 : 0;
    size_t written = 0;
    for (; at < bytes && written + 1 < kServiceNameBytes; at++) {
        const uint8_t c = text[at];
        if (c >= 0x20 && c < 0x7F) {
            name[written++] = static_cast<char>(c);
        } else if (c >= 0xC0 || (c >= 0xA0 && !utf8)) {
            name[written++] = '?';
        }
    }
    name[written] = '\0';
}

}  // namespace

bool ReadServiceName(const uint8_t* section, size_t bytes, uint16_t programNumber, char (&name)[kServiceNameBytes]) {
    const std::optional<LongSection> s = OpenSection(section, bytes, kSdtActualTableId);
    constexpr ptrdiff_t kNetworkBytes = 3;  // original_network_id, reserved_future_use
    constexpr ptrdiff_t kServiceBytes = 5;  // service_id, flags, running_status to descriptors_loop_length
    if (!s || s->bodyEnd() - s->body() < kNetworkBytes) return false;
    const uint8_t* end = s->bodyEnd();
    for (const uint8_t* at = s->body() + kNetworkBytes; end - at >= kServiceBytes;) {
        const uint8_t* descriptors = at + kServiceBytes;
        const size_t loopBytes = ReadLength12(at + 3);
        if (loopBytes > static_cast<size_t>(end - descriptors)) return false;
        if (Read16(at) != programNumber) {
            at = descriptors + loopBytes;
            continue;
        }
        bool found = false;
        ForEachDescriptor(descriptors, descriptors + loopBytes, [&](uint8_t tag, const uint8_t* d, size_t length) {
            // service_type, then the provider's name and the service's, each after its length byte.
            if (found || tag != kServiceTag || length < 2 || size_t{d[1]} + 3 > length) return;
            const uint8_t* serviceName = d + 2 + d[1];
            if (size_t{serviceName[0]} > length - 3 - d[1]) return;
            CopyServiceName(serviceName + 1, serviceName[0], name);
            found = true;
        });
        return found;
    }
    return false;
}

void WriteSingleProgramPat(uint8_t* packet, uint16_t transportStreamId, uint8_t version, uint16_t number,
                           uint16_t pmtPid, int continuityCounter) {
    constexpr size_t kSectionBytes = kLongHeaderBytes + 4 + kCrcBytes;  // one program entry
    uint8_t section[kSectionBytes] = {
        kPatTableId,
        0xB0,  // section_syntax_indicator, '0', reserved, then section_length's top bits
        kSectionBytes - kSectionHeaderBytes,
        static_cast<uint8_t>(transportStreamId >> 8),
        static_cast<uint8_t>(transportStreamId),
        static_cast<uint8_t>(0xC1 | (version & 0x1F) << 1),  // reserved, version_number, current_next_indicator
        0,  // section 0 of 0
        0,
        static_cast<uint8_t>(number >> 8),
        static_cast<uint8_t>(number),
        static_cast<uint8_t>(0xE0 | (pmtPid >> 8 & 0x1F)),
        static_cast<uint8_t>(pmtPid),
    };
    const uint32_t crc = Crc32Mpeg2(section, kSectionBytes - kCrcBytes);
    uint8_t* crcField = section + kSectionBytes - kCrcBytes;
    for (size_t i = 0; i < kCrcBytes; i++) crcField[i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
    PacketizeSection(section, kSectionBytes, kPatPid, continuityCounter, packet);
}

int PacketizeSection(const uint8_t* section, size_t bytes, int pid, int& continuityCounter, uint8_t* out) {
    int packets = 0;
    size_t sent = 0;
    do {
        uint8_t* packet = out + packets * kTsPacketBytes;
        const bool first = packets++ == 0;
        packet[0] = kTsSyncByte;
        packet[1] = static_cast<uint8_t>((first ? 0x40 : 0) | (pid >> 8 & 0x1F));  // payload_unit_start_indicator
        packet[2] = static_cast<uint8_t>(pid);
        packet[3] = static_cast<uint8_t>(0x10 | (continuityCounter & 0x0F));  // payload only
        continuityCounter = (continuityCounter + 1) & 0x0F;
        uint8_t* payload = packet + kTsPacketBytes - kSectionPacketPayloadBytes;
        if (first) *payload++ = 0;  // pointer_field: the section starts right after it
        const size_t room = static_cast<size_t>(packet + kTsPacketBytes - payload);
        const size_t taken = std::min(room, bytes - sent);
        memcpy(payload, section + sent, taken);
        memset(payload + taken, kStuffingByte, room - taken);
        sent += taken;
    } while (sent < bytes);
    return packets;
}
