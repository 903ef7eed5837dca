#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "ingest/program_choice.h"
#include "ts/psi.h"

namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::string_literals;

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

Bytes Slice(const Bytes& bytes, size_t from, size_t to) { return Bytes(bytes.begin() + from, bytes.begin() + to); }

// A section with the long header, section 0 of 0, and its CRC_32 (Crc32Mpeg2, checked against the published value).
Bytes Section(uint8_t tableId, uint16_t extension, const Bytes& body, int version = 1, bool current = true) {
    const size_t length = 5 + body.size() + 4;
    Bytes s = Cat({{tableId, uint8_t(0xB0 | length >> 8), uint8_t(length), uint8_t(extension >> 8), uint8_t(extension),
                    uint8_t(0xC0 | version << 1 | current), 0, 0},
                   body});
    const uint32_t crc = Crc32Mpeg2(s.data(), s.size());
    return Cat({s, {uint8_t(crc >> 24), uint8_t(crc >> 16), uint8_t(crc >> 8), uint8_t(crc)}});
}

// A payload-only packet, its payload stuffed to the end with 0xFF.
Bytes Packet(int counter, bool pusi, const Bytes& payload) {
    Bytes packet = Cat({{kTsSyncByte, uint8_t(pusi << 6 | 0x01), 0x00, uint8_t(0x10 | counter)}, payload});
    packet.resize(kTsPacketBytes, 0xFF);
    return packet;
}

const Bytes kA = Section(0x00, 1, {0, 1, 0xE1, 0x00});
const Bytes kB = Section(0x00, 2, {0, 2, 0xE2, 0x00});
const Bytes kLong = Section(0x02, 1, Bytes(400, 0x5A));  // 412 bytes: 183 + 184 + 45 in packets

// The sections one reader passes on, by name, then "bad N" for those it counted as corrupt.
std::string Read(const std::vector<Bytes>& packets) {
    SectionReader reader;
    std::ostringstream out;
    for (const Bytes& packet : packets) {
        reader.Feed(TsPacket{packet.data()}, [&](const uint8_t* section, size_t bytes) {
            const Bytes got(section, section + bytes);
            out << (out.tellp() > 0 ? " " : "") << (got == kA ? "A" : got == kB ? "B" : got == kLong ? "L" : "?");
        });
    }
    if (reader.badSections() > 0) out << (out.tellp() > 0 ? " " : "") << "bad " << reader.badSections();
    return out.str();
}

TEST(Crc32Mpeg2, ThePublishedCheckValue) {
    EXPECT_EQ(Crc32Mpeg2(reinterpret_cast<const uint8_t*>("123456789"), 9), 0x0376E6E7u);
}

TEST(SectionReader, Reassembly) {
    const struct { const char* what; std::vector<Bytes> packets; const char* sections; } rows[] = {
        {"two in one packet", {Packet(0, true, Cat({{0}, kA, kB}))}, "A B"},
        {"over three packets: a tail, stuffing, then where the pointer_field points",
         {Packet(0, true, Cat({{0}, Slice(kLong, 0, 183)})), Packet(1, false, Slice(kLong, 183, 367)),
          Packet(2, true, Cat({{48}, Slice(kLong, 367, 412), {0xFF, 0xFF, 0xFF}, kA}))}, "L A"},
        {"a header split across packets",
         {Packet(0, true, Cat({{181}, Bytes(181, 0x5A), Slice(kA, 0, 2)})), Packet(1, false, Slice(kA, 2, 16))}, "A"},
        {"a bad CRC counted, the next section read",
         {Packet(0, true, Cat({{0}, Slice(kA, 0, 15), {uint8_t(kA[15] ^ 1)}, kB}))}, "B bad 1"},
        {"a section_length too long to buffer", {Packet(0, true, {0, 0x02, 0xB5, 0xDC})}, "bad 1"},
        {"a packet without a start before any start", {Packet(5, false, kA), Packet(6, true, Cat({{0}, kB}))}, "B"},
        {"a section cut short by the next start",
         {Packet(0, true, Cat({{0}, Slice(kLong, 0, 183)})), Packet(1, true, Cat({{0}, kA}))}, "A"},
        // The lost packet held kLong's end and the start of a second kLong: without the break,
        // the second's bytes would complete the first.
        {"a lost packet drops the section in progress",
         {Packet(0, true, Cat({{0}, Slice(kLong, 0, 183)})), Packet(1, false, Slice(kLong, 183, 367)),
          Packet(3, false, Slice(kLong, 138, 322)), Packet(4, false, Slice(kLong, 322, 412)),
          Packet(5, true, Cat({{0}, kA}))}, "A"},
    };
    for (const auto& row : rows) EXPECT_EQ(Read(row.packets), row.sections) << row.what;
}

std::string Describe(const std::optional<Pat>& pat) {
    if (!pat) return "none";
    std::ostringstream out;
    out << std::hex << "ts 0x" << pat->transportStreamId << " v" << int{pat->version} << ":";
    for (int i = 0; i < pat->count; i++) out << " " << pat->programs[i].number << ">0x" << pat->programs[i].pmtPid;
    return out.str();
}

std::string Describe(const std::optional<Pmt>& pmt) {
    if (!pmt) return "none";
    std::ostringstream out;
    out << std::hex << "program " << pmt->number << " v" << int{pmt->version} << " pcr 0x" << pmt->pcrPid << ":";
    for (int i = 0; i < pmt->count; i++) out << " 0x" << pmt->streams[i].pid << " " << pmt->streams[i].codec;
    return out.str();
}

TEST(ProgramTables, PatAndPmt) {
    const Bytes pat = Section(0x00, 0x1234, {0, 0, 0xE0, 0x10, 0, 1, 0xE1, 0x00, 0, 2, 0xE2, 0x00}, 3);
    const Bytes pmt = Section(0x02, 7, {0xE1, 0x00, 0xF0, 6, 0x09, 4, 0x0B, 0x00, 0xE7, 0xFF,  // CA descriptor
                                        0x1B, 0xE1, 0x00, 0xF0, 0,                             // H.264
                                        0x06, 0xE1, 0x01, 0xF0, 9, 0x0A, 4, 'd', 'e', 'u', 0, 0x6A, 1, 0,  // AC-3
                                        0x06, 0xE1, 0x02, 0xF0, 2, 0x56, 0},                   // teletext
                              2);
    const struct { const char* what; Bytes section; std::string pat, pmt; } rows[] = {
        {"a PAT, the NIT entry first", pat, "ts 0x1234 v3: 0>0x10 1>0x100 2>0x200", "none"},
        {"not current yet", Section(0x00, 1, {0, 1, 0xE1, 0x00}, 4, false), "none", "none"},
        {"a PAT of section 1", [&] { Bytes s = pat; s[6] = 1; return s; }(), "none", "none"},
        {"a part entry", Section(0x00, 1, {0, 1, 0xE1}), "none", "none"},
        {"a PMT", pmt, "none", "program 7 v2 pcr 0x100: 0x100 h264 0x101 ac3 0x102 other"},
        {"program_info_length past the end", Section(0x02, 7, {0xE1, 0x00, 0xFF, 0xFF}), "none", "none"},
    };  // An ES_info_length past the end: the table fuzz target's seed pmt-lengths-past-the-end, under ASan.
    for (const auto& row : rows) {
        EXPECT_EQ(Describe(ParsePat(row.section.data(), row.section.size())), row.pat) << row.what;
        EXPECT_EQ(Describe(ParsePmt(row.section.data(), row.section.size())), row.pmt) << row.what;
    }
}

TEST(ProgramTables, StreamClasses) {
    const struct { uint8_t streamType; Bytes descriptors; std::string expected; } rows[] = {
        {0x1B, {}, "video h264"}, {0x81, {}, "audio ac3"}, {0x86, {}, "other other"},  // SCTE-35 cues
        {0x06, {0x0A, 4, 'e', 'n', 'g', 0, 0x6A, 0}, "audio ac3"},  // AC-3 after a language descriptor
        {0x06, {0x7B, 0}, "audio dts"}, {0x06, {0x59, 0}, "other other"},  // DTS; subtitles
        {0x06, {0x05, 4, 'O', 'p', 'u', 's'}, "audio opus"}, {0x06, {0x05, 4, 'H', 'E', 'V', 'C'}, "video hevc"},
        {0x06, {0x05, 3, 'A', 'C', '-', '3'}, "other other"},  // too short to name one; '3' the next tag
        {0x06, {0x6A, 2, 0}, "other other"},                   // a descriptor running past the loop
        {0x1B, {0x05, 4, 'A', 'C', '-', '3'}, "video h264"},  // a stream_type that names the codec wins
    };
    for (const auto& row : rows) {
        const StreamCodec got = ClassifyStream(row.streamType, row.descriptors.data(), row.descriptors.size());
        const char* kind =
            got.kind == StreamClass::kVideo ? "video" : got.kind == StreamClass::kAudio ? "audio" : "other";
        EXPECT_EQ(kind + " "s + got.codec, row.expected) << std::hex << int{row.streamType};
    }
}

struct Program { uint16_t number, pmtPid; std::vector<ElementaryStream> streams; bool read = true; };
ElementaryStream V(uint16_t pid) { return {pid, 0x1B, StreamClass::kVideo, "h264"}; }
ElementaryStream A(uint16_t pid) { return {pid, 0x0F, StreamClass::kAudio, "aac"}; }
ElementaryStream O(uint16_t pid) { return {pid, 0x06, StreamClass::kOther, "other"}; }  // teletext, say
const Program kNit{0, 0x10, {}, false};

std::string Choose(const std::vector<Program>& programs, std::optional<int> namedPid) {
    Pat pat{1, 0, 0, {}};
    std::vector<Pmt> pmts(programs.size());
    std::vector<const Pmt*> read;
    for (const Program& p : programs) {
        pmts[pat.count] = {p.number, 0, 0, static_cast<int>(p.streams.size()), {}};
        std::copy(p.streams.begin(), p.streams.end(), pmts[pat.count].streams);
        read.push_back(p.read ? &pmts[pat.count] : nullptr);
        pat.programs[pat.count++] = {p.number, p.pmtPid};
    }
    ProgramChoice c{};
    const ChoiceState state = ChooseProgram(pat, read.data(), namedPid, c);
    if (state != ChoiceState::kChosen) return state == ChoiceState::kWaiting ? "waiting" : "no program";
    std::ostringstream out;
    out << "#" << c.patIndex << " program " << c.number << std::hex << " pmt 0x" << c.pmtPid << " cut 0x" << c.cutPid
        << (c.radio ? " radio" : "");
    return out.str();
}

TEST(ProgramChoice, Rules) {
    const Program radio{101, 0x100, {O(0x103), A(0x101)}}, tv{102, 0x200, {O(0x203), V(0x201), A(0x202)}};
    const Program tv2{103, 0x300, {V(0x301), V(0x302)}}, data{104, 0x400, {O(0x401), O(0x402)}};
    const struct { const char* what; std::vector<Program> programs; std::optional<int> namedPid; std::string choice; }
        rows[] = {
        // A program named by its video, and the first with video past a NIT entry: the multiplex end-to-end runs.
        {"a named audio PID: cut on the program's video", {kNit, radio, tv, tv2}, 0x202,
         "#2 program 102 pmt 0x200 cut 0x201"},
        {"a named second video is cut on", {kNit, radio, tv, tv2}, 0x302, "#3 program 103 pmt 0x300 cut 0x302"},
        {"no video: the first with audio", {kNit, data, radio}, {}, "#2 program 101 pmt 0x100 cut 0x101 radio"},
        {"a PMT unread before the match", {kNit, {101, 0x100, {}, false}, tv}, {}, "waiting"},
        {"a PMT unread after the match", {kNit, tv, {103, 0x300, {}, false}}, {}, "#1 program 102 pmt 0x200 cut 0x201"},
        {"a named PID in no program", {kNit, radio, tv}, 0x999, "no program"},
        {"a named stream of neither kind, alone", {kNit, data}, 0x402, "#1 program 104 pmt 0x400 cut 0x402 radio"},
        {"no video or audio anywhere", {kNit, data}, {}, "no program"},
    };
    for (const auto& row : rows) EXPECT_EQ(Choose(row.programs, row.namedPid), row.choice) << row.what;
}

// PacketizeSection, and the relay's tables read back, are checked over the fuzz corpus (fuzz/psi_fuzzer.cpp).
TEST(PatRewrite, ExactPacket) {
    uint8_t packet[kTsPacketBytes];
    WriteSingleProgramPat(packet, 1, 0, 1, 0x1000, 0);
    // The PAT ffmpeg writes for its one program, whose CRC_32 is widely published: 2A B1 04 B2.
    Bytes expected = {0x47, 0x40, 0x00, 0x10, 0x00, 0x00, 0xB0, 0x0D, 0x00, 0x01, 0xC1, 0x00, 0x00,
                      0x00, 0x01, 0xF0, 0x00, 0x2A, 0xB1, 0x04, 0xB2};
    expected.resize(kTsPacketBytes, 0xFF);
    EXPECT_EQ(Bytes(packet, packet + kTsPacketBytes), expected);
    WriteSingleProgramPat(packet, 0xABCD, 31, 0x0102, 0x1FFE, 5);  // every bit of each field
    EXPECT_EQ(Describe(ParsePat(packet + 5, 16)), "ts 0xabcd v1f: 102>0x1ffe");
    EXPECT_EQ(Crc32Mpeg2(packet + 5, 16), 0u);
}

Bytes Service(uint16_t id, const std::string& name) {
    const Bytes text(name.begin(), name.end());
    return Cat({{uint8_t(id >> 8), uint8_t(id), 0xFC, 0x80, uint8_t(5 + text.size()), 0x48, uint8_t(3 + text.size()),
                 0x01, 0, uint8_t(text.size())},
                text});
}

TEST(ServiceName, FromTheSdt) {
    const Bytes network = {0x00, 0x01, 0xFF};  // original_network_id, reserved
    const Bytes sdt = Section(0x42, 1, Cat({network, Service(1, "\x05ZDF"), Service(2, "\x15" "Das Erste HD"),
                                           Service(3, "\x10\x00\x02\x86Radio\x87 Eins\x8A"s), Service(4, "T\xE9l\xE9"),
                                           Service(5, "\x15T\xC3\xA9l\xC3\xA9"), Service(7, "\x1F\x41RTL")}));
    Bytes overrun = Service(1, "ZDF");
    overrun[4] += 4;  // descriptors_loop_length over the CRC_32
    // A name longer than the buffer is cut and terminated: the table fuzz target's seed sdt-name-too-long.
    const struct { const char* what; Bytes section; uint16_t number; std::string name; } rows[] = {
        {"a one-byte table", sdt, 1, "ZDF"},
        {"UTF-8, second in the loop", sdt, 2, "Das Erste HD"},
        {"a three-byte table, emphasis and a line break", sdt, 3, "Radio Eins"},
        {"outside ASCII, default table", sdt, 4, "T?l?"},
        {"outside ASCII, UTF-8", sdt, 5, "T?l?"},
        {"an encoding_type_id after 0x1F", sdt, 7, "RTL"},
        {"no such service", sdt, 8, "none"},
        {"the SDT of another stream", Section(0x46, 1, Cat({network, Service(1, "ZDF")})), 1, "none"},
        {"a loop past the section", Section(0x42, 1, Cat({network, overrun})), 1, "none"},
    };
    for (const auto& row : rows) {
        char name[kServiceNameBytes] = "unchanged";
        const bool found = ReadServiceName(row.section.data(), row.section.size(), row.number, name);
        EXPECT_EQ(found ? std::string(name) : "none", row.name) << row.what;
    }
}

}  // namespace
