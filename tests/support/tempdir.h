// A fresh temporary directory for one test, shared by every suite (the
// stand-in's tests link it without the rest of the test support).
#pragma once

#include <string>

namespace tolvane_test {

// A fresh directory under the system's temporary directory, removed
// (recursively) when the object dies.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    // The path of NAME inside the directory.
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

}  // namespace tolvane_test
