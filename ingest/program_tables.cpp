#include "ingest/program_tables.h"

#include <cstring>

namespace {

// Tables a source repeats right before its keyframes, so a segment cut there begins with them.
constexpr uint8_t kPassedTable = kPidRead | kPidTableRun;

std::string Hex(int pid) {
    char text[16];
    snprintf(text, sizeof text, "0x%x", pid);
    return text;
}

const char* KindName(StreamClass kind) {
    switch (kind) {
        case StreamClass::kVideo: return "video";
        case StreamClass::kAudio: return "audio";
        case StreamClass::kOther: return "other";
    }
    return "other";
}

std::string DescribeStreams(const Pmt& pmt) {
    std::string text;
    for (int i = 0; i < pmt.count; i++) {
        const ElementaryStream& s = pmt.streams[i];
        if (i) text += ", ";
        text += Hex(s.pid) + " " + s.codec + " " + KindName(s.kind);
    }
    return text.empty() ? "none" : text;
}

bool SamePmt(const Pmt& a, const Pmt& b) {
    if (a.number != b.number || a.version != b.version || a.pcrPid != b.pcrPid || a.count != b.count) return false;
    for (int i = 0; i < a.count; i++) {
        if (a.streams[i].pid != b.streams[i].pid || a.streams[i].streamType != b.streams[i].streamType) return false;
    }
    return true;
}

}  // namespace

void ProgramTables::Section::Keep(const uint8_t* section, size_t sectionBytes) {
    length = std::min(sectionBytes, bytes.size());
    memcpy(bytes.data(), section, length);
}

ProgramTables::ProgramTables(std::optional<int> namedPid) : namedPid(namedPid) { pmtReaderPids.fill(-1); }

void ProgramTables::Start(TsScanState& scan, int cutPid) {
    scan.cutPid = cutPid;
    ApplyFlags(scan);
}

bool ProgramTables::Feed(TsPacket packet, TsScanState& scan) {
    const int pid = packet.pid();
    SectionReader* reader = pid == kPatPid ? &patReader : pid == kSdtPid ? &sdtReader : nullptr;
    for (int i = 0; !reader && i < kMaxPrograms; i++) {
        if (pmtReaderPids[i] == pid) reader = &pmtReaders[i];
    }
    if (!reader) return false;
    const bool sdt = pid == kSdtPid;
    reader->Feed(packet, [&](const uint8_t* section, size_t bytes) { OnSection(section, bytes, sdt); });
    bool changed = false;
    if (choiceOpen) Choose(scan, changed);
    return changed;
}

void ProgramTables::OnSection(const uint8_t* section, size_t bytes, bool sdt) {
    if (sdt) {
        sdtSection.Keep(section, bytes);
        char name[kServiceNameBytes] = "";
        if (state == ChoiceState::kChosen && ReadServiceName(section, bytes, choice.number, name) &&
            strcmp(name, serviceName) != 0) {
            choiceOpen = true;
        }
    } else if (const std::optional<Pat> next = ParsePat(section, bytes)) {
        OnPat(*next);
    } else if (const std::optional<Pmt> pmt = ParsePmt(section, bytes)) {
        for (int i = 0; pat && i < pat->count; i++) {
            if (pat->programs[i].number != pmt->number) continue;
            pmtSections[i].Keep(section, bytes);
            if (!pmts[i] || !SamePmt(*pmts[i], *pmt)) choiceOpen = true;
            pmts[i] = pmt;
        }
    }
}

// A program whose entry is unchanged keeps its PMT; the others wait for theirs.
void ProgramTables::OnPat(const Pat& next) {
    if (pat && pat->version == next.version && pat->count == next.count &&
        memcmp(pat->programs, next.programs, sizeof(ProgramEntry) * next.count) == 0) {
        return;
    }
    std::array<std::optional<Pmt>, kMaxPrograms> kept{};
    std::array<Section, kMaxPrograms> keptSections{};
    for (int i = 0; i < next.count; i++) {
        for (int j = 0; pat && j < pat->count; j++) {
            if (memcmp(&pat->programs[j], &next.programs[i], sizeof(ProgramEntry)) != 0) continue;
            kept[i] = pmts[j];
            keptSections[i] = pmtSections[j];
        }
    }
    // The program served keeps being served from its new place in the PAT
    // until the choice is made again, which may wait for other PMTs.
    if (state == ChoiceState::kChosen) {
        int moved = -1;
        for (int i = 0; i < next.count && moved < 0; i++) {
            if (next.programs[i].number == choice.number && next.programs[i].pmtPid == choice.pmtPid) moved = i;
        }
        if (moved < 0) state = ChoiceState::kWaiting;
        choice.patIndex = moved;
    }
    pmts = kept;
    pmtSections = keptSections;
    pat = next;
    std::array<int, kMaxPrograms> previousPids = pmtReaderPids;
    pmtReaderPids.fill(-1);
    for (int i = 0; i < next.count; i++) {
        if (next.programs[i].number == 0) continue;  // the NIT, not a program
        const int pid = next.programs[i].pmtPid;
        bool listed = false;
        for (int j = 0; j < i; j++) listed |= pmtReaderPids[j] == pid;
        if (listed) continue;
        // A reader half way through a section of its PID goes on with it.
        for (int j = 0; j < kMaxPrograms; j++) {
            if (previousPids[j] == pid && j != i) std::swap(pmtReaders[i], pmtReaders[j]), previousPids[j] = -1;
        }
        pmtReaderPids[i] = pid;
    }
    choiceOpen = true;
}

void ProgramTables::Choose(TsScanState& scan, bool& changed) {
    choiceOpen = false;
    if (!pat) return;
    const Pmt* parsed[kMaxPrograms] = {};
    for (int i = 0; i < pat->count; i++) parsed[i] = pmts[i] ? &*pmts[i] : nullptr;
    ProgramChoice next{};
    const ChoiceState nextState = ChooseProgram(*pat, parsed, namedPid, next);
    if (nextState == ChoiceState::kWaiting) {
        ApplyFlags(scan);  // the PMT PIDs of a new PAT are read meanwhile
        return;
    }
    // Anything besides that one program, a NIT entry in the PAT too, and the relay writes its own tables.
    const bool nextOwn = nextState == ChoiceState::kChosen && pat->count > 1;
    char name[kServiceNameBytes] = "";
    if (nextState == ChoiceState::kChosen && sdtSection.length) {
        ReadServiceName(sdtSection.bytes.data(), sdtSection.length, next.number, name);
    }
    changed = nextState != state || nextOwn != ownTables || strcmp(name, serviceName) != 0 ||
              (nextState == ChoiceState::kChosen &&
               (next.patIndex != choice.patIndex || next.cutPid != choice.cutPid || !ChosenPmt() ||
                !SamePmt(*ChosenPmt(), *pmts[next.patIndex])));
    state = nextState;
    ownTables = nextOwn;
    memcpy(serviceName, name, sizeof name);
    if (state == ChoiceState::kChosen) {
        choice = next;
        if (scan.cutPid != choice.cutPid) {
            scan.cutPid = choice.cutPid;
            scan.expectedCounter = -1;
            scan.clock.started = false;
        }
        const Pmt& pmt = *pmts[choice.patIndex];
        scan.cutIsAudio = false;
        for (int i = 0; i < pmt.count; i++) {
            if (pmt.streams[i].pid == choice.cutPid) scan.cutIsAudio = pmt.streams[i].kind == StreamClass::kAudio;
        }
    }
    ApplyFlags(scan);
}

const Pmt* ProgramTables::ChosenPmt() const {
    return state == ChoiceState::kChosen && pmts[choice.patIndex] ? &*pmts[choice.patIndex] : nullptr;
}

void ProgramTables::ApplyFlags(TsScanState& scan) const {
    const Pmt* chosen = ChosenPmt();
    const bool alone = ownTables && chosen;
    scan.pidFlags.fill(alone ? kPidDrop : 0);
    scan.pidFlags[kPatPid] = alone ? kPidRead | kPidDrop | kPidOwnTables : kPassedTable;
    scan.pidFlags[kSdtPid] = alone ? kPidRead | kPidDrop : kPidRead;
    for (int pid : pmtReaderPids) {
        if (pid >= 0) scan.pidFlags[pid] = alone ? kPidRead | kPidDrop : kPassedTable;
    }
    if (!alone) return;
    scan.pidFlags[chosen->pcrPid] = 0;
    for (int i = 0; i < chosen->count; i++) scan.pidFlags[chosen->streams[i].pid] = 0;
}

int ProgramTables::WriteOwnTables(uint8_t* out) {
    if (!ownTables || state != ChoiceState::kChosen) return 0;
    WriteSingleProgramPat(out, pat->transportStreamId, pat->version, choice.number, choice.pmtPid, patCounter);
    patCounter = (patCounter + 1) & 0x0F;
    const Section& pmt = pmtSections[choice.patIndex];
    const int pmtPackets = PacketizeSection(pmt.bytes.data(), pmt.length, choice.pmtPid, pmtCounter, out + kTsPacketBytes);
    return (1 + pmtPackets) * kTsPacketBytes;
}

std::string ProgramTables::Describe() const {
    if (state == ChoiceState::kNoProgram) {
        const std::string wanted = namedPid ? "with PID " + Hex(*namedPid) : std::string("with video or audio");
        return "The tables list no program " + wanted + "; all of the stream is passed on: " + DescribeAll();
    }
    const Pmt& pmt = *pmts[choice.patIndex];
    std::string text = "Program " + std::to_string(choice.number);
    if (serviceName[0]) text += std::string(" (\"") + serviceName + "\")";
    int programs = 0;
    for (int i = 0; i < pat->count; i++) programs += pat->programs[i].number != 0;
    text += ", 1 of " + std::to_string(programs) + ": PMT PID " + Hex(choice.pmtPid) + ", PCR PID " +
            Hex(pmt.pcrPid) + ", streams " + DescribeStreams(pmt) + "; segments cut on " + Hex(choice.cutPid);
    if (choice.radio) text += " (radio)";
    text += ownTables ? "; this program alone is passed on, under the relay's own PAT" : "; passed on as it comes";
    return text;
}

std::string ProgramTables::DescribeAll() const {
    if (!pat) return "no program tables seen";
    std::string text;
    for (int i = 0; i < pat->count; i++) {
        if (pat->programs[i].number == 0) continue;
        if (!text.empty()) text += "; ";
        text += "program " + std::to_string(pat->programs[i].number) + ": " +
                (pmts[i] ? DescribeStreams(*pmts[i]) : std::string("PMT not seen"));
    }
    return text.empty() ? "the PAT lists no program" : text;
}

StreamInfo ProgramTables::Info() const {
    StreamInfo info;
    const Pmt* pmt = ChosenPmt();
    if (!pmt) return info;
    info.program = choice.number;
    info.serviceName = serviceName;
    for (int i = pmt->count - 1; i >= 0; i--) {
        const ElementaryStream& s = pmt->streams[i];
        if (s.kind == StreamClass::kVideo) info.videoPid = s.pid, info.videoCodec = s.codec;
        if (s.kind == StreamClass::kAudio) info.audioPid = s.pid, info.audioCodec = s.codec;
    }
    return info;
}

uint64_t ProgramTables::BadSections() const {
    uint64_t bad = patReader.badSections() + sdtReader.badSections();
    for (const SectionReader& reader : pmtReaders) bad += reader.badSections();
    return bad;
}
