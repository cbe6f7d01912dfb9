// Which bodies the system must never rewrite: anything inside a signed or encrypted entity
// (multipart/signed, multipart/encrypted, S/MIME's pkcs7 types) at any depth, and text that
// carries inline OpenPGP armor. Rewriting either would break the signature, or "translate" cipher
// text, and a mail filter would write that into the mailbox for good.
//
// The body of a message that holds such an entity is chosen outside every one of them. When a
// signed or encrypted entity comes before that body, it is the message's main content (a list
// post: the signed message, then the list's footer part) and the message is left alone; a cover
// note before a signed attachment is still translated.
//
// The tree belongs to the caller (see mime_part.h). Pure functions; callable from any thread.
#pragma once

#include <string_view>

#include "core/mime/mime_part.h"

namespace qy::MIME {

// A type whose entity is signed or encrypted as a whole: multipart/signed, multipart/encrypted,
// or any type naming pkcs7 (application/pkcs7-mime, application/x-pkcs7-mime).
bool isSecuredType(std::string_view type);

// findTextPart() that never enters a signed or encrypted entity: the first eligible "text/html"
// part outside all of them, else the first eligible "text/plain" one, else nothing.
const MIMEPart* findOpenTextPart(const MIMEPart& root);

// Whether a signed or encrypted entity (the root included) comes before `body` in depth-first
// pre-order; with no body, whether the tree holds one at all. Attached messages are not entered.
bool securedEntityBefore(const MIMEPart& root, const MIMEPart* body);

// Whether a text holds inline OpenPGP armor: a line that begins with "-----BEGIN PGP SIGNED
// MESSAGE-----" or "-----BEGIN PGP MESSAGE-----". In HTML a line may also begin right after a
// tag ("<pre>-----BEGIN…", "<br>-----BEGIN…").
bool holdsInlinePGP(std::string_view text);

}  // namespace qy::MIME
