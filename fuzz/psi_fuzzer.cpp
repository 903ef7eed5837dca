// The program tables as the receive thread follows them. Input: a mode byte, the PID the client names
// (2 bytes; above 0x1FFF: none), a service_id (2 bytes), then 188-byte packets (mode even) or sections (mode
// odd: a PID byte, 0 PAT, 1 SDT, else 0x100 + it; a 2-byte length; that many bytes, given the section_length
// and CRC_32 that fit them, so the parsers get deep inputs, and sent through PacketizeSection).
// Sections read back whole with a CRC_32 that holds, and parse from buffers exactly their length (ASan) into
// counts within their arrays and a printable, terminated name; whenever the relay writes its own tables for
// one program, they read back as one program whose PMT lists the PID that cuts and the PID named.
#include <algorithm>
#include <map>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "ingest/program_tables.h"
#include "web/stream_description.h"

namespace {

using Bytes = std::vector<uint8_t>;

void CheckSection(const Bytes& s, uint16_t serviceId) {
    FUZZ_CHECK(s.size() <= kMaxSectionBytes && Crc32Mpeg2(s.data(), s.size()) == 0);
    if (const auto pat = ParsePat(s.data(), s.size())) FUZZ_CHECK(pat->count >= 0 && pat->count <= kMaxPrograms);
    if (const auto pmt = ParsePmt(s.data(), s.size())) FUZZ_CHECK(pmt->count >= 0 && pmt->count <= kMaxProgramStreams);
    char name[kServiceNameBytes];
    if (!ReadServiceName(s.data(), s.size(), serviceId, name)) return;
    const char *begin = name, *end = std::find(begin, begin + kServiceNameBytes, '\0');
    FUZZ_CHECK(end < begin + kServiceNameBytes && std::all_of(begin, end, [](char c) { return c >= ' ' && c <= '~'; }));
}

void CheckOwnTables(ProgramTables& tables, int cutPid, std::optional<int> named) {
    uint8_t out[kMaxOwnTableBytes];
    const int bytes = tables.WriteOwnTables(out);
    std::optional<Pat> pat;
    std::optional<Pmt> pmt;
    SectionReader readers[2];  // the PAT's packet, then the PMT's
    for (int at = 0; at < bytes; at += kTsPacketBytes) {
        readers[at > 0].Feed(TsPacket{out + at}, [&](const uint8_t* s, size_t n) {
            at ? void(pmt = ParsePmt(s, n)) : void(pat = ParsePat(s, n));
        });
    }
    if (bytes == 0) return;
    FUZZ_CHECK(pat && pat->count == 1 && pmt && pmt->number == pat->programs[0].number);
    FUZZ_CHECK(TsPacket{out + kTsPacketBytes}.pid() == pat->programs[0].pmtPid);
    const auto listed = [&](int pid) {
        return std::any_of(pmt->streams, pmt->streams + pmt->count, [&](const auto& s) { return s.pid == pid; });
    };
    FUZZ_CHECK(listed(cutPid) && (!named || listed(*named)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) return 0;
    const bool sections = data[0] & 1;
    const int namedPid = data[1] << 8 | data[2];
    const std::optional<int> named = namedPid <= 0x1FFF ? std::optional<int>(namedPid) : std::nullopt;
    const uint16_t serviceId = static_cast<uint16_t>(data[3] << 8 | data[4]);
    ProgramTables tables(named);
    TsScanState scan;
    tables.Start(scan, named.value_or(kDefaultVideoPid));
    std::map<int, SectionReader> readers;  // one a PID, as the relay keeps them
    std::vector<Bytes> sent, read;
    const auto feed = [&](const uint8_t* packet) {
        readers[TsPacket{packet}.pid()].Feed(TsPacket{packet}, [&](const uint8_t* s, size_t n) {
            CheckSection(read.emplace_back(s, s + n), serviceId);
        });
        tables.Feed(TsPacket{packet}, scan);
        CheckOwnTables(tables, scan.cutPid, named);  // a cut may come at any packet
    };
    const uint8_t *at = data + 5, *end = data + size;
    for (; !sections && end - at >= kTsPacketBytes; at += kTsPacketBytes) feed(Bytes(at, at + kTsPacketBytes).data());
    int counters[256] = {};  // by PID byte
    while (sections && end - at >= 3) {
        const uint8_t pid = at[0];
        const size_t wanted = std::min<size_t>(at[1] << 8 | at[2], kMaxSectionBytes - 4);
        Bytes section(at + 3, at + 3 + std::min<size_t>(wanted, end - at - 3));
        at += 3 + section.size();
        if (section.size() < 8 || section[0] == 0xFF) continue;  // a header, and no stuffing where it starts
        const size_t sectionLength = section.size() + 1;  // the bytes after the field, the CRC_32's four among them
        section[1] = static_cast<uint8_t>((section[1] & 0xF0) | sectionLength >> 8);
        section[2] = static_cast<uint8_t>(sectionLength);
        const uint32_t crc = Crc32Mpeg2(section.data(), section.size());
        for (int shift = 24; shift >= 0; shift -= 8) section.push_back(static_cast<uint8_t>(crc >> shift));
        Bytes packets(SectionPackets(section.size()) * kTsPacketBytes);
        const int sectionPid = pid == 0 ? kPatPid : pid == 1 ? kSdtPid : 0x100 + pid;
        const int count = PacketizeSection(section.data(), section.size(), sectionPid, counters[pid], packets.data());
        FUZZ_CHECK(count == SectionPackets(section.size()));
        sent.push_back(section);
        for (int i = 0; i < count; i++) feed(packets.data() + i * kTsPacketBytes);
    }
    FUZZ_CHECK(!sections || read == sent);
    return 0;
}
