// A secret kept in a file of its own (the password for SMTP AUTH): the file
// must be a regular file that only its owner can read or write (no access
// for its group or others, as ssh asks of a private key), and the secret is
// its first line, without the line end.
// DIAGNOSTICS: nothing throws; ReadSecretFile returns "" or what is wrong
// ("open to others (mode 0644; ...)", "a symbolic link", the open's error,
// "empty").
#pragma once

#include <string>

namespace bw {

/// Reads the secret in `path` into `secret`; returns "" or the problem.
std::string ReadSecretFile(const std::string& path, std::string& secret);

}  // namespace bw
