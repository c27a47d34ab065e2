// The entry operation: "vemk {c|d} infile outfile".
#pragma once

namespace vemk {

// Checks the arguments, opens the input and then the output, and only then
// looks at the mode and runs its flow. Returns the exit status: 0 after a
// completed run, -1 after a message (printed on standard output, followed
// by a wait for one byte of standard input).
int Start(int argc, char** argv);

} // namespace vemk
