// Shared fixture of the redirection tests: a temporary directory for rule
// files and the log, a recording status window, and the toolbox messages
// captured as (flags, text).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "foundation/log.h"
#include "foundation/runtime.h"
#include "foundation/tbx_msg.h"
#include "foundation/tbx_pars.h"
#include "redirect/ini_switch_table.h"
#include "redirect/switch_table.h"

namespace qzr::test {

// A status window that records its boxes and counts its quit requests.
class RecordingWindow : public MainWindow {
public:
    struct Box {
        std::string title;
        std::string text;
        unsigned style;
    };
    std::vector<Box> boxes;
    int quits = 0;

    void repaint() override {}
    void messageBox(const char* title, const char* text, unsigned style) override
    {
        boxes.push_back({title, text, style});
    }
    void postQuit(int) override { ++quits; }
};

inline std::vector<std::pair<int, std::string>>& capturedMessages()
{
    static std::vector<std::pair<int, std::string>> messages;
    return messages;
}

inline void captureMessage(int flags, const char* text)
{
    capturedMessages().emplace_back(flags, text);
}

inline std::vector<std::string>& printedLines()
{
    static std::vector<std::string> lines;
    return lines;
}

// A report printer that keeps each printed text.
inline void capturePrinted(const char* text)
{
    printedLines().emplace_back(text);
}

inline void quietContext(const char*) {}

// Splits a text into its lines, each without its line feed.
inline std::vector<std::string> splitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The keys of a table in its iteration order.
inline std::vector<std::string> keysOf(tbx_hash& table)
{
    std::vector<std::string> keys;
    tbx_hash_rewind(table);
    for (tbx_hash_entry* e = tbx_hash_next(table); e; e = tbx_hash_next(table)) keys.push_back(e->key);
    return keys;
}

class SwitchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "qzr-redir-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        capturedMessages().clear();
        g_version.clear();
        printedLines().clear();
        tbx_message_hook = captureMessage;
        savedContextPrinter_ = tbx_context_printer;
        tbx_context_printer = quietContext;
        logPath_ = dir_ + "/qzr.log";
        ASSERT_EQ(log_open(logPath_.c_str(), false), 0);
    }

    void TearDown() override
    {
        log_close();
        log_resetScreen();
        hMainWnd = nullptr;
        debugTrace = false;
        switch_report_printer = nullptr;
        tbx_message_hook = nullptr;
        tbx_context_printer = savedContextPrinter_;
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    // Writes a rule file into the temporary directory; returns its path.
    std::string writeRules(const std::string& text, const std::string& name = "qzrredir.dat")
    {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    // Loads the rules at `path`, keeping what the loader printed.
    void load(const std::string& path)
    {
        switch_report_printer = capturePrinted;
        ASSERT_EQ(loadSwitchTable(path.c_str()), 0);
        switch_report_printer = nullptr;
    }

    // The loader's printed output, line by line.
    std::vector<std::string> printed() const
    {
        std::string all;
        for (const std::string& piece : printedLines()) all += piece;
        return splitLines(all);
    }

    // The report written to a stream, line by line, and its result.
    std::pair<int, std::vector<std::string>> report()
    {
        const std::string path = dir_ + "/report.txt";
        std::FILE* out = std::fopen(path.c_str(), "we");
        EXPECT_NE(out, nullptr);
        if (!out) return {};
        const int rc = reportSwitchTable(out);
        std::fclose(out);
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        return {rc, splitLines(text.str())};
    }

    // The log file's text so far.
    std::string logText()
    {
        log_flush();
        std::ifstream in(logPath_);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // How many log lines carry `prefix` immediately followed by `text`.
    int logCount(const std::string& prefix, const std::string& text)
    {
        const std::string needle = prefix + text;
        const std::string all = logText();
        int n = 0;
        for (std::size_t at = all.find(needle); at != std::string::npos;
             at = all.find(needle, at + needle.size()))
            ++n;
        return n;
    }

    std::vector<std::string> messageTexts() const
    {
        std::vector<std::string> texts;
        for (const auto& m : capturedMessages()) texts.push_back(m.second);
        return texts;
    }

    std::string dir_;
    std::string logPath_;
    tbx_print_fn savedContextPrinter_ = nullptr;
};

}  // namespace qzr::test
