// A fresh installation root for one test: QAX_ROOT points at a new temporary
// directory, the clock is virtual, and everything is removed afterwards.
#ifndef QAX_TESTS_TEST_ROOT_H
#define QAX_TESTS_TEST_ROOT_H

#include <stdlib.h>

#include <filesystem>
#include <string>

#include "platform/platform.h"

namespace qaxtest {

class TestRoot {
  public:
    explicit TestRoot(const char *clock = "virtual") {
        char tmpl[] = "/tmp/qax-test-XXXXXX";
        const char *dir = mkdtemp(tmpl);
        path_ = dir != nullptr ? dir : "/tmp/qax-test-failed";
        setenv("QAX_ROOT", path_.c_str(), 1);
        setenv("QAX_CLOCK", clock, 1);
        setenv("QAX_CLOCK_START", "1798761600", 1);
        setenv("TZ", "UTC", 1);
        aim_config_close();
        QaxClockReset();
        char buf[4096];
        QaxPath("/", buf, sizeof(buf));  // creates tmp/ and pstorage/
    }
    ~TestRoot() {
        aim_config_close();
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
        unsetenv("QAX_ROOT");
    }
    TestRoot(const TestRoot &) = delete;
    TestRoot &operator=(const TestRoot &) = delete;

    const std::string &Path() const { return path_; }

  private:
    std::string path_;
};

}  // namespace qaxtest

#endif
