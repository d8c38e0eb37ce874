// The INDI driver's plain helpers; see driver_texts.h.
#include "indi/driver_texts.h"

#include "link/filter_policy.h"
#include "sim/simulator.h"

#include <algorithm>
#include <charconv>
#include <cctype>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <vector>

namespace {

// INDI's states for the lights of the status classes, in ConditionLight order.
constexpr IPState INDI_STATES[] = {IPS_OK, IPS_BUSY, IPS_IDLE, IPS_ALERT};
static_assert(std::size(INDI_STATES) == LIGHT_ALERT + 1, "an INDI state for every light");

std::string lower(std::string text)
{
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

IPState status_light(const FilterRecord& r)
{
    return INDI_STATES[condition_row(classify_status(r)).light];
}

std::string age_text(const FilterRecord& r)
{
    char text[64];
    std::snprintf(text, sizeof text, "%d min (%dy %dm %dd %dh %dmin)", r.age_minutes_total, r.age_years,
                  r.age_months, r.age_days, r.age_hours, r.age_minutes);
    return text;
}

std::string formatted(const char* format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

std::string port_element_name(const std::string& port, size_t index)
{
    const bool plain = port.size() < MAXINDINAME && std::all_of(port.begin(), port.end(), [](unsigned char c) {
                           return std::isalnum(c) || std::strchr("/_-+:.@", c) != nullptr;
                       });
    return plain ? port : "PORT_" + std::to_string(index + 1);
}

std::string port_element_label(const std::string& port)
{
    if (port.size() < MAXINDILABEL) return port;
    return "..." + port.substr(port.size() - (MAXINDILABEL - 4));
}

int simulated_filter_index(const std::string& choice)
{
    const std::vector<SimFilter> preset = sim_preset();
    if (choice.empty()) return 0;
    char* end = nullptr;
    const long number = std::strtol(choice.c_str(), &end, 10);
    if (end != choice.c_str() && *end == '\0')
        return number >= 1 && number <= static_cast<long>(preset.size()) ? static_cast<int>(number - 1) : -1;
    for (size_t k = 0; k < preset.size(); ++k)
        if (lower(preset[k].model_text).find(lower(choice)) != std::string::npos) return static_cast<int>(k);
    return -1;
}

std::string simulated_filter_choices()
{
    std::string choices;
    const std::vector<SimFilter> preset = sim_preset();
    for (size_t k = 0; k < preset.size(); ++k)
        choices += (k ? ", " : "") + std::to_string(k + 1) + " " + preset[k].model_text;
    return choices;
}

int polling_period_acceptable(double ms) { return std::isfinite(ms) && ms >= MIN_POLL_MS && ms <= MAX_POLL_MS; }

namespace {

// A refused number as the client sent it: the shortest text that reads back as the same double
// (-1.0000000001, not the "-1" of %g).
std::string as_sent(double value)
{
    char text[32];
    const auto [end, error] = std::to_chars(text, text + sizeof text, value);
    return error == std::errc() ? std::string(text, end) : std::string("?");
}

}  // namespace

std::string polling_period_refusal(double ms)
{
    return formatted("Polling period %s ms refused: it must be a number from %.0f to %.0f ms.", as_sent(ms).c_str(),
                     MIN_POLL_MS, MAX_POLL_MS);
}

std::string wing_shift_refusal(double angstrom)
{
    return formatted("Wing shift %s Å refused: it must be a number from %+.1f to %+.1f Å.", as_sent(angstrom).c_str(),
                     -WING_SHIFT_LIMIT, WING_SHIFT_LIMIT);
}

const char* text_for(const char* element, char* texts[], char* names[], int n)
{
    for (int k = 0; k < n; ++k)
        if (names[k] != nullptr && std::strcmp(names[k], element) == 0) return texts[k];
    return nullptr;
}

int number_for(const char* element, const double values[], char* names[], int n, double& value)
{
    for (int k = 0; k < n; ++k)
        if (names[k] != nullptr && std::strcmp(names[k], element) == 0) {
            value = values[k];
            return 1;
        }
    value = NAN;
    return 0;
}

std::string escaped_bytes(const std::string& bytes)
{
    std::string text;
    for (unsigned char c : bytes) {
        switch (c) {
        case '\\': text += "\\\\"; break;
        case '\n': text += "\\n"; break;
        case '\r': text += "\\r"; break;
        case '\t': text += "\\t"; break;
        case '\0': text += "\\0"; break;
        default:
            if (c >= 0x20 && c < 0x7F) {
                text += static_cast<char>(c);
            } else {
                char hex[5];
                std::snprintf(hex, sizeof hex, "\\x%02X", c);
                text += hex;
            }
        }
    }
    return text;
}

std::string exchange_trace_text(const ExchangeTrace& exchange)
{
    std::string text = escaped_bytes(exchange.command) + " -> ";
    if (exchange.reply.empty())
        return text + "no reply (" + std::to_string(exchange.attempts) +
               (exchange.attempts == 1 ? " attempt)" : " attempts)");
    text += escaped_bytes(exchange.reply);
    if (exchange.attempts > 1) text += " (attempt " + std::to_string(exchange.attempts) + ")";
    return text;
}
