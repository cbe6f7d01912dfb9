// Signed and encrypted entities, and inline OpenPGP armor.
#include "core/mime/mime_security.h"

#include <vector>

namespace qy::MIME {
namespace {

// MIME::find()'s rule, without entering secured entities. Recursion is bounded by the parser's
// nesting limit.
const MIMEPart* findOpen(const MIMEPart& part, std::string_view type) {
  if (isSecuredType(part.type())) return nullptr;
  if (part.type() == type && part.disposition() != "attachment" && part.children().empty() &&
      !part.bodyRange().empty())
    return &part;
  if (part.type() == "message/rfc822") return nullptr;
  for (const auto& child : part.children()) {
    if (const MIMEPart* found = findOpen(*child, type)) return found;
  }
  return nullptr;
}

}  // namespace

bool isSecuredType(std::string_view type) {
  return type == "multipart/signed" || type == "multipart/encrypted" ||
         type.find("pkcs7") != std::string_view::npos;
}

const MIMEPart* findOpenTextPart(const MIMEPart& root) {
  if (const MIMEPart* html = findOpen(root, "text/html")) return html;
  return findOpen(root, "text/plain");
}

bool securedEntityBefore(const MIMEPart& root, const MIMEPart* body) {
  std::vector<const MIMEPart*> stack = {&root};
  while (!stack.empty()) {
    const MIMEPart* at = stack.back();
    stack.pop_back();
    if (at == body) return false;
    if (isSecuredType(at->type())) return true;
    if (at->type() == "message/rfc822") continue;
    const auto& children = at->children();
    for (auto child = children.rbegin(); child != children.rend(); ++child) stack.push_back(child->get());
  }
  return false;
}

bool holdsInlinePGP(std::string_view text) {
  static constexpr std::string_view kMarkers[] = {"-----BEGIN PGP SIGNED MESSAGE-----",
                                                  "-----BEGIN PGP MESSAGE-----"};
  for (std::string_view marker : kMarkers) {
    for (size_t at = text.find(marker); at != std::string_view::npos;
         at = text.find(marker, at + 1)) {
      if (at == 0) return true;
      const char before = text[at - 1];
      if (before == '\n' || before == '\r' || before == '>') return true;
    }
  }
  return false;
}

}  // namespace qy::MIME
