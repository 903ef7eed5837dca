// The program tables as the receive thread follows them: which program the
// relay serves, which PID cuts its segments, and what the scan passes on:
// a single-program stream as it comes, anything more as that one program
// alone, under the relay's own PAT and the program's PMT.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "counters/counters.h"
#include "ingest/program_choice.h"
#include "ts/psi.h"
#include "ts/ts_scan.h"

// The relay's own PAT and a PMT of the longest size: what a segment begins with.
inline constexpr int kMaxOwnTableBytes = (1 + SectionPackets(kMaxSectionBytes)) * kTsPacketBytes;

class ProgramTables {
public:
    // namedPid: the PID the client named, if any; it cuts until the tables say otherwise.
    explicit ProgramTables(std::optional<int> namedPid);

    // Sets the scan up for the tables' PIDs, before the first datagram.
    void Start(TsScanState& scan, int cutPid);
    // A packet of a table PID. Returns true when what the tables say of the
    // program served changed: Describe() says it. May change the scan's cut
    // PID and PID flags.
    bool Feed(TsPacket packet, TsScanState& scan);
    // The relay's own PAT and the program's PMT, each continuity counter one
    // on; none (0 bytes) while the source's own tables pass as they are.
    int WriteOwnTables(uint8_t* out);

    // One log line: the program, its service name, PIDs and stream types.
    std::string Describe() const;
    // Every program the tables list, with its streams: for a PID that cuts nothing.
    std::string DescribeAll() const;
    StreamInfo Info() const;
    uint64_t BadSections() const;

private:
    struct Section {
        std::array<uint8_t, kMaxSectionBytes> bytes;
        size_t length = 0;  // 0: none read yet
        void Keep(const uint8_t* section, size_t sectionBytes);
    };

    void OnSection(const uint8_t* section, size_t bytes, bool sdt);
    void OnPat(const Pat& next);
    void Choose(TsScanState& scan, bool& changed);
    void ApplyFlags(TsScanState& scan) const;
    const Pmt* ChosenPmt() const;

    const std::optional<int> namedPid;
    SectionReader patReader, sdtReader;
    // A reader for each PMT PID the PAT names; -1: none.
    std::array<int, kMaxPrograms> pmtReaderPids;
    std::array<SectionReader, kMaxPrograms> pmtReaders;
    std::optional<Pat> pat;
    // By index into pat->programs: each program's PMT, parsed and as received (re-sent as the relay's own).
    std::array<std::optional<Pmt>, kMaxPrograms> pmts{};
    std::array<Section, kMaxPrograms> pmtSections{};
    Section sdtSection;  // the latest, read for the name once a program is chosen
    bool choiceOpen = false;  // a table changed since the last choice
    ChoiceState state = ChoiceState::kWaiting;
    ProgramChoice choice{};
    bool ownTables = false;  // the stream carries more than the program served
    char serviceName[kServiceNameBytes] = "";
    int patCounter = 0, pmtCounter = 0;  // continuity counters of the relay's own tables
};
