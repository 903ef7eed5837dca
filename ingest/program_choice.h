// Which program of a multi-program stream the relay serves, and which of its
// streams the segments are cut on, from the PAT and the PMTs read so far.
#pragma once

#include <cstdint>
#include <optional>

#include "ts/psi.h"

struct ProgramChoice {
    int patIndex;  // into Pat::programs
    uint16_t number;
    uint16_t pmtPid;
    uint16_t cutPid;  // the stream whose PES starts the segments are cut at
    bool radio;       // no video: cut on audio
};
enum class ChoiceState { kWaiting, kChosen, kNoProgram };

// pmts[i]: the PMT of pat.programs[i] (same program number), or null while it
// has not been read. namedPid: the PID the client named, if any.
// Programs are tried in PAT order, the NIT entry (number 0) skipped. With a
// named PID, the first program whose PMT lists it as an elementary stream
// wins; with none, the first that carries video, else the first that carries
// audio. A PMT not yet read before the winner means kWaiting, so the choice
// never depends on which PMT happened to arrive first; kNoProgram once all
// are read and none qualifies. The cut PID is the named PID when that is
// video, else the program's first video stream, else its first audio, else
// (a named stream of neither kind) the named PID.
ChoiceState ChooseProgram(const Pat& pat, const Pmt* const* pmts, std::optional<int> namedPid, ProgramChoice& choice);
