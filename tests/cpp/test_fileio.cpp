#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "core/base/fileio.hpp"

namespace {

std::string slurp(const std::string& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

std::string tempdir() {
    char tmpl[] = "/tmp/ecmfileioXXXXXX";
    return std::string(::mkdtemp(tmpl));
}

}  // namespace

TEST(WriteFileAtomic, ReplacesWholeFileAndLeavesNoTemporary) {
    auto d = tempdir();
    auto p = d + "/out.json";
    ecm::write_file_atomic(p, "first");
    ecm::write_file_atomic(p, "second, longer text");
    EXPECT_EQ(slurp(p), "second, longer text");
    ecm::write_file_atomic(p, "");
    EXPECT_EQ(slurp(p), "");
    std::string cmd = "test $(ls -A " + d + " | wc -l) -eq 1";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
}

TEST(WriteFileAtomic, FailureKeepsOldFileAndNamesPath) {
    if (::geteuid() == 0) GTEST_SKIP() << "root ignores directory permissions";
    auto d = tempdir();
    auto p = d + "/model.json";
    ecm::write_file_atomic(p, "old");
    ::chmod(d.c_str(), 0500);
    try {
        ecm::write_file_atomic(p, "new");
        FAIL() << "expected an error";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(p), std::string::npos);
    }
    ::chmod(d.c_str(), 0700);
    EXPECT_EQ(slurp(p), "old");
}

TEST(WriteFileAtomic, MissingDirectoryIsAnError) {
    EXPECT_THROW(ecm::write_file_atomic("/nonexistent-dir-xyz/a.json", "x"), std::runtime_error);
}
