#pragma once
// A process started with standard input, output or error closed would hand
// those numbers to the first files it opens, and then print its messages
// into its own output file. Careful tools fill the gaps first.

namespace rempar::io {

// Points each of descriptors 0, 1 and 2 that is closed at /dev/null. Kept
// open for the life of the process, so never owned by an io::File.
void fill_standard_descriptors();

}  // namespace rempar::io
