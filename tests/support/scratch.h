// A scratch directory per test, removed with everything in it afterwards.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace testsupport {

class scratch_dir {
public:
    scratch_dir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "cairn-test-XXXXXX").string();
        path_ = mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~scratch_dir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    scratch_dir(const scratch_dir &) = delete;
    scratch_dir &operator=(const scratch_dir &) = delete;

    std::string path(const std::string &name) const { return path_ + "/" + name; }

    // Writes bytes to a file in the directory and returns its path.
    std::string file(const std::string &name, const std::string &bytes) const
    {
        const std::string full = path(name);
        std::ofstream(full, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return full;
    }

private:
    std::string path_;
};

}  // namespace testsupport
