// The status window drawn with ncurses: layout, menus, keys and boxes.
//
// Everything is drawn on the standard screen, layer over layer: the window
// (title line, menu bar, client area), then an open menu, then the modal
// box on top. Each repaint draws all of it again and lets ncurses send
// only what changed.
#include "shell/status_window.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <span>
#include <unistd.h>
#include <vector>

#include "engine/cmdline.h"
#include "engine/worker.h"
#include "foundation/log.h"
#include "foundation/tbx_pars.h"
#include "links/msg_pump.h"
#include "os/os_wait.h"
#include "redirect/switch_table.h"
#include "shell/window.h"

#define NCURSES_NOMACROS
#include <curses.h>

namespace qzr {

namespace {

// Rows of the window: the title line and the menu bar, then the client
// area, whose rows are the window's pixel rows divided by 18.
constexpr int TITLE_ROW = 0;
constexpr int MENU_ROW = 1;
constexpr int CLIENT_ROW = 2;
constexpr int STATUS_ROW = CLIENT_ROW + 0 / 18;
constexpr int SCREEN_ROW = CLIENT_ROW + 36 / 18;
constexpr int LAST_ERROR_LABEL_ROW = CLIENT_ROW + 198 / 18;
constexpr int LAST_ERROR_ROW = CLIENT_ROW + 216 / 18;

// The activity mark of the title line, one for each frame of the tray icon.
constexpr char FRAMES[] = {' ', '|', '/', '-', '\\'};
constexpr int FRAME_COUNT = 5;

constexpr int KEY_CTRL_C = 3;
constexpr int KEY_CTRL_L = 12;
constexpr int KEY_ESC = 27;

// A menu item; id 0 is a separator. The letter after '&' is its mnemonic.
struct MenuItem {
    int id;
    const char* text;
};

constexpr MenuItem FILE_ITEMS[] = {
    {IDM_CANCEL, "&Cancel current call"},
    {0, ""},
    {IDM_EXIT, "E&xit"},
};
constexpr MenuItem HELP_ITEMS[] = {
    {IDM_DETAILED_MESSAGES, "&Detailed Messages"},
    {0, ""},
    {IDM_TEST_NETWORK1, "Test network 1"},
    {IDM_TEST_NETWORK2, "Test network 2"},
    {IDM_TEST_NETWORK3, "Test network 3"},
    {0, ""},
    {IDM_CHECK_UPDATES, "Check for &updates"},
    {0, ""},
    {IDM_ABOUT, "&About QZR..."},
};

struct Menu {
    const char* title;
    std::span<const MenuItem> items;
};
const Menu MENUS[] = {{"&File", FILE_ITEMS}, {"&Help", HELP_ITEMS}};
constexpr int MENU_COUNT = 2;

// The text an item shows: a Test item shows its network (the worker fills
// the table after reading the configuration) or "N/A".
std::string itemText(const MenuItem& item)
{
    if (item.id >= IDM_TEST_NETWORK1 && item.id <= IDM_TEST_NETWORK3) {
        std::size_t n = static_cast<std::size_t>(item.id - IDM_TEST_NETWORK1 + 1);
        return testNetTable[n] ? testMenuText[n] : "N/A";
    }
    return item.text;
}

bool itemEnabled(const MenuItem& item)
{
    if (item.id == 0) return false;
    if (item.id == IDM_EXIT) return !exitDisabled;
    if (item.id >= IDM_TEST_NETWORK1 && item.id <= IDM_TEST_NETWORK3)
        return testNetTable[static_cast<std::size_t>(item.id - IDM_TEST_NETWORK1 + 1)] != nullptr;
    return true;
}

bool itemChecked(const MenuItem& item)
{
    return item.id == IDM_DETAILED_MESSAGES && g_detailedMark;
}

// The mnemonic of a text (lower case), or 0.
int mnemonic(const std::string& text)
{
    std::size_t amp = text.find('&');
    if (amp == std::string::npos || amp + 1 >= text.size()) return 0;
    unsigned char c = static_cast<unsigned char>(text[amp + 1]);
    return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c;
}

// The width a text takes on the screen (its '&' is not shown).
int shownWidth(const std::string& text)
{
    return static_cast<int>(text.size() - (text.find('&') != std::string::npos ? 1 : 0));
}

// Writes `text` at (row, col), at most `width` cells, with `attr`; the
// letter after '&' is underlined. Control bytes show as blanks and bytes
// above 0x7E as '?', so that no text can move the cursor or widen a cell.
void put(int row, int col, const std::string& text, int width, attr_t attr = A_NORMAL, bool mnemonics = false)
{
    if (row < 0 || row >= LINES || col >= COLS) return;
    if (col + width > COLS) width = COLS - col;
    int x = col;
    bool underline = false;
    for (char ch : text) {
        if (x >= col + width) break;
        unsigned char c = static_cast<unsigned char>(ch);
        if (mnemonics && c == '&' && !underline) {
            underline = true;
            continue;
        }
        chtype shown = c < 0x20 || c == 0x7F ? ' ' : c > 0x7E ? '?' : c;
        attr_t a = attr;
        if (underline && mnemonics) {
            a |= A_UNDERLINE;
            mnemonics = false;
        }
        mvaddch(row, x++, shown | a);
    }
}

// Fills a row from `col` with blanks in `attr`, `width` cells.
void fill(int row, int col, int width, attr_t attr)
{
    if (row < 0 || row >= LINES) return;
    for (int x = col; x < col + width && x < COLS; ++x) mvaddch(row, x, ' ' | attr);
}

// Splits a box text into the lines shown, each at most `width` cells.
std::vector<std::string> wrap(const std::string& text, std::size_t width)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        do {
            lines.push_back(line.substr(0, width));
            line = line.size() > width ? line.substr(width) : std::string();
        } while (!line.empty());
        if (end == std::string::npos) break;
        start = end + 1;
    }
    while (!lines.empty() && lines.back().empty()) lines.pop_back();
    return lines;
}

// Writes printed text (a tokenizer context, a line of the rules report) as
// LOG_INFO lines, one for each line of the text.
void logPrinter(const char* text)
{
    std::string all = text ? text : "";
    std::size_t start = 0;
    while (start < all.size()) {
        std::size_t end = all.find('\n', start);
        if (end == std::string::npos) end = all.size();
        log_write(LOG_INFO, "%s", all.substr(start, end - start).c_str());
        start = end + 1;
    }
}

class TerminalWindow;
TerminalWindow* openWindow = nullptr;
bool atexitRegistered = false;

class TerminalWindow : public MainWindow {
public:
    TerminalWindow(SCREEN* screen, std::FILE* input, bool ownInput, const std::string& title)
        : screen_(screen), input_(input), ownInput_(ownInput), inFd_(fileno(input)), title_(title)
    {
        savedContextPrinter_ = tbx_context_printer;
        savedReportPrinter_ = switch_report_printer;
        tbx_context_printer = logPrinter;
        switch_report_printer = switch_logPrinter;
        if (pump_addSource(inFd_, onInput, this) != 0) inputLost_ = true;
        draw();
    }

    ~TerminalWindow() override
    {
        pump_removeSource(inFd_);
        endScreen();
        delscreen(screen_);
        if (ownInput_) std::fclose(input_);
        tbx_context_printer = savedContextPrinter_;
        switch_report_printer = savedReportPrinter_;
        openWindow = nullptr;
    }

    TerminalWindow(const TerminalWindow&) = delete;
    TerminalWindow& operator=(const TerminalWindow&) = delete;

    void repaint() override { draw(); }

    void messageBox(const char* title, const char* text, unsigned) override
    {
        // A box can only be dismissed by a key; without keys, once the run
        // is ending, or while a quit message waits for a wait to take it,
        // it returns as if OK had been pressed.
        if (ended_ || inputLost_ || terminateRequested || pump_quitPending()) return;
        boxes_.push_back({title ? title : "", text ? text : ""});
        pump_removeSource(inFd_);
        draw();
        bool done = false;
        while (!done && !terminateRequested && !inputLost_) {
            // Signals are dispatched meanwhile: a close ends the box too.
            if (pump_wait(inFd_, PUMP_IN, 500) != PUMP_READY) continue;
            bool any = false;
            for (int ch = wgetch(stdscr); ch != ERR; ch = wgetch(stdscr)) {
                any = true;
                // Enter, or Esc alone (Esc with a key is Alt with it).
                if (ch == KEY_ESC && altFollows()) continue;
                if (ch == '\n' || ch == '\r' || ch == KEY_ENTER || ch == KEY_ESC) {
                    done = true;
                    break;
                }
                if (ch == KEY_RESIZE || ch == KEY_CTRL_L) draw();
            }
            if (!any) noteSilentInput();
        }
        boxes_.pop_back();
        if (!inputLost_) pump_addSource(inFd_, onInput, this);
        draw();
    }

    void postQuit(int) override { pump_postQuit(); }

    void animate(int frame) override
    {
        if (frame < 0 || frame >= FRAME_COUNT) return;
        frame_ = frame;
        draw();
    }

    // Gives the terminal back (once).
    void endScreen()
    {
        if (ended_) return;
        ended_ = true;
        endwin();
    }

    // Reads and handles the keys that are there. `readable`: the terminal
    // was reported readable, so finding no key means its input has ended.
    void readKeys(bool readable)
    {
        if (ended_) return;
        bool any = false;
        for (int ch = wgetch(stdscr); ch != ERR; ch = wgetch(stdscr)) {
            any = true;
            handleKey(ch);
            if (ended_) return;
        }
        if (readable && !any) noteSilentInput();
    }

private:
    struct Box {
        std::string title;
        std::string text;
    };

    // After an Esc: takes the key that came with it (Alt with that key) and
    // tells whether there was one; a second Esc is left to be read.
    static bool altFollows()
    {
        int next = wgetch(stdscr);
        if (next == KEY_ESC) ungetch(next);
        return next != ERR && next != KEY_ESC;
    }

    static void onInput(void* self) { static_cast<TerminalWindow*>(self)->readKeys(true); }

    // The terminal was readable but gave no key: its input has ended (the
    // terminal hung up). Stop watching it, or every wait would spin.
    void noteSilentInput()
    {
        if (os_inputCount(inFd_) > 0) return;
        inputLost_ = true;
        pump_removeSource(inFd_);
    }

    void handleKey(int ch)
    {
        if (ch == KEY_ESC) {
            int next = wgetch(stdscr);
            if (next == ERR || next == KEY_ESC) {
                if (next == KEY_ESC) ungetch(next);  // Esc alone, then the next one
                closeMenu();
                return;
            }
            altKey(next);
            return;
        }
        if (ch == KEY_RESIZE || ch == KEY_CTRL_L) {
            if (ch == KEY_CTRL_L) clearok(curscr, TRUE);
            draw();
            return;
        }
        if (menu_ >= 0) {
            menuKey(ch);
            return;
        }
        switch (ch) {
        case KEY_F(10): openMenu(0); break;
        case KEY_F(1): pump_dispatch(IDM_HELP_CONTENTS); break;
        case KEY_CTRL_C: pump_dispatch(SC_CLOSE); break;
        default: break;
        }
    }

    // Alt with a key: the menus by their letters, Alt-? and Alt-/ the About box.
    void altKey(int ch)
    {
        if (ch >= 'A' && ch <= 'Z') ch = ch - 'A' + 'a';
        for (int m = 0; m < MENU_COUNT; ++m) {
            if (mnemonic(MENUS[m].title) == ch) {
                openMenu(m);
                return;
            }
        }
        if (ch == '?' || ch == '/') {
            closeMenu();
            pump_dispatch(IDM_ABOUT);
        }
    }

    void menuKey(int ch)
    {
        const Menu& menu = MENUS[menu_];
        int count = static_cast<int>(menu.items.size());
        switch (ch) {
        case KEY_F(10): closeMenu(); return;
        case KEY_LEFT: openMenu((menu_ + MENU_COUNT - 1) % MENU_COUNT); return;
        case KEY_RIGHT: openMenu((menu_ + 1) % MENU_COUNT); return;
        case KEY_UP:
        case KEY_DOWN: {
            int step = ch == KEY_UP ? count - 1 : 1;
            int i = selected_;
            do {
                i = (i + step) % count;
            } while (menu.items[static_cast<std::size_t>(i)].id == 0);
            selected_ = i;
            draw();
            return;
        }
        case '\n':
        case '\r':
        case KEY_ENTER: choose(menu.items[static_cast<std::size_t>(selected_)]); return;
        default: break;
        }
        if (ch >= 'A' && ch <= 'Z') ch = ch - 'A' + 'a';
        // An item without a letter (a Test item) is chosen only by Enter:
        // a NUL typed on the terminal must not match its missing letter.
        for (const MenuItem& item : menu.items) {
            int letter = mnemonic(itemText(item));
            if (item.id != 0 && letter != 0 && letter == ch) {
                choose(item);
                return;
            }
        }
    }

    void openMenu(int m)
    {
        menu_ = m;
        selected_ = 0;
        draw();
    }

    void closeMenu()
    {
        if (menu_ < 0) return;
        menu_ = -1;
        draw();
    }

    // Runs an item's command once its menu is closed; a greyed item only
    // closes the menu.
    void choose(const MenuItem& item)
    {
        bool enabled = itemEnabled(item);
        int id = item.id;
        closeMenu();
        if (enabled) pump_dispatch(id);
    }

    void draw()
    {
        if (ended_) return;
        werase(stdscr);
        drawTitle();
        drawMenuBar();
        drawClient();
        if (menu_ >= 0) drawMenu();
        if (!boxes_.empty()) drawBox(boxes_.back());
        wrefresh(stdscr);
    }

    void drawTitle()
    {
        fill(TITLE_ROW, 0, COLS, A_REVERSE);
        put(TITLE_ROW, 1, title_, COLS - 6, A_REVERSE);
        std::string mark = {'[', FRAMES[frame_], ']'};
        if (COLS >= 5) put(TITLE_ROW, COLS - 4, mark, 3, A_REVERSE);
    }

    void drawMenuBar()
    {
        fill(MENU_ROW, 0, COLS, A_REVERSE);
        int x = 1;
        for (int m = 0; m < MENU_COUNT; ++m) {
            std::string label = MENUS[m].title;
            attr_t a = m == menu_ ? A_NORMAL : A_REVERSE;
            put(MENU_ROW, x, " " + label + " ", shownWidth(label) + 2, a, true);
            menuX_[m] = x;
            x += shownWidth(label) + 3;
        }
        const std::string hint = "F10 Menu";
        int hx = COLS - static_cast<int>(hint.size()) - 1;
        if (hx > x) put(MENU_ROW, hx, hint, static_cast<int>(hint.size()), A_REVERSE);
    }

    void drawClient()
    {
        put(STATUS_ROW, 0, statusLine, COLS);
        for (int k = 0; k < SCREEN_LINE_COUNT; ++k) {
            const char* line = screenLines.display[k];
            if (line) put(SCREEN_ROW + k, 0, line, COLS);
        }
        put(LAST_ERROR_LABEL_ROW, 0, "Last Error:", COLS);
        put(LAST_ERROR_ROW, 0, lastErrorLine, COLS);
    }

    void drawMenu()
    {
        const Menu& menu = MENUS[menu_];
        int width = 0;
        for (const MenuItem& item : menu.items) width = std::max(width, shownWidth(itemText(item)));
        width += 4;  // the mark's column and a blank on each side
        int left = menuX_[menu_];
        if (left + width + 2 > COLS) left = std::max(0, COLS - width - 2);
        int top = MENU_ROW + 1;
        int rows = static_cast<int>(menu.items.size());
        frame(top, left, rows + 2, width + 2);
        for (int i = 0; i < rows; ++i) {
            const MenuItem& item = menu.items[static_cast<std::size_t>(i)];
            int row = top + 1 + i;
            if (row >= LINES) break;
            if (item.id == 0) {
                mvaddch(row, left, ACS_LTEE);
                for (int x = 1; x <= width; ++x) mvaddch(row, left + x, ACS_HLINE);
                if (left + width + 1 < COLS) mvaddch(row, left + width + 1, ACS_RTEE);
                continue;
            }
            attr_t a = A_NORMAL;
            if (!itemEnabled(item)) a |= A_DIM;
            if (i == selected_) a |= A_REVERSE;
            fill(row, left + 1, width, a);
            if (itemChecked(item)) put(row, left + 1, "*", 1, a);
            std::string text = itemText(item);
            put(row, left + 3, text, width - 3, a, true);
        }
    }

    void drawBox(const Box& box)
    {
        int maxText = std::max(10, std::min(COLS - 6, 76));
        std::vector<std::string> lines = wrap(box.text, static_cast<std::size_t>(maxText));
        int textWidth = static_cast<int>(box.title.size()) + 2;
        for (const std::string& l : lines) textWidth = std::max(textWidth, static_cast<int>(l.size()));
        textWidth = std::min(std::max(textWidth, 6), maxText);
        int width = textWidth + 4;
        int room = std::max(0, LINES - 4);
        if (static_cast<int>(lines.size()) > room) lines.resize(static_cast<std::size_t>(room));
        int height = static_cast<int>(lines.size()) + 4;
        int top = std::max(0, (LINES - height) / 2);
        int left = std::max(0, (COLS - width) / 2);
        frame(top, left, height, width);
        for (int r = 1; r < height - 1; ++r) fill(top + r, left + 1, width - 2, A_NORMAL);
        put(top, left + 2, " " + box.title + " ", textWidth, A_BOLD);
        for (std::size_t i = 0; i < lines.size(); ++i)
            put(top + 1 + static_cast<int>(i), left + 2, lines[i], textWidth);
        const std::string ok = "[ OK ]";
        put(top + height - 2, left + (width - static_cast<int>(ok.size())) / 2, ok, static_cast<int>(ok.size()),
            A_REVERSE);
    }

    // A frame of line characters with a blank inside.
    void frame(int top, int left, int height, int width)
    {
        for (int r = 0; r < height; ++r) {
            int row = top + r;
            if (row >= LINES) break;
            bool edge = r == 0 || r == height - 1;
            for (int c = 0; c < width && left + c < COLS; ++c) {
                bool side = c == 0 || c == width - 1;
                chtype ch = ' ';
                if (edge && side)
                    ch = r == 0 ? (c == 0 ? ACS_ULCORNER : ACS_URCORNER) : (c == 0 ? ACS_LLCORNER : ACS_LRCORNER);
                else if (edge)
                    ch = ACS_HLINE;
                else if (side)
                    ch = ACS_VLINE;
                mvaddch(row, left + c, ch);
            }
        }
    }

    SCREEN* screen_;
    std::FILE* input_;
    bool ownInput_;
    int inFd_;
    std::string title_;
    int frame_ = 0;
    int menu_ = -1;      // the open menu, or -1
    int selected_ = 0;   // its highlighted item
    int menuX_[MENU_COUNT] = {};
    std::vector<Box> boxes_;
    bool inputLost_ = false;
    bool ended_ = false;
    tbx_print_fn savedContextPrinter_ = nullptr;
    tbx_print_fn savedReportPrinter_ = nullptr;
};

// Gives the terminal back when the process ends through exit().
void restoreAtExit()
{
    if (openWindow) openWindow->endScreen();
}

// Gives the terminal back before an exception that nobody catches ends the
// process, then ends it as the runtime would.
std::terminate_handler previousTerminate = nullptr;
[[noreturn]] void restoreAtTerminate()
{
    restoreAtExit();
    if (previousTerminate) previousTerminate();
    std::abort();
}

}  // namespace

std::unique_ptr<MainWindow> statusWindow_open(const std::string& title)
{
    if (openWindow || !::isatty(STDOUT_FILENO)) return nullptr;
    const char* term = std::getenv("TERM");
    if (!term || !*term) return nullptr;

    // Keys come from standard input when it is the terminal, else from the
    // process's terminal.
    std::FILE* input = nullptr;
    bool ownInput = false;
    if (::isatty(STDIN_FILENO)) {
        input = stdin;
    } else {
        int fd = ::open("/dev/tty", O_RDONLY | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) return nullptr;
        input = ::fdopen(fd, "r");
        if (!input) {
            ::close(fd);
            return nullptr;
        }
        ownInput = true;
    }

    SCREEN* screen = newterm(nullptr, stdout, input);
    if (!screen) {
        if (ownInput) std::fclose(input);
        return nullptr;
    }
    set_term(screen);
    raw();
    noecho();
    nonl();
    keypad(stdscr, TRUE);
    nodelay(stdscr, TRUE);
    set_escdelay(25);
    curs_set(0);

    if (!atexitRegistered) {
        std::atexit(restoreAtExit);
        previousTerminate = std::set_terminate(restoreAtTerminate);
        atexitRegistered = true;
    }
    auto window = std::make_unique<TerminalWindow>(screen, input, ownInput, title);
    openWindow = window.get();
    return window;
}

void statusWindow_idle()
{
    if (openWindow) openWindow->readKeys(false);
}

}  // namespace qzr
