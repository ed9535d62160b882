// A private temporary folder for one test, removed with everything in it
// when the object goes, and whole-file reading and writing for assertions.
#pragma once

#include <string>

namespace bw::test {

class TempDir {
  public:
    /// Makes /tmp/<prefix>_XXXXXX; a test failure (abort) when it cannot.
    explicit TempDir(const std::string& prefix = "bw");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    /// The folder, without a trailing "/".
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
};

/// The whole content of a file; empty when it cannot be read.
std::string ReadFile(const std::string& path);
/// Writes the bytes as the whole file, creating missing folders above it.
void WriteFile(const std::string& path, const std::string& bytes);

}  // namespace bw::test
