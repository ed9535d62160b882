// File-system helpers shared by all subsystems: PathExists, MakePath and the
// folder of the program's own executable. They never throw and never fail
// loudly; results are the flags the callers expect (-1 true, 0 false).
#pragma once

#include <cstdint>
#include <string>

namespace bw {

/// -1 when a file or folder of that name exists, whatever its attributes; 0 otherwise.
std::int16_t PathExists(const std::string& path);
/// Creates every missing folder along the path; always returns -1.
std::int16_t MakePath(const std::string& path);
/// Folder of the running executable, without a trailing "/".
std::string ExeFolder();

}  // namespace bw
