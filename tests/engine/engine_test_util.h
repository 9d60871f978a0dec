// Helpers of the engine tests: a private working directory per test, files
// on disk, the log read back, and CDAnet messages built field by field.
#pragma once

#include "foundation/log.h"
#include "foundation/runtime.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace qzr::test {

namespace fs = std::filesystem;

inline std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void writeFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

// A test in its own temporary directory, which is also the process's
// current directory and `CurDir`; `ExeDir` is its subdirectory "exe". The
// log goes to "test.log" in a scratch directory beside it.
class WorkDirTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string tmpl = (fs::temp_directory_path() / "qzr-engine-XXXXXX").string();
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        ASSERT_NE(mkdtemp(buf.data()), nullptr);
        root = buf.data();
        dir = root + "/work";
        fs::create_directories(dir + "/exe");
        fs::create_directories(root + "/scratch");
        ASSERT_EQ(chdir(dir.c_str()), 0);
        CurDir = dir;
        ExeDir = dir + "/exe";
        logPath = root + "/scratch/test.log";
        ASSERT_EQ(log_open(logPath.c_str(), false), 0);
        log_resetScreen();
        g_detailedMessages = false;
        debugTrace = false;
        terminateRequested = false;
    }
    void TearDown() override
    {
        log_close();
        g_detailedMessages = false;
        terminateRequested = false;
        CurDir.clear();
        ExeDir.clear();
        if (chdir("/") != 0) {
        }
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    // Everything logged so far.
    std::string logText()
    {
        log_flush();
        return readFile(logPath);
    }
    bool logHas(const std::string& text) { return logText().find(text) != std::string::npos; }

    std::string root, dir, logPath;
};

// Builds a message of `length` bytes of filler with fields placed at their
// positions.
class Message {
public:
    explicit Message(std::size_t length, char filler = 'q') : text_(length, filler) {}
    Message& put(std::size_t pos, const std::string& value)
    {
        if (text_.size() < pos + value.size()) text_.resize(pos + value.size(), 'q');
        text_.replace(pos, value.size(), value);
        return *this;
    }
    Message& putNumber(std::size_t pos, int width, long value)
    {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%0*ld", width, value);
        return put(pos, buf);
    }
    const std::string& str() const { return text_; }
    std::size_t size() const { return text_.size(); }

private:
    std::string text_;
};

// A well-formed request of `length` bytes: A02 seq 123, office "OFF1",
// provider "PROV00001", carrier 654321, A07 = length.
inline std::string makeRequest(int version, int code, std::size_t length, int encrypt = 1)
{
    Message m(length);
    m.put(0, "123456789012").putNumber(12, 6, 123).putNumber(18, 2, version).putNumber(20, 2, code);
    if (version == 4) {
        m.putNumber(22, 6, 654321).putNumber(31, 1, encrypt);
        int width = code == 9 ? 7 : 5;
        m.putNumber(32, width, static_cast<long>(length));
        int prov = (code == 1 || code == 3 || code == 7) ? 43 : code == 9 ? 44 : 42;
        m.put(static_cast<std::size_t>(prov), "PROV00001").put(static_cast<std::size_t>(prov + 9), "OFF1");
    } else if (code == 4) {
        m.putNumber(25, 4, static_cast<long>(length)).put(29, "PROV00001").put(38, "OFF1");
    } else {
        int prov = (code == 1 || code == 3) ? 36 : 35;
        m.putNumber(22, 6, 654321).putNumber(31, 4, static_cast<long>(length));
        m.put(static_cast<std::size_t>(prov), "PROV00001").put(static_cast<std::size_t>(prov + 9), "OFF1");
    }
    return m.str();
}

}  // namespace qzr::test
