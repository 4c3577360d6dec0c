#include "tempdir.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace tolvane_test {

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "tolvane-test-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

}  // namespace tolvane_test
