// A status window for tests: records the message boxes and quit requests so
// that readers run as they do in window mode (a stop message returns).
#pragma once

#include <string>
#include <vector>

#include "foundation/runtime.h"

namespace qzr::test {

struct Box {
    std::string title;
    std::string text;
    unsigned style;
};

class TestWindow : public MainWindow {
public:
    TestWindow() : previous_(hMainWnd) { hMainWnd = this; }
    ~TestWindow() override { hMainWnd = previous_; }
    TestWindow(const TestWindow&) = delete;
    TestWindow& operator=(const TestWindow&) = delete;

    void repaint() override { ++repaints; }
    void messageBox(const char* title, const char* text, unsigned style) override
    {
        boxes.push_back({title, text, style});
    }
    void postQuit(int code) override { quits.push_back(code); }

    std::vector<Box> boxes;
    std::vector<int> quits;
    int repaints = 0;

private:
    MainWindow* previous_;
};

}  // namespace qzr::test
