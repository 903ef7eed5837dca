// The program tables of a transport stream (ISO/IEC 13818-1, 2.4.4; the
// service description of ETSI EN 300 468, 5.2.3): sections gathered from
// their packets, then read into fixed-size values. Runs on the receive thread,
// so nothing here allocates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "ts/ts_packet.h"

inline constexpr int kPatPid = 0x0000;
inline constexpr int kSdtPid = 0x0011;
inline constexpr int kMaxPrograms = 64;        // PAT entries kept; a multicast carries a handful
inline constexpr int kMaxProgramStreams = 32;  // elementary streams kept per PMT
// section_length of a PAT, PMT or SDT is at most 1,021, after its 3 header bytes.
inline constexpr size_t kMaxSectionBytes = 1024;
inline constexpr size_t kServiceNameBytes = 64;  // with the terminating NUL; longer names are cut

// CRC-32 of sections: polynomial 0x04C11DB7, initial 0xFFFFFFFF, MSB first,
// no final XOR. A whole section, its CRC_32 included, gives 0.
uint32_t Crc32Mpeg2(const uint8_t* data, size_t length);

// Gathers the sections of one PID from its transport packets. A section may
// span packets and a packet may hold several, each after the pointer_field
// of a packet that starts one; 0xFF after a section stuffs the packet. A
// continuity-counter break drops the section in progress, and packets before
// the first section start are skipped. Copies into a fixed buffer.
class SectionReader {
public:
    // packet: 188 bytes of the reader's PID. Calls onSection(const uint8_t* section, size_t bytes)
    // for each whole section whose CRC_32 holds; the bytes stay valid only during the call.
    template <class OnSection>
    void Feed(TsPacket packet, OnSection&& onSection) {
        auto call = [&](const uint8_t* section, size_t bytes) { onSection(section, bytes); };
        FeedPacket(packet, &Call<decltype(call)>, &call);
    }
    // Sections dropped as corrupt: CRC_32 fails, or a section_length no table here can have.
    uint64_t badSections() const { return badSections_; }

private:
    using Sink = void (*)(void* context, const uint8_t* section, size_t bytes);
    template <class F>
    static void Call(void* f, const uint8_t* section, size_t bytes) { (*static_cast<F*>(f))(section, bytes); }
    // The template above only forwards; the work, compiled once, is here.
    void FeedPacket(TsPacket packet, Sink sink, void* context);
    const uint8_t* Gather(const uint8_t* from, const uint8_t* to, Sink sink, void* context);

    uint8_t section_[kMaxSectionBytes];
    size_t gatheredBytes_ = 0;  // of the section in progress; 0 between sections
    int expectedCounter_ = -1;  // none before the first packet
    uint64_t badSections_ = 0;
};

enum class StreamClass { kVideo, kAudio, kOther };
struct StreamCodec {
    StreamClass kind;
    const char* codec;  // "h264", "hevc", "mpeg2video", "aac", "mp2", "ac3", "eac3", ... or "other"
};
struct ElementaryStream {
    uint16_t pid;
    uint8_t streamType;
    StreamClass kind;
    const char* codec;
};
struct ProgramEntry {
    uint16_t number;  // 0: the entry names the network PID (NIT), not a program
    uint16_t pmtPid;
};
struct Pat {
    uint16_t transportStreamId;
    uint8_t version;
    int count;
    ProgramEntry programs[kMaxPrograms];
};
struct Pmt {
    uint16_t number;
    uint8_t version;
    uint16_t pcrPid;
    int count;
    ElementaryStream streams[kMaxProgramStreams];
};

// Sections as SectionReader passes them on; none for another table, one not
// yet current (current_next_indicator 0), or lengths that run past the bytes.
// A PAT is read from section 0 only; entries past kMaxPrograms, and streams
// past kMaxProgramStreams, are left out.
std::optional<Pat> ParsePat(const uint8_t* section, size_t bytes);  // table_id 0x00
std::optional<Pmt> ParsePmt(const uint8_t* section, size_t bytes);  // table_id 0x02

// What an elementary stream carries, from its stream_type, else (PES private
// data, 0x06, above all) from its ES_info descriptors.
StreamCodec ClassifyStream(uint8_t streamType, const uint8_t* descriptors, size_t bytes);

// The SDT of this transport stream (table_id 0x42): the service_name from the
// service_descriptor of the service whose service_id is programNumber, as
// printable ASCII: the leading character-table bytes and control codes
// dropped, each other character outside ASCII a '?'. False when the section
// has no such service or descriptor.
bool ReadServiceName(const uint8_t* section, size_t bytes, uint16_t programNumber, char (&name)[kServiceNameBytes]);

// One packet on PID 0 whose PAT lists only this program: payload only, the
// section right after a zero pointer_field, the rest 0xFF.
void WriteSingleProgramPat(uint8_t* packet, uint16_t transportStreamId, uint8_t version, uint16_t number,
                           uint16_t pmtPid, int continuityCounter);

// A section re-sent on a PID with the relay's own continuity counters: the
// section after a zero pointer_field, in the payloads of packets that carry no
// adaptation field, the last stuffed with 0xFF. out needs room for
// SectionPackets(bytes) packets. Advances the counter; returns the packets written.
inline constexpr int kSectionPacketPayloadBytes = kTsPacketBytes - kTsHeaderBytes;
constexpr int SectionPackets(size_t bytes) {
    return static_cast<int>((1 + bytes + kSectionPacketPayloadBytes - 1) / kSectionPacketPayloadBytes);
}
int PacketizeSection(const uint8_t* section, size_t bytes, int pid, int& continuityCounter, uint8_t* out);
