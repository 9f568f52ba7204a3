#include "screen_mode.h"

#include <curses.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <deque>
#include <memory>

#include "PalaverProfile.h"
#include "input_line.h"
#include "line_mode.h"
#include "poll_clock.h"

namespace palaver::chat {
namespace {

constexpr int kUsersWidth = 34;

// Ctrl-C, a closed terminal or a kill end the session the way /quit does, so
// the terminal is restored and the server hears the logout.
volatile sig_atomic_t g_stop = 0;

void request_stop(int) {
    g_stop = 1;
}

void catch_stop_signals() {
    struct sigaction sa {};
    sa.sa_handler = request_stop;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(sig, &sa, nullptr);
    }
}
constexpr std::size_t kChatLimit = 2000;

enum Colour : short { kPlain = 1, kWhisper, kAction, kNotice, kDim, kError, kStatusBar };

struct WindowDeleter {
    void operator()(WINDOW* w) const { delwin(w); }
};
using Window = std::unique_ptr<WINDOW, WindowDeleter>;

// initscr() and endwin() for one scope.
class Curses {
  public:
    Curses() {
        initscr();
        cbreak();
        noecho();
        nonl();
        if (has_colors()) {
            start_color();
            use_default_colors();
            init_pair(kPlain, -1, -1);
            init_pair(kWhisper, COLOR_MAGENTA, -1);
            init_pair(kAction, COLOR_CYAN, -1);
            init_pair(kNotice, COLOR_YELLOW, -1);
            init_pair(kDim, COLOR_BLUE, -1);
            init_pair(kError, COLOR_RED, -1);
            init_pair(kStatusBar, COLOR_BLACK, COLOR_GREEN);
        }
    }
    ~Curses() { endwin(); }
    Curses(const Curses&) = delete;
    Curses& operator=(const Curses&) = delete;
};

attr_t style_of(Event::Kind kind) {
    switch (kind) {
        case Event::Kind::kWhisper:
            return COLOR_PAIR(kWhisper);
        case Event::Kind::kAction:
            return COLOR_PAIR(kAction);
        case Event::Kind::kNotice:
        case Event::Kind::kStatus:
            return COLOR_PAIR(kNotice);
        case Event::Kind::kUser:
        case Event::Kind::kWho:
        case Event::Kind::kInfo:
            return COLOR_PAIR(kDim);
        case Event::Kind::kError:
            return COLOR_PAIR(kError) | A_BOLD;
        case Event::Kind::kChat:
            break;
    }
    return COLOR_PAIR(kPlain);
}

const char* prefix_of(Event::Kind kind) {
    switch (kind) {
        case Event::Kind::kWhisper:
            return "(whisper) ";
        case Event::Kind::kAction:
            return "* ";
        case Event::Kind::kNotice:
            return "-- ";
        case Event::Kind::kStatus:
            return "== ";
        case Event::Kind::kError:
            return "!! ";
        case Event::Kind::kUser:
        case Event::Kind::kWho:
        case Event::Kind::kInfo:
            return "   ";
        case Event::Kind::kChat:
            break;
    }
    return "";
}

int width_of(const std::wstring& s, std::size_t from, std::size_t to) {
    int w = 0;
    for (std::size_t i = from; i < to; ++i) {
        w += std::max(0, wcwidth(s[i]));
    }
    return w;
}

class Screen {
  public:
    explicit Screen(Session& session) : session_(session) { layout(); }

    void add(const Events& events) {
        for (const Event& e : events) {
            chat_.push_back(e);
        }
        while (chat_.size() > kChatLimit) {
            chat_.pop_front();
        }
    }

    void layout() {
        int rows, cols;
        getmaxyx(stdscr, rows, cols);
        const int users_w = std::min(kUsersWidth, std::max(cols / 3, 10));
        const int body = std::max(rows - 3, 1);
        status_.reset(newwin(1, cols, 0, 0));
        chat_win_.reset(newwin(body, std::max(cols - users_w - 1, 1), 1, 0));
        users_.reset(newwin(body, users_w, 1, cols - users_w));
        rule_.reset(newwin(body + 1, cols, 1, 0));
        input_.reset(newwin(1, cols, rows - 1, 0));
        scrollok(chat_win_.get(), TRUE);
        keypad(input_.get(), TRUE);
        clearok(curscr, TRUE);
    }

    WINDOW* input() { return input_.get(); }
    InputLine& line() { return line_; }

    void scroll_by(int entries) {
        scroll_ = std::clamp(scroll_ + entries, 0, static_cast<int>(chat_.size()));
    }
    void scroll_to_end() { scroll_ = 0; }

    void draw() {
        draw_frame();
        draw_status();
        draw_chat();
        draw_users();
        draw_input();
        doupdate();
    }

  private:
    void draw_frame() {
        WINDOW* w = rule_.get();
        werase(w);
        int rows, cols;
        getmaxyx(w, rows, cols);
        int users_w = getmaxx(users_.get());
        mvwvline(w, 0, cols - users_w - 1, ACS_VLINE, rows - 1);
        mvwhline(w, rows - 1, 0, ACS_HLINE, cols);
        mvwaddch(w, rows - 1, cols - users_w - 1, ACS_BTEE);
        wnoutrefresh(w);
    }

    void draw_status() {
        WINDOW* w = status_.get();
        wbkgd(w, COLOR_PAIR(kStatusBar) | A_REVERSE);
        werase(w);
        const SessionOptions& o = session_.options();
        std::string text = " Palaver  " + session_.label(session_.self().userId) + "  room " +
                           std::to_string(profile::room(session_.self())) + "  " + o.host + ":" +
                           std::to_string(o.port);
        mvwaddstr(w, 0, 0, text.c_str());
        const char* state = session_.connected() ? "[connected] " : "[OFFLINE: /reconnect] ";
        mvwaddstr(w, 0, std::max(0, getmaxx(w) - static_cast<int>(std::strlen(state))), state);
        wnoutrefresh(w);
    }

    void draw_chat() {
        WINDOW* w = chat_win_.get();
        werase(w);
        const int rows = getmaxy(w);
        const std::size_t end = chat_.size() - std::min<std::size_t>(scroll_, chat_.size());
        const std::size_t begin = end > static_cast<std::size_t>(rows) ? end - rows : 0;
        wmove(w, 0, 0);
        for (std::size_t i = begin; i < end; ++i) {
            if (i != begin) {
                waddch(w, '\n');
            }
            wattrset(w, style_of(chat_[i].kind));
            waddstr(w, prefix_of(chat_[i].kind));
            waddstr(w, chat_[i].text.c_str());
            wattrset(w, A_NORMAL);
        }
        wnoutrefresh(w);
    }

    void draw_users() {
        WINDOW* w = users_.get();
        werase(w);
        const auto& users = session_.users();
        wattrset(w, A_BOLD);
        mvwaddstr(w, 0, 1, ("Users (" + std::to_string(users.size() + 1) + ")").c_str());
        wattrset(w, A_NORMAL);
        int row = 1;
        auto show = [&](const stUserInfo& u, bool you) {
            if (row + 1 >= getmaxy(w)) {
                return;
            }
            const profile::Position p = profile::position(u);
            std::string who = session_.label(u.userId) + (you ? " (you)" : "");
            char where[64];
            std::snprintf(where, sizeof where, "  (%g, %g, %g) m%d", p.x, p.y, p.z,
                          static_cast<int>(profile::model(u)));
            if (you) {
                wattrset(w, A_BOLD);
            }
            mvwaddnstr(w, row++, 1, who.c_str(), -1);
            wattrset(w, COLOR_PAIR(kDim));
            mvwaddstr(w, row++, 1, where);
            wattrset(w, A_NORMAL);
        };
        show(session_.self(), true);
        for (const auto& [id, user] : users) {
            show(user, false);
        }
        wnoutrefresh(w);
    }

    void draw_input() {
        WINDOW* w = input_.get();
        werase(w);
        const std::wstring& text = line_.text();
        const int room = std::max(getmaxx(w) - 3, 1);
        std::size_t start = 0;
        while (start < line_.cursor() && width_of(text, start, line_.cursor()) >= room) {
            ++start;
        }
        std::size_t stop = start;
        while (stop < text.size() && width_of(text, start, stop + 1) < room) {
            ++stop;
        }
        mvwaddstr(w, 0, 0, "> ");
        const std::wstring shown = text.substr(start, stop - start);
        waddwstr(w, shown.c_str());
        wmove(w, 0, 2 + width_of(text, start, line_.cursor()));
        wnoutrefresh(w);
    }

    Session& session_;
    std::deque<Event> chat_;
    int scroll_ = 0;
    InputLine line_;
    Window status_, chat_win_, users_, rule_, input_;
};

// False when the user asked to quit.
bool handle_key(int kind, wint_t key, Screen& screen, Session& session, Events& events) {
    InputLine& line = screen.line();
    if (kind == KEY_CODE_YES) {
        switch (key) {
            case KEY_RESIZE:
                screen.layout();
                break;
            case KEY_UP:
                line.older();
                break;
            case KEY_DOWN:
                line.newer();
                break;
            case KEY_LEFT:
                line.left();
                break;
            case KEY_RIGHT:
                line.right();
                break;
            case KEY_HOME:
                line.home();
                break;
            case KEY_END:
                line.end();
                break;
            case KEY_BACKSPACE:
                line.backspace();
                break;
            case KEY_DC:
                line.erase();
                break;
            case KEY_PPAGE:
                screen.scroll_by(10);
                break;
            case KEY_NPAGE:
                screen.scroll_by(-10);
                break;
            case KEY_ENTER:
                kind = OK, key = L'\n';
                break;
            default:
                break;
        }
        if (kind == KEY_CODE_YES) {
            return true;
        }
    }
    switch (key) {
        case L'\n':
        case L'\r': {
            const Command command = parse_command(to_utf8(line.submit()));
            screen.scroll_to_end();
            if (command.kind == Command::Kind::kQuit) {
                return false;
            }
            if (command.kind == Command::Kind::kSleep) {
                events.push_back({Event::Kind::kError, "/sleep is for line mode"});
                return true;
            }
            session.execute(command, events, PollClock::Clock::now());
            return true;
        }
        case 127:
        case 8:
            line.backspace();
            return true;
        case 21:
            line.clear();
            return true;  // Ctrl-U
        case 1:
            line.home();
            return true;  // Ctrl-A
        case 5:
            line.end();
            return true;  // Ctrl-E
        case 12:
            clearok(curscr, TRUE);
            return true;  // Ctrl-L
        default:
            break;
    }
    if (std::iswprint(static_cast<wint_t>(key))) {
        line.insert(static_cast<wchar_t>(key));
    }
    return true;
}

}  // namespace

int run_screen_mode(Session& session) {
    Events events;
    std::printf("Connecting to %s:%d ...\n", session.options().host.c_str(),
                session.options().port);
    std::fflush(stdout);
    if (!session.login(events)) {
        print_events(events);
        return 2;
    }
    {
        Curses curses;
        Screen screen(session);
        screen.add(events);
        PollClock clock;
        bool dirty = true;
        catch_stop_signals();
        for (bool running = true; running && !g_stop;) {
            events.clear();
            const auto now = PollClock::Clock::now();
            if (clock.due(now)) {
                session.poll(events, now);
                // The status line follows the connection even when nothing is said.
                dirty = true;
            }
            if (!events.empty()) {
                screen.add(events);
                events.clear();
            }
            if (dirty) {
                screen.draw();
                dirty = false;
            }
            wtimeout(screen.input(), clock.wait_ms(PollClock::Clock::now()));
            wint_t key = 0;
            const int kind = wget_wch(screen.input(), &key);
            if (kind == ERR) {
                continue;
            }
            running = handle_key(kind, key, screen, session, events);
            screen.add(events);
            dirty = true;
        }
    }
    events.clear();
    session.logout(events);
    print_events(events);
    return 0;
}

}  // namespace palaver::chat
