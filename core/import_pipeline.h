#pragma once
// Adding scans and the printed-text worker; also home of the log writer.
#include <string>

namespace quorvel {

// Appends time-stamped lines to files in the data folder's logs folder.
// Any thread; whole entries never interleave. Failures are silent.
namespace Log {
// Appends "<stamp> <entry>\n" to logs/<fileName>, creating folder and file as needed.
void append(const std::string& fileName, const std::string& entry);
}  // namespace Log

}  // namespace quorvel
