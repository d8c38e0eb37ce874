// The update timer: every tick polls the connected filters (their age every 60th tick), logs a
// row when logging is on, and repaints the panels from their cached backgrounds.
#include "control/shell/shell.h"

namespace {

constexpr int POLLS_PER_AGE_POLL = 60;

}  // namespace

void on_timer(int timer_id)
{
    if (timer_id != UPDATE_TIMER_ID) return;
    // A command talking to the filters owns the lines until it is done; the tick still repaints.
    if (!app.command_busy) {
        for (FilterRecord& slot : filter_slots) {
            if (!slot.connected) continue;
            poll_filter_status(slot);
            // A USB adapter that was pulled and plugged in again is opened anew, quietly; the
            // filter answers at the next tick. Until then it reads "No communication".
            if (slot.status_code == STATUS_NO_COMMUNICATION && serial_line_lost(slot.port_handle))
                serial_reopen(slot.port_handle, slot.port_name);
            if (++slot.poll_count >= POLLS_PER_AGE_POLL) {
                slot.poll_count = 0;
                poll_filter_age(slot);
            }
        }
        if (app.log_enabled) write_log_row();
    }
    refresh_panels();
}
