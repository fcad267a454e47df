#pragma once

namespace rempar::io {

// How a read that had to deliver a known number of bytes went: a failure
// (the file's last_error says why), or an end before those bytes.
enum class ReadStatus { ok, failed, ended_early };

}  // namespace rempar::io
