// The status window drawn with ncurses: layout, menus, keys and boxes.
//
// Everything is drawn on the standard screen, layer over layer: the window
// (title line, menu bar, client area), then an open menu, then the modal
// box on top. Each repaint draws all of it again and lets ncurses send
// only what changed.
#include "shell/status_window.h"

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <exception>
#include <span>
#include <vector>

#include "engine/cmdline.h"
#include "engine/worker.h"
#include "foundation/ascii.h"
#include "foundation/log.h"
#include "foundation/stop.h"
#include "foundation/tbx_pars.h"
#include "links/msg_pump.h"
#include "os/os_crash.h"
#include "os/os_file.h"
#include "os/os_signal.h"
#include "os/os_wait.h"
#include "redirect/switch_table.h"
#include "shell/window.h"

#define NCURSES_NOMACROS
#define NCURSES_WIDECHAR 1
#include <curses.h>
#include <termcap.h>

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
static_assert(sizeof FRAMES == TRAY_FRAME_COUNT);

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

// The text an item is drawn with: a greyed item on a terminal that cannot
// dim is put in parentheses instead.
std::string drawnText(const MenuItem& item, bool canDim)
{
    std::string text = itemText(item);
    if (!canDim && item.id != 0 && !itemEnabled(item)) return "(" + text + ")";
    return text;
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
    return asciiLower(c);
}

// One character of a text as the screen shows it.
struct Shown {
    wchar_t ch;          // what is drawn
    int cells;           // the columns it takes (0: nothing is drawn)
    std::size_t bytes;   // the bytes of the text it stands for
};

// Reads the character at `at` of `text`, in the locale's encoding (UTF-8 as
// a rule). Control characters show as a blank, and a byte that begins no
// whole printable character (a cut sequence, a text in another encoding)
// as '?', so that no text can move the cursor or take more cells than
// counted. A character of no width (a combining mark) is left out.
Shown shownAt(const std::string& text, std::size_t at)
{
    std::mbstate_t state{};
    wchar_t wc = 0;
    std::size_t n = std::mbrtowc(&wc, text.data() + at, text.size() - at, &state);
    if (n == 0 || n > text.size() - at) return {L'?', 1, 1};  // a NUL, or no whole character
    if (wc < 0x20 || (wc >= 0x7F && wc < 0xA0)) return {L' ', 1, n};
    int cells = std::iswprint(static_cast<wint_t>(wc)) ? ::wcwidth(wc) : -1;
    if (cells < 0) return {L'?', 1, n};
    return {wc, cells, n};
}

// The columns `text` takes on the screen (a mnemonic's '&' is not shown).
int shownWidth(const std::string& text)
{
    int cells = 0;
    for (std::size_t at = 0; at < text.size();) {
        Shown c = shownAt(text, at);
        cells += c.cells;
        at += c.bytes;
    }
    return cells - (text.find('&') != std::string::npos ? 1 : 0);
}

// The bytes of the beginning of `text` that fit in `cells` columns, on
// whole characters.
std::size_t fittingBytes(const std::string& text, int cells)
{
    std::size_t at = 0;
    while (at < text.size()) {
        Shown c = shownAt(text, at);
        if (c.cells > cells) break;
        cells -= c.cells;
        at += c.bytes;
    }
    return at;
}

// Writes `text` at (row, col), at most `width` cells, with `attr`; the
// letter after '&' is underlined.
void put(int row, int col, const std::string& text, int width, attr_t attr = A_NORMAL, bool mnemonics = false)
{
    if (row < 0 || row >= LINES || col >= COLS) return;
    if (col + width > COLS) width = COLS - col;
    int x = col;
    bool underline = false;
    for (std::size_t at = 0; at < text.size();) {
        if (mnemonics && text[at] == '&' && !underline) {
            underline = true;
            ++at;
            continue;
        }
        Shown c = shownAt(text, at);
        at += c.bytes;
        if (x + c.cells > col + width) break;
        if (c.cells == 0) continue;
        attr_t a = attr;
        if (underline && mnemonics) {
            a |= A_UNDERLINE;
            mnemonics = false;
        }
        const wchar_t one[2] = {c.ch, L'\0'};
        cchar_t cell;
        setcchar(&cell, one, a, 0, nullptr);
        mvadd_wch(row, x, &cell);
        x += c.cells;
    }
}

// Fills a row from `col` with blanks in `attr`, `width` cells.
void fill(int row, int col, int width, attr_t attr)
{
    if (row < 0 || row >= LINES) return;
    for (int x = col; x < col + width && x < COLS; ++x) mvaddch(row, x, ' ' | attr);
}

// Splits a box text into the lines shown, each at most `width` cells, cut
// on whole characters.
std::vector<std::string> wrap(const std::string& text, int width)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        do {
            std::size_t fits = fittingBytes(line, width);
            // At least one character per line, even one wider than the box.
            if (fits == 0 && !line.empty()) fits = shownAt(line, 0).bytes;
            lines.push_back(line.substr(0, fits));
            line = line.substr(fits);
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
        // A change of the terminal's size wakes the waits at once.
        resizeFd_ = os_resizeWatch();
        if (resizeFd_ >= 0 && pump_addSource(resizeFd_, onResize, this) != 0) resizeFd_ = -1;
        draw();
    }

    ~TerminalWindow() override
    {
        pump_removeSource(inFd_);
        if (resizeFd_ >= 0) pump_removeSource(resizeFd_);
        os_resizeUnwatch();
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
        if (ended_ || inputLost_ || stop_runRequested() || pump_quitPending()) return;
        boxes_.push_back({title ? title : "", text ? text : ""});
        draw();
        // Keys, changes of size and signals come through the waits' sources
        // meanwhile, and the key reader answers the box; a close ends it too.
        while (!boxAnswered_ && !stop_runRequested() && !inputLost_ && !ended_) {
            if (pump_wait(-1, 0, 500) == PUMP_TIMEOUT) readKeys(false);
        }
        boxAnswered_ = false;
        boxes_.pop_back();
        draw();
    }

    void postQuit(int) override { pump_postQuit(); }

    void animate(int frame) override
    {
        if (frame < 0 || frame >= TRAY_FRAME_COUNT) return;
        frame_ = frame;
        draw();
    }

    // Gives the terminal back (once).
    void endScreen()
    {
        if (ended_) return;
        ended_ = true;
        endwin();
        os_crashGuardDisarm();
    }

    // Reads and handles the keys that are there: the one key reader of the
    // window, for the menus and the boxes alike. `readable`: the terminal
    // was reported readable, so finding no key means its input has ended.
    // Stops once a box was answered, so that its loop can end; the keys
    // after it are read by whoever reads next.
    void readKeys(bool readable)
    {
        if (ended_) return;
        bool any = false;
        Key key;
        while (!boxAnswered_ && nextKey(key)) {
            any = true;
            handleKey(key);
            if (ended_) return;
        }
        if (readable && !any) noteSilentInput();
    }

private:
    struct Box {
        std::string title;
        std::string text;
    };

    // A key as the window takes it: Esc followed by another key is Alt with
    // that key.
    struct Key {
        int code = ERR;
        bool alt = false;
    };

    // Reads the next key into `key`; false when none is waiting. An Esc
    // followed by another Esc or by a change of size is Esc alone, and what
    // followed it is read next.
    static bool nextKey(Key& key)
    {
        int ch = wgetch(stdscr);
        if (ch == ERR) return false;
        key = {ch, false};
        if (ch != KEY_ESC) return true;
        int next = wgetch(stdscr);
        if (next == KEY_ESC || next == KEY_RESIZE)
            ungetch(next);
        else if (next != ERR)
            key = {next, true};
        return true;
    }

    static void onInput(void* self) { static_cast<TerminalWindow*>(self)->readKeys(true); }

    // The terminal's size changed: the screen library has a KEY_RESIZE for
    // the key reader.
    static void onResize(void* self)
    {
        os_resizeTake();
        static_cast<TerminalWindow*>(self)->readKeys(false);
    }

    // The terminal was readable but gave no key: its input has ended (the
    // terminal hung up). Stop watching it, or every wait would spin.
    void noteSilentInput()
    {
        if (os_inputCount(inFd_) > 0) return;
        inputLost_ = true;
        pump_removeSource(inFd_);
    }

    void handleKey(const Key& key)
    {
        if (!key.alt && (key.code == KEY_RESIZE || key.code == KEY_CTRL_L)) {
            if (key.code == KEY_CTRL_L) clearok(curscr, TRUE);
            draw();
            return;
        }
        if (!boxes_.empty()) {
            // Enter, or Esc alone, answers the box; it takes every other key.
            if (!key.alt && (key.code == '\n' || key.code == '\r' || key.code == KEY_ENTER || key.code == KEY_ESC))
                boxAnswered_ = true;
            return;
        }
        if (key.alt) {
            altKey(key.code);
            return;
        }
        if (key.code == KEY_ESC) {
            closeMenu();
            return;
        }
        if (menu_ >= 0) {
            menuKey(key.code);
            return;
        }
        switch (key.code) {
        case KEY_F(10): openMenu(0); break;
        case KEY_CTRL_C: pump_dispatch(SC_CLOSE); break;
        default: break;
        }
    }

    // Alt with a key: the menus by their letters. The accelerators of the
    // window's resources (F1, Alt-? and Alt-/) are not translated by any
    // loop, so those keys do nothing.
    void altKey(int ch)
    {
        ch = asciiLower(ch);
        for (int m = 0; m < MENU_COUNT; ++m) {
            if (mnemonic(MENUS[m].title) == ch) {
                openMenu(m);
                return;
            }
        }
    }

    // The first items of the open menu, as many as the screen shows: the
    // only ones that can be chosen.
    std::span<const MenuItem> shownItems() const
    {
        std::span<const MenuItem> items = MENUS[menu_].items;
        // Between the menu's top edge (below the menu bar) and its bottom
        // edge, both on the screen.
        int room = std::clamp(LINES - MENU_ROW - 3, 0, static_cast<int>(items.size()));
        return items.first(static_cast<std::size_t>(room));
    }

    void menuKey(int ch)
    {
        std::span<const MenuItem> items = shownItems();
        int count = static_cast<int>(items.size());
        if (selected_ >= count) selected_ = 0;
        switch (ch) {
        case KEY_F(10): closeMenu(); return;
        case KEY_LEFT: openMenu((menu_ + MENU_COUNT - 1) % MENU_COUNT); return;
        case KEY_RIGHT: openMenu((menu_ + 1) % MENU_COUNT); return;
        case KEY_UP:
        case KEY_DOWN: {
            if (count == 0) return;
            int step = ch == KEY_UP ? count - 1 : 1;
            int i = selected_;
            do {
                i = (i + step) % count;
            } while (items[static_cast<std::size_t>(i)].id == 0 && i != selected_);
            selected_ = i;
            draw();
            return;
        }
        case '\n':
        case '\r':
        case KEY_ENTER:
            if (count > 0) choose(items[static_cast<std::size_t>(selected_)]);
            return;
        default: break;
        }
        ch = asciiLower(ch);
        // An item without a letter (a Test item) is chosen only by Enter:
        // a NUL typed on the terminal must not match its missing letter.
        for (const MenuItem& item : items) {
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
        // Greyed items are dimmed, or marked where the terminal has no dim.
        const bool canDim = (termattrs() & A_DIM) != 0;
        int width = 0;
        for (const MenuItem& item : menu.items) width = std::max(width, shownWidth(drawnText(item, canDim)));
        std::span<const MenuItem> items = shownItems();
        width += 4;  // the mark's column and a blank on each side
        int left = menuX_[menu_];
        if (left + width + 2 > COLS) left = std::max(0, COLS - width - 2);
        int top = MENU_ROW + 1;
        int rows = static_cast<int>(items.size());
        if (selected_ >= rows) selected_ = 0;
        frame(top, left, rows + 2, width + 2);
        for (int i = 0; i < rows; ++i) {
            const MenuItem& item = items[static_cast<std::size_t>(i)];
            int row = top + 1 + i;
            if (item.id == 0) {
                mvaddch(row, left, ACS_LTEE);
                for (int x = 1; x <= width; ++x) mvaddch(row, left + x, ACS_HLINE);
                if (left + width + 1 < COLS) mvaddch(row, left + width + 1, ACS_RTEE);
                continue;
            }
            attr_t a = A_NORMAL;
            if (!itemEnabled(item) && canDim) a |= A_DIM;
            if (i == selected_) a |= A_REVERSE;
            fill(row, left + 1, width, a);
            if (itemChecked(item)) put(row, left + 1, "*", 1, a);
            std::string text = drawnText(item, canDim);
            put(row, left + 3, text, width - 3, a, true);
        }
    }

    void drawBox(const Box& box)
    {
        int maxText = std::max(10, std::min(COLS - 6, 76));
        std::vector<std::string> lines = wrap(box.text, maxText);
        int textWidth = shownWidth(box.title) + 2;
        for (const std::string& l : lines) textWidth = std::max(textWidth, shownWidth(l));
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
    int frame_ = TRAY_IDLE;
    int menu_ = -1;      // the open menu, or -1
    int selected_ = 0;   // its highlighted item
    int menuX_[MENU_COUNT] = {};
    std::vector<Box> boxes_;
    bool boxAnswered_ = false;  // the open box got its Enter or Esc
    int resizeFd_ = -1;
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

// The bytes that give the screen back at once, as the terminal's database
// spells them: plain attributes, the cursor shown, the keypad's own mode
// left, the alternate screen left. Delays ("$<5>") are dropped.
std::string screenRestoreBytes()
{
    std::string out;
    for (const char* cap : {"sgr0", "cnorm", "rmkx", "rmcup"}) {
        const char* s = tigetstr(cap);
        if (!s || s == reinterpret_cast<const char*>(-1)) continue;
        for (const char* c = s; *c; ++c) {
            if (c[0] == '$' && c[1] == '<') {
                const char* end = std::strchr(c, '>');
                if (end) {
                    c = end;
                    continue;
                }
            }
            out += *c;
        }
    }
    return out;
}

// Whether the terminal type `term` is known and can move the cursor to any
// place (its "cm" capability). The terminal database is asked before the
// screen library is started: nothing is sent to the terminal, and no failed
// start is left behind.
bool canAddressCursor(const char* term)
{
    return tgetent(nullptr, term) == 1 && tgetstr("cm", nullptr) != nullptr;
}

}  // namespace

std::unique_ptr<MainWindow> statusWindow_open(const std::string& title)
{
    if (openWindow || !os_isTerminal(OS_STDOUT)) return nullptr;
    const char* term = std::getenv("TERM");
    if (!term || !*term) return nullptr;

    // Keys come from standard input when it is the terminal, else from the
    // process's terminal.
    std::FILE* input = nullptr;
    bool ownInput = false;
    if (os_isTerminal(OS_STDIN)) {
        input = stdin;
    } else {
        OsFd fd;
        if (os_fileOpen("/dev/tty", OS_OPEN_READ | OS_OPEN_DEVICE, 0, fd) != 0) return nullptr;
        input = ::fdopen(fd.get(), "r");
        if (!input) return nullptr;
        fd.release();  // the stream owns it now
        ownInput = true;
    }

    // Texts (the title, paths, log lines) are drawn as characters of the
    // locale the environment names, UTF-8 as a rule.
    std::setlocale(LC_CTYPE, "");

    // An unknown terminal type, or one that cannot address the cursor
    // (dumb), cannot show the window: both count as no terminal.
    // The settings a death by signal puts back are those of before.
    (void)os_crashGuardSave(OS_STDOUT);
    SCREEN* screen = canAddressCursor(term) ? newterm(nullptr, stdout, input) : nullptr;
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
    // A crash, or a signal that ends the process by default, gives the
    // terminal back as well.
    (void)os_crashGuardArm(screenRestoreBytes());

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
