#include "platform/platform.h"

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

namespace {

class PathsTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char *old = getenv("QAX_ROOT");
        hadRoot_ = old != nullptr;
        if (hadRoot_) oldRoot_ = old;
        std::string pattern = std::filesystem::temp_directory_path() / "qax_paths_XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        if (hadRoot_) setenv("QAX_ROOT", oldRoot_.c_str(), 1);
        else unsetenv("QAX_ROOT");
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    static bool IsDir(const std::string &path) {
        struct stat st;
        return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    std::string dir_, oldRoot_;
    bool hadRoot_ = false;
};

TEST_F(PathsTest, WithoutRootThePathIsReturnedItself) {
    const char *path = "/tmp/qax_log/qax.lock";
    char out[64];
    for (const char *root : {static_cast<const char *>(nullptr), ""}) {
        if (root) setenv("QAX_ROOT", root, 1);
        else unsetenv("QAX_ROOT");
        EXPECT_EQ(QaxPath(path, out, sizeof out), path);
        EXPECT_EQ(QaxPath(path, nullptr, 0), path);  // no buffer needed
    }
    EXPECT_EQ(QaxPath(nullptr, out, sizeof out), nullptr);
}

TEST_F(PathsTest, PrefixesRootAndCreatesDirectories) {
    struct Case {
        std::string root;
        const char *path;
        std::string expected;
    } cases[] = {
        {dir_, "/tmp/qax_log/qax.lock", dir_ + "/tmp/qax_log/qax.lock"},
        {dir_ + "/", "/pstorage/power/PowerHistoryFull", dir_ + "/pstorage/power/PowerHistoryFull"},
        {dir_ + "///", "/x", dir_ + "/x"},
        {dir_ + "/fresh", "/tmp/a", dir_ + "/fresh/tmp/a"},  // root itself is created too
    };
    for (const Case &c : cases) {
        setenv("QAX_ROOT", c.root.c_str(), 1);
        char out[256];
        const char *got = QaxPath(c.path, out, sizeof out);
        ASSERT_EQ(got, out) << c.root;
        EXPECT_EQ(std::string(got), c.expected);
        std::string base = c.expected.substr(0, c.expected.size() - strlen(c.path));
        EXPECT_TRUE(IsDir(base + "/tmp")) << base;
        EXPECT_TRUE(IsDir(base + "/pstorage")) << base;
    }
}

TEST_F(PathsTest, RefusesWhatDoesNotFit) {
    setenv("QAX_ROOT", dir_.c_str(), 1);
    const std::string path = "/tmp/file";
    const size_t need = dir_.size() + path.size() + 1;
    char out[512];
    EXPECT_EQ(QaxPath(path.c_str(), out, need), out);
    EXPECT_EQ(QaxPath(path.c_str(), out, need - 1), nullptr);
    EXPECT_EQ(QaxPath(path.c_str(), out, 0), nullptr);
    EXPECT_EQ(QaxPath(path.c_str(), nullptr, sizeof out), nullptr);
    // Relative paths cannot be placed under the root.
    for (const char *relative : {"tmp/file", "", "./x"})
        EXPECT_EQ(QaxPath(relative, out, sizeof out), nullptr) << relative;
}

TEST_F(PathsTest, RelativeRootIsRefusedWithOneMessage) {
    // The message is given once per value: a fresh value for every run.
    static int run = 0;
    std::string root = "some/dir" + std::to_string(run++);
    setenv("QAX_ROOT", root.c_str(), 1);
    char out[256];
    testing::internal::CaptureStderr();
    EXPECT_EQ(QaxPath("/tmp/a", out, sizeof out), nullptr);
    EXPECT_EQ(QaxPath("/tmp/b", out, sizeof out), nullptr);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("QAX_ROOT must be an absolute path"), std::string::npos);
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_FALSE(IsDir("some"));
}

}  // namespace
