// The calls of the coverage-guided search: the engine's bytes decoded into a call of the
// game's grammar, the script's seeds encoded as the engine's first inputs, and the words of its
// dictionary. Pure: no extension is called here.
//
// Bytes: [seed][mode] then fields split at NUL bytes. The seed byte picks a seed (modulo their
// number). Mode bit 0: the first field is the function text. Mode bit 1: the decoded call is
// also given one variant of the blind search's (a chain of them: the bytes seed its
// generator), which reaches the grammar's edges and the output buffer's size. The remaining
// fields, when any, replace the seed's arguments: `n` + digits a number, `b` + `true` a
// boolean (else false), `z` nil, `s` + text a string; a field starting otherwise is a string.
// Line ends and NUL bytes are dropped from every text.
#ifndef INVOKEMODULE_FUZZMODE_GUIDED_CALLS_H_
#define INVOKEMODULE_FUZZMODE_GUIDED_CALLS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzzmode/search_calls.h"

// The call the bytes stand for (`seeds` not empty).
SearchCall decodeGuidedCall(const std::uint8_t* data, std::size_t size, const std::vector<SearchCall>& seeds,
                            const std::vector<std::string>& functions, std::size_t outputSize);

// The bytes that decode to seed number `index` as it stands (arrays among its items become nil).
std::string encodeGuidedSeed(std::size_t index, const SearchCall& seed);

// The dictionary entries in libFuzzer's format: the seeds' function texts and string items.
std::string guidedDictionary(const std::vector<SearchCall>& seeds);

#endif  // INVOKEMODULE_FUZZMODE_GUIDED_CALLS_H_
