// What the link keeps for each calling thread: the context a filter line sets around its jobs.
// Internal to link/. Each thread reaches only its own, so nothing here needs a lock.
#pragma once

#include "link/solvane_link.h"

#include <string>
#include <vector>

struct LinkThread {
    int abort_descriptor = -1;                          // readable: the waits end at once (-1: none)
    PortError last_error;                               // the last serial_init failure
    std::string* log_capture = nullptr;                 // serial_error.log records go here instead
    std::vector<ExchangeTrace>* exchange_trace = nullptr;  // exchanges are recorded here while set
};

// The calling thread's own.
LinkThread& link_thread();
