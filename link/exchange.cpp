// The one path by which every command reaches a filter, and the clean-up of text replies.
#include "link/solvane_link.h"
#include "link/link_thread.h"

#include <cstring>

namespace {

constexpr int EXCHANGE_ATTEMPTS = 5;
constexpr int PAUSE_BEFORE_LAST_ATTEMPT_MS = 500;


int traced(const char* command, const char* reply, int bytes, int attempts)
{
    if (link_thread().exchange_trace != nullptr) {
        ExchangeTrace trace;
        trace.command = command;
        if (bytes > 0) trace.reply.assign(reply, static_cast<size_t>(bytes));
        trace.attempts = attempts;
        link_thread().exchange_trace->push_back(std::move(trace));
    }
    return bytes;
}

}  // namespace

void capture_exchanges(std::vector<ExchangeTrace>* sink) { link_thread().exchange_trace = sink; }

int serial_exchange(int connected, int port_handle, const char* command,
                    char reply[REPLY_BUFFER_SIZE], LinkForm form)
{
    reply[0] = '\0';
    if (connected != 1 || command == nullptr) return 0;
    const int length = static_cast<int>(std::strlen(command));

    if (form == LINK_CONSOLE) {
        // One attempt without discarding: the console tool's query repeats it.
        if (serial_write(port_handle, command, length) != 0) return traced(command, reply, 0, 1);
        return traced(command, reply, serial_read(port_handle, reply, REPLY_MAX), 1);
    }

    for (int attempt = 1; attempt <= EXCHANGE_ATTEMPTS; ++attempt) {
        // A filter that missed a command often needs a moment to recover; the last attempt
        // alone waits, so a filter that answers late costs no more than its silence.
        if (attempt == EXCHANGE_ATTEMPTS) link_pause(PAUSE_BEFORE_LAST_ATTEMPT_MS);
        // A late reply to an earlier command must not be taken for this one.
        serial_discard(port_handle);
        reply[0] = '\0';
        if (serial_write(port_handle, command, length) != 0) {
            reply[0] = '\0';
            return traced(command, reply, 0, attempt);
        }
        int n = serial_read(port_handle, reply, REPLY_MAX);
        if (n > 0) return traced(command, reply, n, attempt);
    }
    reply[0] = '\0';
    return traced(command, reply, 0, EXCHANGE_ATTEMPTS);
}

void trim_reply(char* text)
{
    if (text == nullptr) return;
    // Some firmware answers 0xFF while it starts up; that is no text.
    if (static_cast<unsigned char>(text[0]) == 0xFF) {
        text[0] = '\0';
        return;
    }
    if (text[0] == '\0') return;
    const char endings[] = {'\n', '\r', '\n', '\r'};
    size_t length = std::strlen(text);
    for (char ending : endings) {
        if (length > 0 && text[length - 1] == ending) text[--length] = '\0';
    }
}

void cut_text_reply(char* reply, int max_chars)
{
    if (reply == nullptr) return;
    if (max_chars >= 0 && max_chars < REPLY_MAX) reply[max_chars] = '\0';
    trim_reply(reply);
}
