// Joining the native host's numbered pieces back into one answer.
//
// Thunderbird refuses a frame larger than 1 MiB from a native host, so the host sends a larger
// answer as pieces: objects {"seq", "piece", "pieces", "text"} whose texts, joined in piece order,
// are the JSON text of the answer. Pieces of different answers may interleave; "seq" tells them
// apart. Used by the background page only.
"use strict";

// Answers in flight at once: each displayed message has at most a few; anything past this is a
// host that lost track of its pieces, and the oldest is dropped rather than held forever.
const kMaxPendingAnswers = 64;

function isPiece(frame) {
  return frame !== null && typeof frame === "object" && "pieces" in frame && !("id" in frame);
}

class PieceJoiner {
  constructor() {
    this.pending = new Map();  // seq -> {count, texts[], received}
  }

  // Takes one piece; returns the joined answer when this piece completes it, else null. A piece
  // that does not fit (bad numbers, a count that changes) discards its answer.
  add(frame) {
    const { seq, piece, pieces, text } = frame;
    if (!Number.isInteger(piece) || !Number.isInteger(pieces) || pieces < 1 ||
        piece < 0 || piece >= pieces || typeof text !== "string") {
      this.pending.delete(seq);
      return null;
    }
    let entry = this.pending.get(seq);
    if (!entry) {
      if (this.pending.size >= kMaxPendingAnswers) {
        this.pending.delete(this.pending.keys().next().value);
      }
      entry = { count: pieces, texts: new Array(pieces), received: 0 };
      this.pending.set(seq, entry);
    }
    if (entry.count !== pieces) {
      this.pending.delete(seq);
      return null;
    }
    if (entry.texts[piece] === undefined) {
      entry.received++;
    }
    entry.texts[piece] = text;
    if (entry.received < entry.count) {
      return null;
    }
    this.pending.delete(seq);
    try {
      return JSON.parse(entry.texts.join(""));
    } catch (e) {
      return null;
    }
  }
}
