#include "support/temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace support {

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "tirvan-test-XXXXXX").string();
  if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  m_path = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(m_path, ec);
}

void TempDir::Write(const std::string& rel, const std::string& content) const {
  std::ofstream out(Sub(rel), std::ios::binary | std::ios::trunc);
  out << content;
}

std::string TempDir::Read(const std::string& rel) const {
  std::ifstream in(Sub(rel), std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void TempDir::MakeDir(const std::string& rel) const { std::filesystem::create_directories(Sub(rel)); }

}  // namespace support
