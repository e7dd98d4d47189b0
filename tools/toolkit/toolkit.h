// The code the operator tools (tamoctl, zeld-sim, the load generator, the dissector generator)
// share with the tests: every unit's header, for code that uses several of them.
#pragma once

#include "control.h"
#include "net.h"
#include "options.h"
#include "render.h"
#include "request.h"
#include "sim.h"
#include "text.h"
