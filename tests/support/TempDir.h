#pragma once

#include <filesystem>
#include <string>

namespace TestSupport {

// A fresh folder under the system temporary directory, removed with its
// contents when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  std::string PathString() const { return path_.string(); }

  // Makes the folders on the way.
  void WriteFile(const std::string& relative, const std::string& content) const;
  std::string ReadFile(const std::string& relative) const;
  bool Exists(const std::string& relative) const;

 private:
  std::filesystem::path path_;
};

}  // namespace TestSupport
