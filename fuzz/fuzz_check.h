// An invariant a fuzz target asserts. It aborts, so libFuzzer keeps the input
// that broke it, whatever the build's NDEBUG says.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition) \
    ((condition) ? void() : (fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition), abort()))
