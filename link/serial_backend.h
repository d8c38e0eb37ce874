// The steps of opening a port that each platform's serial file (serial_posix.cpp,
// serial_windows.cpp) provides; serial_init.cpp runs them in the same order on every platform.
// Private to the link library.
#pragma once

constexpr int INIT_MESSAGE_SIZE = 256;  // composed messages are cut to 255 characters

// Opens and configures the named port (the name already checked) into fd. Returns 0, or the
// SERIAL_INIT_ code of the step that failed with the thread's last_error and message set; fd may
// then still hold a descriptor for the caller to close with port_close_unfinished.
int port_open_and_configure(const char* name, int& fd, char (&message)[INIT_MESSAGE_SIZE], bool windowed);

// Closes a descriptor that serial_init or serial_reopen opened but could not finish setting up.
void port_close_unfinished(int fd);

// A port just set up starts clean: both queues emptied, then RTS and DTR cleared.
void port_start_clean(int fd);
