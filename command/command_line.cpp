// The console tool's command line: one line of at most eight words, read the way scripts have
// always written it.
#include "command/console.h"

#include "link/remote_link.h"

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool is_blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

struct Word {
    std::string upper;     // as the tool reads it
    std::string original;  // as typed, for device paths that keep their case
};

// A word as it may be shown on a terminal: a control character in it is shown as '?'.
std::string shown(const std::string& word)
{
    std::string text = word;
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return text;
}

void ignore(ConsoleRun& run, const std::string& word, const std::string& why)
{
    run.ignored.push_back(shown(word) + ": ignored: " + why);
}

// A word whose value is not one the tool takes: named with what was expected, never guessed at.
void refuse(ConsoleRun& run, const std::string& word, const std::string& expected)
{
    run.ignored.push_back(shown(word) + ": not " + expected);
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Digits from p on; returns how many.
size_t digits_at(const std::string& text, size_t& p)
{
    const size_t from = p;
    while (p < text.size() && is_digit(text[p])) ++p;
    return p - from;
}

void accept_port_word(ConsoleRun& run, const std::string& word, const std::string& name, const std::string& value)
{
    if (has_control_character(name.c_str())) {
        ignore(run, word, "a port name has no control characters");
        return;
    }
    if (run.filter_count >= CONSOLE_MAX_FILTERS) {
        ignore(run, word, std::string("at most ") + SLOT_COUNT_WORD + " filters can be controlled on one line");
        return;
    }
    for (int i = 0; i < run.filter_count; ++i)
        if (run.slots[i].full_name == name) {
            // The first action given for a port wins.
            ignore(run, word, shown(name) + " was given before; one action per filter");
            return;
        }

    ConsoleAction action;
    double shift = 0;
    if (value == "SLEEP") {
        action = ACTION_SLEEP;
    } else if (value == "STATUS") {
        action = ACTION_STATUS;
    } else if (value == "WAKE") {
        action = ACTION_WAKE;
    } else {
        // A typo (SLEPP), a decimal comma or trailing text once read as the leading number of
        // the word, usually a shift of 0 reported as success; such a word now reaches no filter.
        if (!read_complete_decimal(value, shift)) {
            refuse(run, word, "STATUS, SLEEP, WAKE or a number from -1.0 to 1.0");
            return;
        }
        if (!(shift >= -1.0 && shift <= 1.0)) {  // the slot stays free for the next word
            ignore(run, word, "a wing shift is -1.0 to 1.0 angstroms");
            return;
        }
        action = ACTION_SET_SHIFT;
    }
    ConsoleSlot& slot = run.slots[run.filter_count++];
    slot = ConsoleSlot{};
    slot.filter.slot_index = run.filter_count - 1;
    slot.full_name = name;
    slot.name_too_long = name.size() > PORT_NAME_SIZE - 1;
    copy_text(slot.filter.port_name, PORT_NAME_SIZE, name.c_str(), PORT_NAME_SIZE - 1);
    slot.action = action;
    slot.shift = shift;
}

}  // namespace

int read_complete_decimal(const std::string& text, double& value)
{
    size_t p = 0;
    if (p < text.size() && (text[p] == '+' || text[p] == '-')) ++p;
    size_t digits = digits_at(text, p);
    if (p < text.size() && text[p] == '.') {
        ++p;
        digits += digits_at(text, p);
    }
    if (digits == 0) return 0;
    if (p < text.size() && (text[p] == 'E' || text[p] == 'e')) {
        ++p;
        if (p < text.size() && (text[p] == '+' || text[p] == '-')) ++p;
        if (digits_at(text, p) == 0) return 0;
    }
    if (p != text.size()) return 0;
    value = read_decimal_number(text.c_str());  // the link's reader, whole as it now is
    return 1;
}

int read_whole_number(const std::string& text, long& value)
{
    size_t p = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) ++p;
    const size_t first = p;
    if (digits_at(text, p) == 0 || p != text.size()) return 0;
    value = 0;
    for (size_t k = first; k < text.size(); ++k)
        if (value < 100000000L) value = value * 10 + (text[k] - '0');  // saturates within 32 bits
    if (negative) value = -value;
    return 1;
}

namespace {

// The line cut to its bound and split at blanks into at most ARGUMENT_WORDS_MAX words, each in
// upper case and as typed.
std::vector<Word> split_words(std::string line, ConsoleRun& run)
{
    if (line.size() > ARGUMENT_LINE_MAX) {
        size_t cut = ARGUMENT_LINE_MAX;
        while (cut > 0 && !is_blank(line[cut - 1])) --cut;
        run.ignored.push_back(shown(line.substr(cut, 40)) + "...: ignored: the arguments run past " +
                              std::to_string(ARGUMENT_LINE_MAX) + " characters; the rest is not read");
        line.resize(ARGUMENT_LINE_MAX);
    }
    std::string upper = line;
    for (char& c : upper)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');

    std::vector<Word> words;
    size_t i = 0;
    while (i < upper.size()) {
        while (i < upper.size() && is_blank(upper[i])) ++i;
        size_t end = i;
        while (end < upper.size() && !is_blank(upper[end])) ++end;
        if (end > i) {
            if (words.size() < ARGUMENT_WORDS_MAX)
                words.push_back({upper.substr(i, end - i), line.substr(i, end - i)});
            else
                ignore(run, line.substr(i, end - i), "more than eight words");
        }
        i = end;
    }
    return words;
}

// One word of the line: WAIT=seconds, a port word, or a word the tool names and leaves.
void take_word(const Word& word, ConsoleRun& run)
{
    size_t eq = word.upper.find('=');
    if (eq == std::string::npos) {
        ignore(run, word.original, "not PORT=action or WAIT=seconds");
        return;
    }
    std::string name = word.upper.substr(0, eq);
    std::string value = word.upper.substr(eq + 1);
    if (name == "WAIT") {
        long seconds = 0;
        if (!read_whole_number(value, seconds)) {
            run.wait_seconds = 0;
            refuse(run, word.original, "a whole number of seconds from 0 to 3600; the tool will not wait");
            return;
        }
        const bool in_range = seconds >= 0 && seconds <= WAIT_SECONDS_MAX;
        run.wait_seconds = in_range ? static_cast<int>(seconds) : 0;
        if (!in_range) ignore(run, word.original, "WAIT takes 0 to 3600 seconds; the tool will not wait");
    } else if ((!name.empty() && name[0] == '/') || is_remote_port_name(name.c_str())) {
        // A device path, or a filter served by solvane-alpaca: as typed.
        accept_port_word(run, word.original, word.original.substr(0, eq), value);
    } else if (name.find("COM") != std::string::npos) {
        accept_port_word(run, word.original, name, value);
    } else {
        ignore(run, word.original,
               "not a port name: the tool takes COMn names, names in $SOLVANE_PORT_DIR that contain COM, "
               "device paths beginning with /, and served filters as alpaca://HOST:PORT/N");
    }
}

}  // namespace

void parse_command_line(int argc, const char* const* argv, ConsoleRun& run)
{
    std::string line;
    for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
        line += argv[i];
        line += ' ';
    }
    for (const Word& word : split_words(line, run)) take_word(word, run);
}
