#pragma once
// Every compiled helper of tests/support at once, for test files that use most of them.
#include "support/command.hpp"
#include "support/env.hpp"
#include "support/free_port.hpp"
#include "support/http.hpp"
#include "support/log_recorder.hpp"
#include "support/process.hpp"
#include "support/sync_pg.hpp"
#include "support/sync_redis.hpp"
