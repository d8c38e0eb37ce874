// Fuzz target: text replies cut to their field and cleaned, then stored.
#include "link/solvane_link.h"

#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size)
{
    struct Field {
        int length;
        int size;
    } fields[] = {{MESSAGE_TEXT_SIZE - 1, MESSAGE_TEXT_SIZE}, {SERIAL_NUMBER_TEXT_SIZE - 1, SERIAL_NUMBER_TEXT_SIZE},
                  {BANDWIDTH_TEXT_SIZE - 1, BANDWIDTH_TEXT_SIZE}};
    for (const Field& f : fields) {
        char reply[REPLY_BUFFER_SIZE];
        const size_t n = size < REPLY_MAX ? size : REPLY_MAX;
        std::memcpy(reply, data, n);
        reply[n] = '\0';
        cut_text_reply(reply, f.length);
        if (std::strlen(reply) > static_cast<size_t>(f.length)) __builtin_trap();
        char stored[MESSAGE_TEXT_SIZE];
        copy_text(stored, f.size, reply, f.length);
        if (std::strlen(stored) > static_cast<size_t>(f.length)) __builtin_trap();
        trim_reply(stored);
    }
    return 0;
}
