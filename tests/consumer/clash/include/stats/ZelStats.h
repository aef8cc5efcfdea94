// The application's own header, named as one of the package's.
#pragma once

#define APP_STATS_ZELSTATS_H 1
struct AppSTATSZELSTATSH {};
