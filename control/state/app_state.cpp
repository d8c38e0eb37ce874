#include "control/state/app_state.h"

WindowState& window_state()
{
    static WindowState state;
    return state;
}

FilterHistory* window_history()
{
    WindowState& state = window_state();
    if (!state.history) state.history.reset(history_make(SLOT_COUNT));
    return state.history.get();
}

void reset_app_state()
{
    WindowState& state = window_state();
    state.history.reset();
    state.app = AppState{};
    for (int i = 0; i < SLOT_COUNT; ++i) {
        state.filter_slots[i] = FilterRecord{};
        state.filter_slots[i].slot_index = i;
        state.slot_problem[i].clear();
    }
}
