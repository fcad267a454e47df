#pragma once

namespace rempar {

// How an operation ended: `failed` whenever it printed an error.
enum class Outcome { succeeded, failed };

}  // namespace rempar
