// solvane.ini; see settings.h.
#include "control/settings/settings.h"

#include <cstdio>
#include <cstring>
#include <string>

#include <unistd.h>

namespace {

// Lines are read as a fixed 200-byte line buffer reads them: at most 199 characters at a time.
constexpr size_t LINE_READ_MAX = 199;
constexpr int CONNECTABLE_NAME_MIN = 4;  // shorter names ("COM") stay configured, unopened

// What a text stream on the home platform writes: every LF becomes CR LF.
std::string to_disk_text(const std::string& text)
{
    std::string disk;
    disk.reserve(text.size() + 16);
    for (char c : text) {
        if (c == '\n') disk += '\r';
        disk += c;
    }
    return disk;
}

// And what it reads: every CR LF pair becomes LF; a lone CR stays.
std::string from_disk_text(const std::string& disk)
{
    std::string text;
    text.reserve(disk.size());
    for (size_t i = 0; i < disk.size(); ++i) {
        if (disk[i] == '\r' && i + 1 < disk.size() && disk[i + 1] == '\n') continue;
        text += disk[i];
    }
    return text;
}

void put_int32(std::string& out, std::int32_t value)
{
    auto u = static_cast<std::uint32_t>(value);
    for (int shift = 0; shift < 32; shift += 8) out += static_cast<char>((u >> shift) & 0xFF);
}

std::int32_t get_int32(const std::string& in, size_t at)
{
    std::uint32_t u = 0;
    for (int k = 3; k >= 0; --k) u = (u << 8) | static_cast<unsigned char>(in[at + static_cast<size_t>(k)]);
    return static_cast<std::int32_t>(u);
}

std::string placement_bytes(const WindowPlacement& p)
{
    std::string out;
    for (std::int32_t v : {p.length, p.flags, p.show_command, p.min_x, p.min_y, p.max_x, p.max_y,
                           p.left, p.top, p.right, p.bottom})
        put_int32(out, v);
    return out;
}

WindowPlacement placement_from(const std::string& in, size_t at)
{
    WindowPlacement p;
    std::int32_t* fields[] = {&p.length, &p.flags, &p.show_command, &p.min_x, &p.min_y, &p.max_x,
                              &p.max_y, &p.left, &p.top, &p.right, &p.bottom};
    for (std::int32_t* field : fields) {
        *field = get_int32(in, at);
        at += 4;
    }
    return p;
}

// One line as a 200-byte line buffer reads it: up to and including the LF, at most 199 characters.
std::string next_line(const std::string& text, size_t& at)
{
    size_t start = at;
    while (at < text.size() && at - start < LINE_READ_MAX) {
        if (text[at++] == '\n') break;
    }
    return text.substr(start, at - start);
}

int saturate(long value)
{
    if (value > 2147483647L) return 2147483647;
    if (value < -2147483647L - 1) return -2147483647 - 1;
    return static_cast<int>(value);
}

}  // namespace

std::string settings_file_bytes()
{
    std::string text;
    for (const FilterRecord& slot : filter_slots) {
        text += slot.port_name;
        text += '\n';
    }
    char line[256];
    std::snprintf(line, sizeof line, "%.1f %.1f %.1f %.1f %d %d %d\n", filter_slots[0].zoom_span,
                  filter_slots[1].zoom_span, filter_slots[2].zoom_span, filter_slots[3].zoom_span,
                  app.full_display, app.log_enabled, app.update_interval_index);
    text += line;
    text += placement_bytes(app.placement);
    return to_disk_text(text);
}

int save_settings()
{
    // Written beside the old file and renamed over it, so a crash or a full disk mid-write leaves
    // the previous settings whole. Where no new file can be made there, the file is rewritten in
    // place, as long as it can be opened for writing at all.
    const std::string bytes = settings_file_bytes();
    const std::string temporary = std::string(SETTINGS_FILE) + ".new";
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    bool in_place = false;
    if (file == nullptr) {
        file = std::fopen(SETTINGS_FILE, "wb");
        in_place = true;
    }
    if (file == nullptr) return 0;
    bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    written = (std::fflush(file) == 0) && written;
    if (!in_place) written = (::fsync(::fileno(file)) == 0) && written;
    written = (std::fclose(file) == 0) && written;
    if (in_place) return written;
    if (!written || std::rename(temporary.c_str(), SETTINGS_FILE) != 0) {
        std::remove(temporary.c_str());
        return 0;
    }
    return 1;
}

int parse_settings_bytes(const std::string& bytes)
{
    const std::string text = from_disk_text(bytes);
    size_t at = 0;
    for (FilterRecord& slot : filter_slots) {
        if (at >= text.size()) break;  // a missing line leaves the name as it was
        std::string line = next_line(text, at);
        char word[LINE_READ_MAX + 1];
        if (std::sscanf(line.c_str(), "%199s", word) == 1)
            copy_text(slot.port_name, PORT_NAME_SIZE, word, PORT_NAME_SIZE - 1);
    }

    // Line 5 is read whole up to its line feed, so the placement block starts right after it.
    size_t end = text.find('\n', at);
    std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    at = end == std::string::npos ? text.size() : end + 1;
    double zoom[SLOT_COUNT] = {};
    long options[3] = {};
    int count = std::sscanf(line.c_str(), "%lf %lf %lf %lf %ld %ld %ld", &zoom[0], &zoom[1], &zoom[2],
                            &zoom[3], &options[0], &options[1], &options[2]);
    if (count < 0) count = 0;
    for (int i = 0; i < SLOT_COUNT && i < count; ++i) filter_slots[i].zoom_span = zoom[i];
    int* targets[3] = {&app.full_display, &app.log_enabled, &app.update_interval_index};
    for (int k = 0; k < 3 && SLOT_COUNT + k < count; ++k) *targets[k] = saturate(options[k]);
    if (count < 7) {
        app.open_connections_at_start = 1;
        return 0;
    }
    if (app.update_interval_index < 0) app.update_interval_index = 0;
    if (app.update_interval_index > 2) app.update_interval_index = 2;

    // A block shorter than the placement (a file cut off) is not taken at all.
    if (text.size() - at >= PLACEMENT_BYTES) {
        app.placement = placement_from(text, at);
        if (app.placement.show_command == SHOW_MINIMIZED) app.placement.show_command = SHOW_NORMAL;
        app.placement_valid = 1;
    }
    return 1;
}

bool connectable_name(const char* port_name)
{
    return static_cast<int>(std::strlen(port_name)) >= CONNECTABLE_NAME_MIN;
}

int connect_program_slot(FilterRecord& slot, const char* port_name)
{
    if (connect_slot(slot, port_name)) app.units_nm = slot.units;
    return slot.connected;
}

void reconnect_slots()
{
    for (FilterRecord& slot : filter_slots) {
        serial_close(slot.connected, slot.port_handle);
        if (slot.connected == 0 && connectable_name(slot.port_name)) connect_program_slot(slot, slot.port_name);
    }
}

void load_settings()
{
    std::FILE* file = std::fopen(SETTINGS_FILE, "rb");
    if (file == nullptr) {
        app.open_connections_at_start = 1;
        return;
    }
    app.open_connections_at_start = 0;
    std::string bytes;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, n);
    bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        app.open_connections_at_start = 1;
        return;
    }
    if (parse_settings_bytes(bytes)) reconnect_slots();
}
