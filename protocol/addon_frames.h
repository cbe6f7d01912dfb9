// Frames from the native host to Thunderbird's add-on. Thunderbird refuses a frame larger than
// 1 MiB from a native host, so a larger answer goes out as numbered pieces:
//   {"seq": S, "piece": i, "pieces": N, "text": "…"}
// The texts of pieces 0 … N-1 of one seq, joined, are the answer's JSON text; S is unique per
// answer, so pieces of different answers could interleave. Each text is cut at a UTF-8 character
// boundary. Pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qy::protocol {

// The largest frame body Thunderbird accepts from a native host.
inline constexpr size_t kMaxAddonFrameSize = size_t{1} << 20;

// The frames (each with its 4-byte little-endian length) that carry `json`, one JSON object's
// valid UTF-8 text: the text itself when it fits in `maxBody`, else its pieces under `seq`.
std::vector<std::string> addonFrames(std::string_view json, uint64_t seq,
                                     size_t maxBody = kMaxAddonFrameSize);

}  // namespace qy::protocol
