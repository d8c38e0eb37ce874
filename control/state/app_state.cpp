#include "control/state/app_state.h"

AppState app;
FilterRecord filter_slots[SLOT_COUNT];

void reset_app_state()
{
    app = AppState{};
    for (int i = 0; i < SLOT_COUNT; ++i) {
        filter_slots[i] = FilterRecord{};
        filter_slots[i].slot_index = i;
    }
}
