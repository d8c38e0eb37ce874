// The texts of the "Filter Status" dialog, from a slot's record.
#pragma once

#include "link/solvane_link.h"

#include <QString>

#include <array>

constexpr int STATUS_FIELD_COUNT = 11;

// Target and current temperature, heater power, calibration screw, firmware, model, bandwidth,
// edition, serial number, start-up message and age, in this order.
std::array<QString, STATUS_FIELD_COUNT> status_dialog_texts(const FilterRecord& slot);

// "6562.8 Filter Status".
QString status_dialog_title(const FilterRecord& slot);
