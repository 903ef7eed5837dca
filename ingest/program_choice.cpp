#include "ingest/program_choice.h"

namespace {

const ElementaryStream* FirstStream(const Pmt& pmt, auto matches) {
    for (int i = 0; i < pmt.count; i++) {
        if (matches(pmt.streams[i])) return &pmt.streams[i];
    }
    return nullptr;
}

const ElementaryStream* FirstOfKind(const Pmt& pmt, StreamClass kind) {
    return FirstStream(pmt, [kind](const ElementaryStream& s) { return s.kind == kind; });
}

// The first program, in PAT order, whose PMT has a stream that matches; kWaiting at a PMT not yet read.
ChoiceState FirstProgram(const Pat& pat, const Pmt* const* pmts, auto matches, int& index) {
    for (int i = 0; i < pat.count; i++) {
        if (pat.programs[i].number == 0) continue;
        if (!pmts[i]) return ChoiceState::kWaiting;
        if (FirstStream(*pmts[i], matches)) {
            index = i;
            return ChoiceState::kChosen;
        }
    }
    return ChoiceState::kNoProgram;
}

}  // namespace

ChoiceState ChooseProgram(const Pat& pat, const Pmt* const* pmts, std::optional<int> namedPid, ProgramChoice& choice) {
    const auto named = [&](const ElementaryStream& s) { return namedPid && s.pid == *namedPid; };
    const auto video = [](const ElementaryStream& s) { return s.kind == StreamClass::kVideo; };
    const auto audio = [](const ElementaryStream& s) { return s.kind == StreamClass::kAudio; };
    int index = -1;
    ChoiceState state = namedPid ? FirstProgram(pat, pmts, named, index) : FirstProgram(pat, pmts, video, index);
    if (!namedPid && state == ChoiceState::kNoProgram) state = FirstProgram(pat, pmts, audio, index);
    if (state != ChoiceState::kChosen) return state;

    const Pmt& pmt = *pmts[index];
    const ElementaryStream* namedStream = FirstStream(pmt, named);
    const ElementaryStream* firstVideo = FirstOfKind(pmt, StreamClass::kVideo);
    const ElementaryStream* cut = namedStream && namedStream->kind == StreamClass::kVideo ? namedStream : firstVideo;
    if (!cut) cut = FirstOfKind(pmt, StreamClass::kAudio);
    if (!cut) cut = namedStream;
    choice = {index, pat.programs[index].number, pat.programs[index].pmtPid, cut->pid, firstVideo == nullptr};
    return state;
}
