// A temporary folder removed with everything in it when the object goes away.
#pragma once

#include <string>

namespace support {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return m_path; }
  // path() + "/" + rel
  std::string Sub(const std::string& rel) const { return m_path + "/" + rel; }
  // Writes a file (parents must exist).
  void Write(const std::string& rel, const std::string& content) const;
  std::string Read(const std::string& rel) const;
  void MakeDir(const std::string& rel) const;

 private:
  std::string m_path;
};

}  // namespace support
