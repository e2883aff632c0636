// "COM1 to COM7" wherever the tool names the ports the library searches.
#pragma once

#include "protocol/progress.h"

// Spelt from the search's own bounds, and a literal so that help texts stay
// constants.
#define KORMELT_TEXT_OF_(value) #value
#define KORMELT_TEXT_OF(value) KORMELT_TEXT_OF_(value)
#define SEARCHED_PORTS \
    "COM" KORMELT_TEXT_OF(KORMELT_SEARCH_FIRST_PORT) " to COM" KORMELT_TEXT_OF(KORMELT_SEARCH_LAST_PORT)
