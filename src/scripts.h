// Operator scripts run when the tunnel comes up and goes down.
#pragma once

#include "config.h"

enum script_kind { SCRIPT_UP, SCRIPT_DOWN };

// 0 when the script ended with status 0 or none is configured; -1 otherwise.
int run_script(const mux_config* cfg, script_kind which);
int run_up_script(const mux_config* cfg);
int run_down_script(const mux_config* cfg);
