#pragma once

namespace rempar {

// The one failure convention of the operations: every step that can fail
// prints exactly one message when it does and returns a [[nodiscard]] result
// that says so (a bool, an optional, or this), or returns a status enum that
// one function turns into that message (WalkStatus: report_walk_failure;
// io::ReadStatus: msg::read_error). The container check keeps the 0/1
// result of the format's tools. Running out of memory is caught in one
// place, around the whole operation (cli/dispatch.cc), where unwinding
// removes any half-written output; buffers whose shortage a step explains
// in words of its own come from AlignedBuffer::allocate, which never throws.

// How an operation ended: `failed` whenever it printed an error.
enum class Outcome { succeeded, failed };

}  // namespace rempar
