#include "actions.h"

#include <array>
#include <charconv>

namespace palaver::chat {
namespace {

struct NamedAction {
    const char* name;
    const char* verb;  // as it reads after the actor's name
};

// Index = action byte. Byte 0 is what a bare "/@/" carries, so it stays unnamed.
constexpr std::array<NamedAction, 13> kActions{{
    {nullptr, nullptr},
    {"wave", "waves"},
    {"bow", "bows"},
    {"nod", "nods"},
    {"shake", "shakes their head"},
    {"laugh", "laughs"},
    {"cry", "cries"},
    {"clap", "claps"},
    {"dance", "dances"},
    {"jump", "jumps"},
    {"sit", "sits down"},
    {"point", "points"},
    {"hug", "hugs"},
}};

}  // namespace

std::optional<unsigned char> parse_action(std::string_view word) {
    for (std::size_t i = 1; i < kActions.size(); ++i) {
        if (word == kActions[i].name) {
            return static_cast<unsigned char>(i);
        }
    }
    unsigned value = 0;
    const char* end = word.data() + word.size();
    auto [ptr, ec] = std::from_chars(word.data(), end, value);
    if (word.empty() || ec != std::errc() || ptr != end || value > 255) {
        return std::nullopt;
    }
    return static_cast<unsigned char>(value);
}

std::string describe_action(unsigned char action) {
    if (action > 0 && action < kActions.size()) {
        return kActions[action].verb;
    }
    return "shows action " + std::to_string(action);
}

std::string action_names() {
    std::string names;
    for (std::size_t i = 1; i < kActions.size(); ++i) {
        if (!names.empty()) {
            names += ' ';
        }
        names += kActions[i].name;
    }
    return names;
}

}  // namespace palaver::chat
