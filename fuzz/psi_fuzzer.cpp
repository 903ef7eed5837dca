// The program tables from transport packets. Input: a mode byte, the PID the
// client names (2 bytes, big-endian; above 0x1FFF: none) and a service_id
// (2 bytes) to look up, then
//   mode even: 188-byte packets, each fed to the reader of its PID (PAT, SDT,
//              one reader for every other PID);
//   mode odd:  sections, each a PID byte (0: PAT, 1: SDT, else a PMT's), a
//              2-byte length and that many bytes, given the section_length and
//              CRC_32 that fit them, sent through PacketizeSection and fed the
//              same way: each must come back whole. Random packets almost never
//              carry a CRC_32 that holds; this way the parsers get deep inputs.
// Each section passed on must have a CRC_32 that holds, and is parsed from a
// buffer exactly its length, so a read past it is an ASan report. Parsed counts
// stay within their arrays, a service name is printable and terminated, and a
// chosen program's cut PID and named PID are streams of its PMT.
#include <algorithm>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "ingest/program_choice.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Tables {
    std::optional<int> namedPid;
    uint16_t serviceId = 0;
    std::optional<Pat> pat;
    Pmt pmts[kMaxPrograms];
    const Pmt* read[kMaxPrograms] = {};
    SectionReader readers[3];
    std::vector<Bytes> passedOn;

    static int ReaderOf(int pid) { return pid == kPatPid ? 0 : pid == kSdtPid ? 1 : 2; }

    void Feed(const uint8_t* packet) {
        readers[ReaderOf(TsPacket{packet}.pid())].Feed(TsPacket{packet}, [&](const uint8_t* section, size_t bytes) {
            Read(Bytes(section, section + bytes));
        });
    }

    void Read(const Bytes& section) {
        passedOn.push_back(section);
        FUZZ_CHECK(section.size() <= kMaxSectionBytes && Crc32Mpeg2(section.data(), section.size()) == 0);
        if (const std::optional<Pat> p = ParsePat(section.data(), section.size())) {
            FUZZ_CHECK(p->count >= 0 && p->count <= kMaxPrograms);
            pat = p;
            std::fill(std::begin(read), std::end(read), nullptr);
        }
        if (const std::optional<Pmt> p = ParsePmt(section.data(), section.size())) {
            FUZZ_CHECK(p->count >= 0 && p->count <= kMaxProgramStreams);
            for (int i = 0; pat && i < pat->count; i++) {
                if (pat->programs[i].number == p->number) pmts[i] = *p, read[i] = &pmts[i];
            }
        }
        char name[kServiceNameBytes];
        if (ReadServiceName(section.data(), section.size(), serviceId, name)) {
            const char* end = std::find(name, name + kServiceNameBytes, '\0');
            FUZZ_CHECK(end < name + kServiceNameBytes);
            FUZZ_CHECK(std::all_of(static_cast<const char*>(name), end, [](char c) { return c >= 0x20 && c < 0x7F; }));
        }
        if (pat) CheckChoice();
    }

    // The cut PID, and the named one, are streams of the chosen program, which is a program's.
    void CheckChoice() {
        ProgramChoice choice;
        if (ChooseProgram(*pat, read, namedPid, choice) != ChoiceState::kChosen) return;
        const Pmt* pmt = read[choice.patIndex];
        FUZZ_CHECK(pmt && choice.number != 0 && pat->programs[choice.patIndex].number == choice.number);
        bool cutListed = false, namedListed = !namedPid, video = false;
        for (int i = 0; i < pmt->count; i++) {
            cutListed |= pmt->streams[i].pid == choice.cutPid;
            namedListed |= namedPid == pmt->streams[i].pid;
            video |= pmt->streams[i].kind == StreamClass::kVideo;
        }
        FUZZ_CHECK(cutListed && namedListed && choice.radio == !video);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr size_t kHeaderBytes = 5;
    if (size < kHeaderBytes) return 0;
    Tables tables;
    const int named = data[1] << 8 | data[2];
    if (named <= 0x1FFF) tables.namedPid = named;
    tables.serviceId = static_cast<uint16_t>(data[3] << 8 | data[4]);
    const bool sections = data[0] & 1;
    const uint8_t* at = data + kHeaderBytes;
    const uint8_t* end = data + size;
    while (!sections && end - at >= kTsPacketBytes) {
        const Bytes packet(at, at + kTsPacketBytes);
        tables.Feed(packet.data());
        at += kTsPacketBytes;
    }
    int counters[3] = {};  // per reader, as the relay keeps one per PID it writes
    while (sections && end - at >= 3) {
        const int pid = at[0] == 0 ? kPatPid : at[0] == 1 ? kSdtPid : 0x100 + at[0];
        const size_t wanted = std::min<size_t>(at[1] << 8 | at[2], kMaxSectionBytes - 4);
        Bytes section(at + 3, at + 3 + std::min<size_t>(wanted, end - at - 3));
        at += 3 + section.size();
        if (section.size() < 8 || section[0] == 0xFF) continue;  // a header, and no stuffing where it starts
        const size_t sectionLength = section.size() + 4 - 3;
        section[1] = static_cast<uint8_t>((section[1] & 0xF0) | sectionLength >> 8);
        section[2] = static_cast<uint8_t>(sectionLength);
        const uint32_t crc = Crc32Mpeg2(section.data(), section.size());
        for (int shift = 24; shift >= 0; shift -= 8) section.push_back(static_cast<uint8_t>(crc >> shift));
        Bytes packets(SectionPackets(section.size()) * kTsPacketBytes);
        int& counter = counters[Tables::ReaderOf(pid)];
        const int count = PacketizeSection(section.data(), section.size(), pid, counter, packets.data());
        FUZZ_CHECK(count == SectionPackets(section.size()));
        tables.passedOn.clear();
        for (int i = 0; i < count; i++) tables.Feed(packets.data() + i * kTsPacketBytes);
        FUZZ_CHECK(tables.passedOn.size() == 1 && tables.passedOn[0] == section);
    }
    return 0;
}
