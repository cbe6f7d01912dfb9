// Helpers shared by the MIME tests, the fuzz targets and the benchmark: byte conversions, short
// tree dumps and the structural invariants every parsed tree must satisfy.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/mime/mime.h"

namespace qy::mimetest {

inline ByteView view(std::string_view s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}
inline Bytes bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }
inline std::string text(ByteView b) { return std::string(b.begin(), b.end()); }

// "multipart/alternative{text/plain[212,480) text/html[555,9000)}": leaves show their body
// range, split multiparts their children.
inline std::string dump(const MIMEPart& part) {
  std::string out = part.type();
  if (part.children().empty()) {
    out += "[" + std::to_string(part.bodyRange().begin) + "," +
           std::to_string(part.bodyRange().end) + ")";
    return out;
  }
  out += "{";
  bool first = true;
  for (const auto& child : part.children()) {
    if (!first) out += " ";
    first = false;
    out += dump(*child);
  }
  out += "}";
  return out;
}

// An empty string when the part and its subtree keep every range invariant inside `range`,
// else a description of the first violation.
inline std::string invariantViolation(const MIMEPart& part, ByteRange range) {
  const ByteRange h = part.headerRange();
  const ByteRange b = part.bodyRange();
  if (h.begin != range.begin) return "header does not start the part";
  if (h.end < h.begin || h.end > b.begin) return "header ends after the body begins";
  if (b.end != range.end || b.begin > b.end) return "body does not end the part";
  for (const MIMEField& f : part.fields()) {
    if (f.raw.begin < h.begin || f.raw.end > h.end || f.raw.begin > f.raw.end) {
      return "field " + f.name + " outside the header";
    }
  }
  size_t previous = b.begin;
  for (const auto& child : part.children()) {
    const ByteRange c{child->headerRange().begin, child->bodyRange().end};
    if (c.begin < previous || c.end > b.end || c.begin > c.end) return "child out of order";
    std::string inner = invariantViolation(*child, c);
    if (!inner.empty()) return inner;
    previous = c.end;
  }
  return {};
}

}  // namespace qy::mimetest
