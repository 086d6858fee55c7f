// A provisioning sandbox: a fresh directory holding work/ (entered) and its
// sibling tarn_cnf/, where the cloud configuration file lives.
#pragma once

#include <filesystem>
#include <string>

#include "tests/common/temp_dir.h"

namespace unique_id_test {

inline const std::string kKey = "TARN_SKEIN_UNIQUE_ID=";

class Sandbox {
  public:
    Sandbox() {
        std::filesystem::create_directory(root() / "work");
        std::filesystem::create_directory(root() / "tarn_cnf");
        std::filesystem::current_path(root() / "work");
    }

    const std::filesystem::path& root() const { return dir_.path(); }
    std::filesystem::path config() const { return root() / "tarn_cnf" / "skein_cloud_config.cnf"; }

  private:
    skein_test::TempDir dir_;
};

// The banner for the text form `text`, byte for byte.
inline std::string expected_banner(const std::string& text) {
    const std::string border = std::string(66, '*') + "\n";
    const std::string blank = "*" + std::string(64, ' ') + "*\n";
    return "\x1b[1;32m" + border + blank + "*  EDGE BOX SERIAL NUMBER : " + text + "  *\n" + blank +
           border + "\x1b[0m";
}

}  // namespace unique_id_test
